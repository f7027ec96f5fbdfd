// The sweep filter against the worked values, the glide, and a long random signal checked
// sample for sample against an independent implementation of the same recursion.

#include "effect/FX.h"

#include "support/ReferenceFilter.h"

#include "config/Settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

class FXTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        Settings.UsingMouse = true;
        FreqOffset = 0.10;
        Resonance = 9.0;
        PedalAccelFactor = 0.1;
        ResetDepth();
    }

    static std::string TakeLabel()
    {
        thread::LabelText text;
        return DepthLabelText.take(text) ? std::string(text.c_str()) : std::string("(none)");
    }
};

using testsupport::ReferenceFilter;

TEST_F(FXTest, CoefficientsMatchTheWorkedTable)
{
    const auto c = fx::CoefficientsFor(0.10, 9.0, 0.50);
    EXPECT_NEAR(c.B0, 0.0111028804, 5e-11);
    EXPECT_NEAR(c.B1, 0.0222057608, 5e-11);
    EXPECT_NEAR(c.B2, 0.0111028804, 5e-11);
    EXPECT_NEAR(c.A0, 1.0116426241, 5e-11);
    EXPECT_NEAR(c.A1, -1.9555884784, 5e-11);
    EXPECT_NEAR(c.A2, 0.9883573759, 5e-11);

    // w0 recovered from a1 = -2 cos w0; cutoff = rate * w0 / (2 pi).
    struct Row {
        double depth, w0, cutoffHz;
    };
    for (const Row& r : {Row{0.99, 2.97645, 20.9e3}, Row{0.50, 0.211132, 1.48e3}, Row{0.01, 0.0149765, 105}}) {
        const double w0 = std::acos(-fx::CoefficientsFor(0.10, 9.0, r.depth).A1 / 2.0);
        EXPECT_NEAR(w0, r.w0, 5e-6 * r.w0) << r.depth;
        EXPECT_NEAR(44100.0 * w0 / (2.0 * M_PI), r.cutoffHz, 0.01 * r.cutoffHz) << r.depth;
    }
    // The circle constant is the twelve-decimal one, not full-precision pi.
    EXPECT_EQ(fx::CoefficientsFor(1.0, 9.0, 0.3).A1, -2.0 * std::cos(3.141592653589));
}

TEST_F(FXTest, ARandomSignalMatchesTheReferenceSampleForSample)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    ReferenceFilter ref;
    // Mouse mode: the depth moves only between buffers, as the depth slider would move it.
    for (int buffer = 0; buffer < 400; ++buffer) {
        if (buffer % 50 == 0) {
            CurrentDepth = (1 + rng() % 99) / 100.0;
            FreqOffset = (rng() % 101) / 100.0;
            Resonance = (1 + rng() % 100) / 10.0;
        }
        ref.set(FreqOffset, Resonance, CurrentDepth);
        std::vector<int16_t> block(500);
        for (auto& s : block)
            s = static_cast<int16_t>(sample(rng));
        std::vector<int16_t> expected;
        for (auto s : block)
            expected.push_back(ref.step(s));
        ProcessBuffer(block.data(), int32_t(block.size()));
        ASSERT_EQ(block, expected) << "buffer " << buffer;
    }
}

