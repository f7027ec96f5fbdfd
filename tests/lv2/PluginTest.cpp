// The plugin as hosts run it: the program's sound at 44100 Hz, the same cutoffs in Hz at
// other rates, any split into blocks, instances that keep to themselves, and the MIDI pedal.

#include "LilvHost.h"
#include "support/Wav.h"

#include "effect/SweepFilter.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullScale = 32768.0;

lv2test::World& TheWorld()
{
    static lv2test::World world;
    return world;
}

// 16-bit values, as the program hears them: a chord over quiet noise and a loud burst that
// drives the resonance into the clamp.
std::vector<int16_t> Guitar(double rate, double seconds)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> s(size_t(rate * seconds));
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = double(i) / rate;
        const double loud = i > s.size() / 2 && i < s.size() * 3 / 5 ? 3.0 : 1.0;
        const double v = loud * (6000 * std::sin(2 * kPi * 110 * t) + 3000 * std::sin(2 * kPi * 1375 * t)) + 800 * noise(random);
        s[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
    }
    return s;
}

std::vector<float> WhiteNoise(size_t n, unsigned seed = 3)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.25f, 0.25f);
    std::vector<float> s(n);
    for (float& x : s)
        x = noise(random);
    return s;
}

std::vector<float> Floats(const std::vector<int16_t>& s)
{
    std::vector<float> f(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        f[i] = float(s[i] / kFullScale);
    return f;
}

bool WriteFloatWav(const std::filesystem::path& p, const std::vector<float>& s, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    const bool whole = sf_write_float(f, s.data(), sf_count_t(s.size())) == sf_count_t(s.size());
    return sf_close(f) == 0 && whole;
}

// The program's own filter at its start-up values, fed in its 500-sample blocks.
std::vector<int16_t> ProgramPlays(std::vector<int16_t> s, double depth)
{
    fx::SweepFilter program;
    program.FreqOffset = 0.10;
    program.Resonance = 9.0;
    program.PedalAccelFactor = 0.1;
    program.CurrentDepth = depth;
    program.TargetDepth = depth;
    for (size_t at = 0; at < s.size(); at += 500)
        program.Process(s.data() + at, int32_t(std::min<size_t>(500, s.size() - at)));
    return s;
}

// The frequency at which the output of white noise has the most power, from an averaged
// periodogram on log-spaced frequencies between 300 Hz and 8 kHz.
double PeakHz(const std::vector<float>& out, double rate)
{
    constexpr size_t kSegment = 4096;
    double best = 0, bestPower = -1;
    for (double hz = 300; hz < 8000; hz *= std::pow(2.0, 1.0 / 48)) {
        double power = 0;
        for (size_t seg = rate; seg + kSegment <= out.size(); seg += kSegment) {
            std::complex<double> sum;
            for (size_t i = 0; i < kSegment; ++i) {
                const double hann = 0.5 - 0.5 * std::cos(2 * kPi * double(i) / kSegment);
                sum += std::polar(hann * out[seg + i], -2 * kPi * hz * double(i) / rate);
            }
            power += std::norm(sum);
        }
        if (power > bestPower) {
            bestPower = power;
            best = hz;
        }
    }
    return best;
}

TEST(Lv2Plugin, Lv2applyPlaysWhatTheProgramPlaysWithinOneStep)
{
#ifdef VOBBLIX_SANITIZED
    GTEST_SKIP() << "lv2apply cannot load a module built with sanitizers";
#endif
    const auto dir = std::filesystem::temp_directory_path() / ("vobblix-lv2apply-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::vector<int16_t> in = Guitar(44100, 1.5);
    ASSERT_TRUE(WriteFloatWav(dir / "in.wav", Floats(in), 44100));
    for (const double depth : {0.99, 0.5, 0.01}) {
        SCOPED_TRACE(depth);
        const std::string command = "LV2_PATH='" + std::filesystem::path(VOBBLIX_LV2_BUNDLE).parent_path().string() +
                                    "' lv2apply -i '" + (dir / "in.wav").string() + "' -o '" + (dir / "out.wav").string() +
                                    "' -c depth " + std::to_string(depth) + " urn:vobblix:wah";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::vector<float> plugin = testsupport::ReadWav<float>(dir / "out.wav");
        const std::vector<int16_t> program = ProgramPlays(in, depth);
        ASSERT_EQ(plugin.size(), program.size());
        double worst = 0;
        size_t clamped = 0;
        for (size_t i = 0; i < program.size(); ++i) {
            const double p = plugin[i] * kFullScale;
            // The program clamps to 16 bits; the plugin keeps what lies beyond.
            if (program[i] == 32767 || program[i] == -32768) {
                clamped += std::abs(p) >= 32767 ? 1 : 0;
                continue;
            }
            // The program truncates what the plugin keeps whole: truncated alike, the two may
            // differ by one where the float path's last bits fall on the other side of a step.
            worst = std::max(worst, std::abs(std::trunc(p) - program[i]));
        }
        EXPECT_LE(worst, 1.0);
        if (depth == 0.5) {
            EXPECT_GT(clamped, 0u) << "the loud burst was meant to reach the clamp";
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(Lv2Plugin, DepthHalfPeaksNear1480HzAtEveryRate)
{
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        SCOPED_TRACE(rate);
        lv2test::Wah wah(TheWorld(), rate, {{"depth", 0.5f}});
        const std::vector<float> out = wah.Play(WhiteNoise(size_t(rate * 3)), {256});
        EXPECT_LE(std::abs(std::log2(PeakHz(out, rate) / 1480.0)), 1.0 / 3);
    }
}

// A pedal rocked heel to toe and back in 14 bits, a tap tempo, and the modes switched, at
// frames that fall anywhere in a block.
std::vector<lv2test::MidiAt> Performance(double rate)
{
    std::vector<lv2test::MidiAt> midi;
    const auto at = [rate](double seconds) { return uint64_t(seconds * rate); };
    for (int k = 0; k <= 40; ++k) {
        const int value = k <= 20 ? k * 819 : (40 - k) * 819;
        midi.push_back({at(0.05 + k * 0.011), {0xB0, 2, uint8_t(value >> 7)}});
        midi.push_back({at(0.05 + k * 0.011) + 1, {0xB0, 34, uint8_t(value & 0x7F)}});
    }
    midi.push_back({at(0.7), {0x90, 40, 100}});
    midi.push_back({at(0.9), {0x90, 40, 100}});
    return midi;
}

TEST(Lv2Plugin, AnySplitIntoBlocksSoundsLikeOneBlock)
{
    for (const double rate : {22050.0, 44100.0, 192000.0}) {
        for (const float mode : {0.0f, 1.0f, 2.0f}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, mode " << mode);
            const std::map<std::string, float> settings = {{"mode", mode}, {"midi_pedal", 1}, {"midi_controller", 2},
                                                           {"midi_14bit", 1}, {"tap_kind", 2}, {"tap_number", 40}};
            std::vector<float> in = WhiteNoise(size_t(rate * 1.2));
            // A NaN and a loud note that decays into denormals: neither may leave a trace.
            in[size_t(rate * 0.3)] = std::nanf("");
            for (size_t i = size_t(rate * 0.5); i < size_t(rate * 0.6); ++i)
                in[i] = float(std::exp(-double(i) / 50.0));
            lv2test::Wah whole(TheWorld(), rate, settings);
            const std::vector<float> reference = whole.Play(in, {uint32_t(in.size())}, Performance(rate));
            lv2test::Wah split(TheWorld(), rate, settings);
            const std::vector<float> played = split.Play(in, {0, 1, 7, 8192, 0, 333}, Performance(rate));
            const auto differ = std::mismatch(played.begin(), played.end(), reference.begin());
            ASSERT_TRUE(differ.first == played.end())
                << "from sample " << differ.first - played.begin() << ": " << *differ.first << " for " << *differ.second;
            const auto firstBad = std::find_if(reference.begin() + size_t(rate * 0.3) + 8192, reference.end(),
                                               [](float x) { return !std::isfinite(x); });
            EXPECT_EQ(firstBad, reference.end()) << "a NaN in the input was still heard a block later";
        }
    }
}

TEST(Lv2Plugin, InstancesInOneProcessKeepToThemselves)
{
    const double rate = 48000;
    const std::vector<float> in = WhiteNoise(size_t(rate));
    const std::map<std::string, float> a = {{"mode", 2}, {"lfo_rate", 4}, {"resonance", 5}};
    const std::map<std::string, float> b = {{"mode", 1}, {"freq_offset", 0.3f}, {"midi_pedal", 1}};
    lv2test::Wah aloneA(TheWorld(), rate, a);
    const std::vector<float> expectA = aloneA.Play(in, {128});
    lv2test::Wah aloneB(TheWorld(), rate, b);
    const std::vector<float> expectB = aloneB.Play(in, {128}, Performance(rate));

    lv2test::Wah first(TheWorld(), rate, a), second(TheWorld(), rate, b);
    std::vector<float> outA(in.size()), outB(in.size());
    for (size_t at = 0; at < in.size(); at += 128) {
        const auto n = uint32_t(std::min<size_t>(128, in.size() - at));
        first.Run(in.data() + at, outA.data() + at, n, {}, at);
        second.Run(in.data() + at, outB.data() + at, n, Performance(rate), at);
    }
    EXPECT_EQ(outA, expectA);
    EXPECT_EQ(outB, expectB);
    EXPECT_NE(outA, outB);
}

TEST(Lv2Plugin, MidiPedalDrivesTheDepthAsTheProgramMapsIt)
{
    const double rate = 48000;
    const std::vector<float> silence(size_t(rate / 2));
    const auto depthAfter = [&](const std::map<std::string, float>& settings, std::vector<std::array<uint8_t, 3>> msgs) {
        lv2test::Wah wah(TheWorld(), rate, settings);
        std::vector<lv2test::MidiAt> midi;
        for (size_t k = 0; k < msgs.size(); ++k)
            midi.push_back({k, msgs[k]});
        wah.Play(silence, {512}, midi);
        return wah.Get("depth_out");
    };
    const std::map<std::string, float> pedal = {{"midi_pedal", 1}, {"depth", 0.5f}};
    // Half a second is nearly five time constants of the glide at 0.1: the target is reached
    // to within a hundredth.
    EXPECT_NEAR(depthAfter(pedal, {{0xB0, 11, 127}}), 0.99, 0.01);
    EXPECT_NEAR(depthAfter(pedal, {{0xB0, 11, 0}}), 0.0, 0.01);
    EXPECT_NEAR(depthAfter(pedal, {{0xB0, 11, 64}}), 0.99 * 64 / 127, 0.01);
    // Another channel, another controller, a mode message: nothing moves.
    auto only3 = pedal;
    only3["midi_channel"] = 3;
    EXPECT_NEAR(depthAfter(only3, {{0xB0, 11, 0}, {0xB3, 12, 0}, {0xB2, 123, 0}}), 0.5, 1e-6);
    EXPECT_NEAR(depthAfter(only3, {{0xB2, 11, 0}}), 0.0, 0.01);
    // A pedal that only reaches 116 is calibrated to reach the toe; inverted it closes there.
    auto calibrated = pedal;
    calibrated["midi_max"] = 116;
    EXPECT_NEAR(depthAfter(calibrated, {{0xB0, 11, 116}}), 0.99, 0.01);
    calibrated["midi_invert"] = 1;
    EXPECT_NEAR(depthAfter(calibrated, {{0xB0, 11, 116}}), 0.0, 0.01);
    // 14 bits: the fine part moves the depth between two coarse steps.
    auto fine = pedal;
    fine["midi_controller"] = 2;
    fine["midi_14bit"] = 1;
    EXPECT_NEAR(depthAfter(fine, {{0xB0, 2, 64}, {0xB0, 34, 64}}), 0.99 * (64 * 128 + 64) / 16383.0, 0.005);
    // Without the pedal the depth control rules.
    EXPECT_NEAR(depthAfter({{"depth", 0.3f}}, {{0xB0, 11, 127}}), 0.3, 1e-6);
}

TEST(Lv2Plugin, TappedNoteSetsTheLfosPeriodAndPeak)
{
    const double rate = 48000;
    const auto at = [rate](double seconds) { return uint64_t(seconds * rate); };
    const std::vector<float> silence(at(1.5));
    // The LFO's depth at a time after the second tap, on its own channel or another.
    const auto depthAfterTaps = [&](uint8_t status, std::vector<double> after) {
        lv2test::Wah wah(TheWorld(), rate, {{"mode", 2}, {"tap_kind", 2}, {"tap_number", 40}, {"tap_channel", 5}});
        std::vector<std::pair<uint64_t, float>> depths;
        wah.Play(silence, {32}, {{at(0.3), {status, 40, 90}}, {at(0.8), {status, 40, 90}}}, &depths);
        std::vector<double> found;
        for (const double seconds : after)
            found.push_back(std::find_if(depths.begin(), depths.end(), [&](auto& d) { return d.first >= at(0.8 + seconds); })->second);
        return found;
    };
    // Two taps half a second apart: the sine restarts at its peak, is at its trough a quarter
    // second on and at its peak again half a second on.
    const std::vector<double> tapped = depthAfterTaps(0x94, {0.001, 0.25, 0.5});
    EXPECT_NEAR(tapped[0], 0.99, 0.01);
    EXPECT_NEAR(tapped[1], 0.0, 0.01);
    EXPECT_NEAR(tapped[2], 0.99, 0.01);
    // On channel 6 they are not taps: the LFO runs on at 1.5 Hz, a fifth of a turn past its
    // peak then.
    EXPECT_LT(depthAfterTaps(0x95, {0.001})[0], 0.8);
}

} // namespace
