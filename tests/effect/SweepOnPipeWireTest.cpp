// The automatic sweeps heard through the real stream on the private PipeWire session: white
// noise through the LFO comes back with its brightness swinging at the LFO's rate, and bursts
// through the envelope come back brighter while they sound than between them.

#include "audio/Waves.h"
#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"
#include "support/Filtered.h"
#include "support/PwProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kRate = 44100;
constexpr size_t kWindow = kRate / 50; // 20 ms

// The spectral centroid (Hz) of each 20 ms window, by a plain DFT of the windowed samples.
std::vector<double> Centroids(const std::vector<int16_t>& v, size_t from)
{
    std::vector<double> out;
    for (size_t at = from; at + kWindow <= v.size(); at += kWindow) {
        double weighted = 0, total = 0;
        for (size_t k = 1; k < kWindow / 2; k += 2) {
            std::complex<double> sum;
            for (size_t n = 0; n < kWindow; ++n) {
                const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * double(n) / kWindow);
                sum += std::polar(hann * v[at + n], -2 * M_PI * double(k * n) / kWindow);
            }
            const double hz = double(k) * kRate / kWindow;
            weighted += hz * std::abs(sum);
            total += std::abs(sum);
        }
        out.push_back(total > 0 ? weighted / total : 0);
    }
    return out;
}

// Plays the signal through the program's stream and gives back what the amplifier heard.
std::vector<int16_t> ThroughTheStream(const std::vector<int16_t>& signal)
{
    std::string why;
    auto engine = wave::OpenPipeWire(&why);
    EXPECT_TRUE(engine) << why;
    if (!engine)
        return {};
    std::atomic<bool> stopping{false};
    TfrmWaves w(*engine, stopping, StandalonePump());
    w.FormCreate();
    w.StartCapture();
    EXPECT_TRUE(WaitForLink("gtr:capture_MONO", "vobblix.input:input_MONO", 15000));
    EXPECT_TRUE(WaitForLink("vobblix.output:output_MONO", "amp:playback_MONO", 15000));
    PwProbe probe(signal, signal.size());
    EXPECT_TRUE(probe.connected());
    EXPECT_TRUE(WaitForPort("vobblix-probe:input", 5000));
    EXPECT_TRUE(PwLink("vobblix-probe:output", "gtr:input_MONO"));
    EXPECT_TRUE(PwLink("amp:monitor_MONO", "vobblix-probe:input"));
    EXPECT_TRUE(WaitForLink("amp:monitor_MONO", "vobblix-probe:input", 5000));
    probe.start();
    EXPECT_TRUE(probe.waitRecorded(30000));
    stopping = true;
    w.StopAudio();
    return probe.recording();
}

class SweepOnPipeWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
            GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
        ForceGraph(kRate, 256);
        testsupport::PrepareStream(kRate, 512);
        ProcessedBlockHook = nullptr;
    }
    void TearDown() override
    {
        ForceGraph(0, 0);
        fx::ResetForTests();
    }
    report::RecordingSink sink;
};

TEST_F(SweepOnPipeWire, NoiseThroughTheLfoSwingsItsBrightnessAtTheLfosRate)
{
    auto& f = fx::Program();
    f.Mode = fx::SweepMode::Lfo;
    f.LfoRate = 2.0;
    f.Shape = fx::LfoShape::Sine;
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> d(-8000, 8000);
    std::vector<int16_t> noise(3 * kRate);
    for (auto& s : noise)
        s = int16_t(d(rng));
    const auto heard = ThroughTheStream(noise);
    ASSERT_GT(heard.size(), kRate);
    const auto c = Centroids(heard, kRate / 2);
    ASSERT_GT(c.size(), 50u);
    // The strongest swing of the centroid series, between 0.5 and 10 Hz (windows at 50 Hz).
    double mean = 0;
    for (double x : c)
        mean += x / double(c.size());
    double bestHz = 0, best = 0, at2 = 0;
    for (double hz = 0.5; hz <= 10.0; hz += 0.25) {
        std::complex<double> sum;
        for (size_t n = 0; n < c.size(); ++n)
            sum += std::polar(c[n] - mean, -2 * M_PI * hz * double(n) / 50.0);
        if (std::abs(sum) > best) {
            best = std::abs(sum);
            bestHz = hz;
        }
        if (hz == 2.0)
            at2 = std::abs(sum);
    }
    EXPECT_NEAR(bestHz, 2.0, 0.25);
    EXPECT_GT(at2, 0.0);
    const auto [lo, hi] = std::minmax_element(c.begin(), c.end());
    EXPECT_GT(*hi, 3 * *lo) << "the brightness hardly moved";
}

TEST_F(SweepOnPipeWire, BurstsThroughTheEnvelopeAreBrighterThanTheGapsBetween)
{
    auto& f = fx::Program();
    f.Mode = fx::SweepMode::Envelope;
    f.SweepLow = 0.1;
    f.SweepHigh = 0.9;
    f.EnvAttackMs = 5;
    f.EnvReleaseMs = 50;
    // Pluck-like bursts: loud noise decaying over 150 ms, then 250 ms of a quiet hiss.
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    constexpr size_t kBurst = kRate * 150 / 1000;
    constexpr size_t kGap = kRate * 250 / 1000;
    std::vector<int16_t> played;
    for (int b = 0; b < 7; ++b) {
        for (size_t i = 0; i < kBurst; ++i)
            played.push_back(int16_t(20000 * std::exp(-double(i) / kBurst) * d(rng)));
        for (size_t i = 0; i < kGap; ++i)
            played.push_back(int16_t(300 * d(rng)));
    }
    const auto heard = ThroughTheStream(played);
    ASSERT_GT(heard.size(), played.size() / 2);
    // Find each burst in what came back by its loudness, then compare the centroid of its first
    // 60 ms with that of the quiet hiss's last 100 ms.
    const auto c = Centroids(heard, 0);
    std::vector<double> level;
    for (size_t at = 0; at + kWindow <= heard.size(); at += kWindow) {
        double e = 0;
        for (size_t n = 0; n < kWindow; ++n)
            e += double(heard[at + n]) * heard[at + n];
        level.push_back(e);
    }
    const double loud = *std::max_element(level.begin(), level.end());
    int bursts = 0, brighter = 0;
    for (size_t w = 1; w + 3 < level.size(); ++w) {
        if (level[w] > loud / 20 && level[w - 1] < loud / 100 && w >= 5) {
            ++bursts;
            const double during = (c[w] + c[w + 1] + c[w + 2]) / 3;
            const double before = (c[w - 5] + c[w - 4] + c[w - 3]) / 3;
            if (during > 1.5 * before)
                ++brighter;
        }
    }
    EXPECT_GE(bursts, 5);
    EXPECT_EQ(brighter, bursts);
}

} // namespace