TEST_F(FXTest, OutOfRangeOutputsClampWhileTheHistoryKeepsTheRealValue)
{
    // A full-scale square wave near the cutoff of a Q of 10 rings far past the 16-bit range.
    CurrentDepth = 0.5;
    Resonance = 10.0;
    ReferenceFilter ref;
    ref.set(0.10, 10.0, 0.5);
    std::vector<int16_t> block(2000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (i / 30) % 2 ? int16_t(32767) : int16_t(-32768);
    double highest = 0, lowest = 0;
    std::vector<int16_t> expected;
    for (auto s : block) {
        expected.push_back(ref.step(s));
        highest = std::max(highest, ref.y1);
        lowest = std::min(lowest, ref.y1);
    }
    ProcessBuffer(block.data(), int32_t(block.size()));
    EXPECT_GT(highest, 40000.0);
    EXPECT_LT(lowest, -40000.0);
    EXPECT_EQ(block, expected);
    EXPECT_EQ(fx::CurrentState().Y1, ref.y1);
}

TEST_F(FXTest, ANonFiniteOutputBecomesTheBottomRail)
{
    CurrentDepth = std::numeric_limits<double>::infinity();
    std::vector<int16_t> block{100, -100, 0, 5};
    ProcessBuffer(block.data(), 4);
    EXPECT_EQ(block, (std::vector<int16_t>{-32768, -32768, -32768, -32768}));
}

TEST_F(FXTest, SilenceInGivesSilenceOut)
{
    std::vector<int16_t> block(1000, 0);
    ProcessBuffer(block.data(), 1000);
    EXPECT_EQ(block, std::vector<int16_t>(1000, 0));
}

TEST_F(FXTest, PedalModeGlidesATenthOfTheGapPerBufferAndPublishesTheLabel)
{
    Settings.UsingMouse = false;
    CurrentDepth = 0.5;
    TargetDepth = 0.6;
    std::vector<int16_t> block(500, 0);
    ProcessBuffer(block.data(), 500);
    EXPECT_NEAR(CurrentDepth, 0.510101, 1e-6);
    EXPECT_EQ(TakeLabel(), "Depth = 0.51");

    // A count of 0 touches no sample yet still glides and writes the label once.
    int16_t untouched = 1234;
    ProcessBuffer(&untouched, 0);
    EXPECT_EQ(untouched, 1234);
    EXPECT_NEAR(CurrentDepth, 0.510101 + (0.6 - 0.510101) * 10.0 / 99.0, 1e-6);
    EXPECT_EQ(TakeLabel(), "Depth = 0.52");

    // Downwards by the same rule, and never past the target.
    TargetDepth = 0.0;
    for (int i = 0; i < 2000; ++i)
        ProcessBuffer(block.data(), 0);
    EXPECT_GE(CurrentDepth, 0.0);
    EXPECT_LT(CurrentDepth, 1e-6);
    EXPECT_EQ(TakeLabel(), "Depth = 0.00");

    // At the target: no step and no label write.
    CurrentDepth = 0.3;
    TargetDepth = 0.3;
    ProcessBuffer(block.data(), 0);
    EXPECT_EQ(CurrentDepth, 0.3);
    EXPECT_EQ(TakeLabel(), "(none)");
}

TEST_F(FXTest, MouseModeNeitherGlidesNorWritesTheLabel)
{
    CurrentDepth = 0.5;
    TargetDepth = 0.9;
    std::vector<int16_t> block(500, 100);
    ProcessBuffer(block.data(), 500);
    EXPECT_EQ(CurrentDepth, 0.5);
    EXPECT_EQ(TakeLabel(), "(none)");
}

TEST_F(FXTest, AParameterMovedBetweenSamplesActsFromTheNextSample)
{
    ReferenceFilter ref;
    CurrentDepth = 0.2;
    ref.set(0.10, 9.0, 0.2);
    std::vector<int16_t> in(300);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = int16_t(8000 * std::sin(double(i) * 0.3));
    std::vector<int16_t> expected;
    for (size_t i = 0; i < in.size(); ++i) {
        if (i == 137)
            ref.set(0.10, 9.0, 0.8);
        expected.push_back(ref.step(in[i]));
    }
    auto out = in;
    ProcessBuffer(out.data(), 137);
    CurrentDepth = 0.8;
    ProcessBuffer(out.data() + 137, int32_t(out.size() - 137));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(fx::CurrentState().CachedDepth, 0.8);
}

TEST_F(FXTest, FullFrequencyOffsetMakesTheDepthIrrelevant)
{
    FreqOffset = 1.0;
    std::vector<int16_t> in(400);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = int16_t((i * 7919) % 20000 - 10000);
    auto a = in;
    CurrentDepth = 0.01;
    ProcessBuffer(a.data(), int32_t(a.size()));
    fx::ResetForTests();
    FreqOffset = 1.0;
    Resonance = 9.0;
    auto b = in;
    CurrentDepth = 0.99;
    ProcessBuffer(b.data(), int32_t(b.size()));
    EXPECT_EQ(a, b);
}

TEST_F(FXTest, UnprimedParametersPassTheSignalThrough)
{
    // A start-up that stopped before the sliders primed the filter leaves every parameter 0.
    fx::ResetForTests();
    std::vector<int16_t> in{0, 1, -1, 32767, -32768, 1234};
    auto out = in;
    ProcessBuffer(out.data(), int32_t(out.size()));
    EXPECT_EQ(out, in);
    Resonance = 0.0;
    CurrentDepth = 0.5;
    ProcessBuffer(out.data(), int32_t(out.size()));
    EXPECT_EQ(out, in);
}

// A sine of the given amplitude and frequency at 44100 Hz.
std::vector<int16_t> Sine(size_t n, double amplitude, double hz)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = int16_t(std::lrint(amplitude * std::sin(2.0 * M_PI * hz * double(i) / 44100.0)));
    return v;
}

// The largest difference between neighbouring samples in [from, to).
int LargestStep(const std::vector<int16_t>& v, size_t from, size_t to)
{
    int largest = 0;
    for (size_t i = std::max<size_t>(from, 1); i < to; ++i)
        largest = std::max(largest, std::abs(int(v[i]) - int(v[i - 1])));
    return largest;
}

TEST_F(FXTest, OffPlaysTheInputSampleForSampleWhileTheFilterRunsOnBeside)
{
    // Pedal mode: the glide goes on as well.
    Settings.UsingMouse = false;
    TargetDepth = 0.4;
    EffectOn = false;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    ReferenceFilter ref;
    for (int block = 0; block < 20; ++block) {
        std::vector<int16_t> in(333);
        for (auto& x : in)
            x = int16_t(sample(rng));
        auto out = in;
        const double depth = CurrentDepth + ((TargetDepth * 100 - CurrentDepth * 100) * 0.1) / 99;
        ProcessBuffer(out.data(), int32_t(out.size()));
        // Every block plays as it came, the very first one too.
        ASSERT_EQ(out, in) << block;
        EXPECT_DOUBLE_EQ(CurrentDepth, depth);
        ref.set(0.10, 9.0, depth);
        for (int16_t x : in)
            ref.step(x);
    }
    // The filter's history is what it would be had it been heard all along.
    const fx::State s = fx::CurrentState();
    EXPECT_EQ(s.Y1, ref.y1);
    EXPECT_EQ(s.Y2, ref.y2);
    EXPECT_EQ(s.X1, ref.x1);
}

// Switching fades over the block it lands in. The oracle: a step between neighbouring
// samples anywhere in the played sound is no larger than the largest step the dry or the
// filtered sound takes by itself (5 % allowed for the fade's own slope, at most
// 2 × 32768 / 500 ≈ 131 against steps of about 1700 here).
TEST_F(FXTest, SwitchingOnOrOffHasNoStepLargerThanTheSignalsOwn)
{
    constexpr size_t kBlock = 500;
    constexpr size_t kBlocks = 24;
    CurrentDepth = 0.3;
    const auto in = Sine(kBlock * kBlocks, 12000.0, 1000.0);
    std::vector<int16_t> played;
    // Off for 6 blocks, on for 8, off for 6, on again.
    const auto onIn = [](size_t block) { return (block >= 6 && block < 14) || block >= 20; };
    for (size_t b = 0; b < kBlocks; ++b) {
        EffectOn = onIn(b);
        std::vector<int16_t> block(in.begin() + long(b * kBlock), in.begin() + long((b + 1) * kBlock));
        ProcessBuffer(block.data(), int32_t(block.size()));
        played.insert(played.end(), block.begin(), block.end());
    }
    // What the filter makes of the whole input, heard throughout.
    ReferenceFilter ref(0.10, 9.0, 0.3);
    std::vector<int16_t> wet(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        wet[i] = ref.step(in[i]);

    const int own = std::max(LargestStep(in, 0, in.size()), LargestStep(wet, 2 * kBlock, in.size()));
    EXPECT_LE(LargestStep(played, 0, played.size()), own * 105 / 100);
    // Outside the fading blocks the sound is exactly the dry or the filtered one.
    for (size_t b = 0; b < kBlocks; ++b) {
        if (b == 6 || b == 14 || b == 20)
            continue;
        const auto& heard = onIn(b) ? wet : in;
        for (size_t i = b * kBlock; i < (b + 1) * kBlock; ++i)
            ASSERT_EQ(played[i], heard[i]) << "block " << b << " sample " << i;
    }
    // The test means something: a hard cut would have stepped by far more.
    int cut = 0;
    for (size_t at : {6 * kBlock, 14 * kBlock, 20 * kBlock})
        cut = std::max({cut, std::abs(int(wet[at]) - int(in[at - 1])), std::abs(int(in[at]) - int(wet[at - 1]))});
    EXPECT_GT(cut, 2 * own);
}

TEST_F(FXTest, TheStoredSweepReachesTheProgramsFilterChoiceByChoice)
{
    auto& f = fx::Program();
    Settings.AutoMode = "LFO";
    Settings.SweepLow = 0.2;
    Settings.SweepHigh = 0.7;
    Settings.EnvSensitivity = 30;
    Settings.EnvAttackMs = 7;
    Settings.EnvReleaseMs = 900;
    Settings.EnvDirection = "Down";
    Settings.LfoShape = "SawDown";
    Settings.LfoRate = 3.5;
    Settings.Switchless = true;
    Settings.SwitchlessMs = 600;
    fx::ApplySweepSettings();
    EXPECT_EQ(f.Mode.load(), fx::SweepMode::Lfo);
    EXPECT_EQ(f.SweepLow.load(), 0.2);
    EXPECT_EQ(f.SweepHigh.load(), 0.7);
    EXPECT_EQ(f.EnvSensitivityDb.load(), 30.0);
    EXPECT_EQ(f.EnvAttackMs.load(), 7.0);
    EXPECT_EQ(f.EnvReleaseMs.load(), 900.0);
    EXPECT_EQ(f.EnvDirectionOf.load(), fx::EnvDirection::Down);
    EXPECT_EQ(f.Shape.load(), fx::LfoShape::SawDown);
    EXPECT_EQ(f.LfoRate.load(), 3.5);
    EXPECT_TRUE(f.Switchless.load());
    EXPECT_EQ(f.SwitchlessMs.load(), 600u);
    const std::pair<const char*, fx::LfoShape> shapes[] = {
        {"Sine", fx::LfoShape::Sine},       {"Triangle", fx::LfoShape::Triangle}, {"SawUp", fx::LfoShape::SawUp},
        {"Square", fx::LfoShape::Square}, {"Random", fx::LfoShape::Random}};
    for (const auto& [name, shape] : shapes) {
        Settings.LfoShape = name;
        fx::ApplySweepSettings();
        EXPECT_EQ(f.Shape.load(), shape) << name;
    }
    Settings.AutoMode = "Envelope";
    fx::ApplySweepSettings();
    EXPECT_EQ(f.Mode.load(), fx::SweepMode::Envelope);
    Settings.AutoMode = "Off";
    fx::ApplySweepSettings();
    EXPECT_EQ(f.Mode.load(), fx::SweepMode::Manual);
}

TEST(LatestValue, TheReaderEndsWithTheWritersLastValue)
{
    thread::LatestValue<int> latest;
    constexpr int kCount = 200000;
    std::atomic<bool> done{false};
    int seen = -1;
    std::thread writer([&] {
        for (int i = 0; i <= kCount; ++i)
            latest.publish(i);
        done = true;
    });
    int value = 0;
    while (!done.load()) {
        if (latest.take(value)) {
            EXPECT_GT(value, seen);
            seen = value;
        }
    }
    writer.join();
    if (latest.take(value))
        seen = value;
    EXPECT_EQ(seen, kCount);
}

} // namespace
