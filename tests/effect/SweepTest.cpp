// The sweep sources against their analytic behaviour, and the filter instance held to its
// promises: the float path tracks the 16-bit one, any split of the input sounds like one
// block, the held scaling keeps Hz and seconds at any rate, and bad input leaves no trace.

#include "effect/SweepFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using fx::LfoShape;
using fx::SweepFilter;
using fx::SweepMode;

constexpr double kRate = 44100.0;

void Prime(SweepFilter& f)
{
    f.FreqOffset = 0.10;
    f.Resonance = 9.0;
    f.PedalAccelFactor = 0.1;
    f.CurrentDepth = 0.5;
    f.TargetDepth = 0.5;
}

std::vector<float> Noise(size_t n, uint32_t seed, float amplitude = 0.5f)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-amplitude, amplitude);
    std::vector<float> v(n);
    for (auto& x : v)
        x = d(rng);
    return v;
}

// Samples for which the follower's level first crosses the fraction of the way from `from`
// to `to`, feeding a constant level `to`.
size_t SamplesToReach(fx::EnvelopeFollower& e, double to, double fraction)
{
    const double from = e.Level();
    const double mark = from + (to - from) * fraction;
    for (size_t n = 1; n < 10 * 44100; ++n) {
        e.HearOne(to);
        if ((to > from && e.Level() >= mark) || (to < from && e.Level() <= mark))
            return n;
    }
    return 0;
}

TEST(EnvelopeFollower, RisesToTwoThirdsInTheAttackAndFallsToAThirdInTheRelease)
{
    struct Times {
        double attackMs, releaseMs;
    };
    for (const Times t : {Times{1, 10}, Times{5, 200}, Times{100, 2000}}) {
        fx::EnvelopeFollower e;
        e.Configure(20.0, t.attackMs, t.releaseMs, kRate);
        const double attack = double(SamplesToReach(e, 0.5, 1.0 - std::exp(-1.0))) / kRate * 1000.0;
        EXPECT_NEAR(attack, t.attackMs, 0.05 * t.attackMs) << t.attackMs;
        // Settled at the high level, then silence.
        for (int i = 0; i < 20 * 44100 * t.attackMs / 1000; ++i)
            e.HearOne(-0.5);
        EXPECT_NEAR(e.Level(), 0.5, 1e-6);
        const double release = double(SamplesToReach(e, 0.0, 1.0 - std::exp(-1.0))) / kRate * 1000.0;
        EXPECT_NEAR(release, t.releaseMs, 0.05 * t.releaseMs) << t.releaseMs;
    }
    // The sensitivity: at 20 dB a level of a tenth of full scale opens the sweep fully.
    fx::EnvelopeFollower e;
    e.Configure(20.0, 1, 10, kRate);
    for (int i = 0; i < 4410; ++i)
        e.HearOne(0.1);
    EXPECT_NEAR(e.Position(), 1.0, 1e-6);
    e.Configure(0.0, 1, 10, kRate);
    EXPECT_NEAR(e.Position(), 0.1, 1e-6);
}

// Each shape's own description, at a phase in turns.
double Expected(LfoShape shape, double p)
{
    switch (shape) {
    case LfoShape::Sine: return 0.5 + 0.5 * std::cos(2 * M_PI * p);
    case LfoShape::Triangle: return p < 0.5 ? 1 - 2 * p : 2 * p - 1;
    case LfoShape::SawUp: return p;
    case LfoShape::SawDown: return 1 - p;
    default: return 0;
    }
}

TEST(Oscillator, EveryShapeKeepsItsPhaseToASampleOverTenMinutes)
{
    constexpr uint64_t kStep = fx::kDepthStep;
    const uint64_t tenMinutes = uint64_t(600 * kRate);
    for (double hz : {20.0, 0.05}) {
        for (LfoShape shape : {LfoShape::Sine, LfoShape::Triangle, LfoShape::SawUp, LfoShape::SawDown,
                               LfoShape::Square, LfoShape::Random}) {
            fx::Oscillator o;
            o.Configure(shape, hz, kRate);
            const double oneSample = hz / kRate;
            double worstPhase = 0, lowest = 1, highest = 0, largestStep = 0, last = o.Position();
            for (uint64_t n = 0; n <= tenMinutes; n += kStep) {
                // The phase the rate gives at this sample, in extended precision.
                const long double turns = (long double)n * hz / kRate;
                const double want = double(turns - std::floor(turns));
                double err = std::fabs(o.Phase() - want);
                err = std::min(err, 1.0 - err);
                worstPhase = std::max(worstPhase, err);
                const double v = o.Position();
                // Away from the saws' edges, the value is the shape's at the right phase.
                const bool nearEdge = shape >= LfoShape::SawUp && std::fabs(want - 0.5) > 0.49;
                if (shape <= LfoShape::SawDown && (n / kStep) % 997 == 0 && !nearEdge) {
                    ASSERT_NEAR(v, Expected(shape, want), 1e-9) << int(shape) << " at " << n;
                }
                lowest = std::min(lowest, v);
                highest = std::max(highest, v);
                largestStep = std::max(largestStep, std::fabs(v - last));
                last = v;
                o.Advance(kStep);
            }
            EXPECT_LT(worstPhase, oneSample) << int(shape) << " at " << hz << " Hz";
            EXPECT_GE(lowest, 0.0);
            EXPECT_LE(highest, 1.0);
            if (shape != LfoShape::Random) {
                EXPECT_GT(highest - lowest, 0.99) << int(shape);
            }
            // No clicks: between grid points at 20 Hz a smooth shape moves little, the square's
            // softened edge included; only the saws jump.
            if (hz == 20.0 && shape != LfoShape::SawUp && shape != LfoShape::SawDown) {
                EXPECT_LT(largestStep, 0.2) << int(shape);
            }
        }
    }
    // The square is flat at its top and bottom, and its peak is at phase 0 like the others.
    EXPECT_EQ(fx::Oscillator::ShapeAt(LfoShape::Square, 0.0), 1.0);
    EXPECT_EQ(fx::Oscillator::ShapeAt(LfoShape::Square, 0.18), 1.0);
    EXPECT_EQ(fx::Oscillator::ShapeAt(LfoShape::Square, 0.5), 0.0);
    EXPECT_EQ(fx::Oscillator::ShapeAt(LfoShape::Square, 0.32), 0.0);
    EXPECT_NEAR(fx::Oscillator::ShapeAt(LfoShape::Square, 0.25), 0.5, 1e-12);
}

TEST(Oscillator, RandomGlidesToANewLevelEachPeriod)
{
    fx::Oscillator o;
    o.Configure(LfoShape::Random, 10.0, kRate);
    std::vector<double> atPeriodStarts;
    for (int period = 0; period < 50; ++period) {
        atPeriodStarts.push_back(o.Position());
        o.Advance(4410);
    }
    std::sort(atPeriodStarts.begin(), atPeriodStarts.end());
    EXPECT_EQ(std::unique(atPeriodStarts.begin(), atPeriodStarts.end()), atPeriodStarts.end());
    EXPECT_LT(atPeriodStarts.front(), 0.2);
    EXPECT_GT(atPeriodStarts.back(), 0.8);
}

TEST(TapTempo, MedianOfTheLastIntervalsAndAPauseStartsOver)
{
    constexpr int64_t ms = 1'000'000;
    fx::TapTempo t;
    EXPECT_FALSE(t.Tap(1000 * ms));
    EXPECT_TRUE(t.Tap(1500 * ms));
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.5);
    EXPECT_TRUE(t.Tap(2100 * ms)); // 500, 600: their middle
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.55);
    EXPECT_TRUE(t.Tap(2500 * ms)); // 500, 600, 400
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.5);
    EXPECT_TRUE(t.Tap(3400 * ms)); // the oldest goes: 600, 400, 900
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.6);
    // More than 2 s: this tap is a first one again, and the period stands until a second.
    EXPECT_FALSE(t.Tap(5401 * ms));
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.6);
    EXPECT_TRUE(t.Tap(5651 * ms));
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), 0.25);
    // Exactly 2 s still counts.
    EXPECT_TRUE(t.Tap(7651 * ms));
    EXPECT_DOUBLE_EQ(t.PeriodSeconds(), (250.0 + 2000.0) / 2 / 1000);
}

int64_t gNow = 0;
int64_t ScriptedNow() { return gNow; }

TEST(SweepFilter, TapsSetTheLfoRateAndRestartItAtThePeak)
{
    SweepFilter f(fx::Scaling::FollowsRate, &ScriptedNow);
    Prime(f);
    f.Mode = SweepMode::Lfo;
    f.SweepLow = 0.2;
    f.SweepHigh = 0.8;
    std::vector<int16_t> block(1000, 0);
    f.Process(block.data(), 1000);
    EXPECT_LT(f.CurrentDepth.load(), 0.8); // moved off the peak
    gNow = 10'000'000'000;
    f.Tap();
    gNow += 500'000'000;
    f.Tap(); // from another thread in life; taken in at the next block
    f.Process(block.data(), fx::kDepthStep);
    EXPECT_DOUBLE_EQ(f.LfoRate.load(), 2.0);
    EXPECT_DOUBLE_EQ(f.CurrentDepth.load(), 0.8);
    // Taps beyond what the LFO can do are held to its range.
    f.TapAt(gNow + 10'000'000);
    f.TapAt(gNow + 20'000'000);
    f.Process(block.data(), 1);
    EXPECT_DOUBLE_EQ(f.LfoRate.load(), 20.0);
}

TEST(Switchless, EngagesOffTheHeelAndReleasesAfterTheHoldOnce)
{
    using A = fx::Switchless::Action;
    constexpr int64_t ms = 1'000'000;
    fx::Switchless s;
    EXPECT_EQ(s.Step(0.0, 0, true, 400), A::None);
    EXPECT_EQ(s.Step(0.01, 399 * ms, true, 400), A::None);
    EXPECT_EQ(s.Step(0.0, 400 * ms, true, 400), A::SwitchOff);
    EXPECT_EQ(s.Step(0.0, 900 * ms, false, 400), A::None);
    // A tremble just over the band does not switch on; a real move does, once.
    EXPECT_EQ(s.Step(0.025, 950 * ms, false, 400), A::None);
    EXPECT_EQ(s.Step(0.3, 1000 * ms, false, 400), A::SwitchOn);
    EXPECT_EQ(s.Step(0.6, 1100 * ms, true, 400), A::None);
    // Passing the heel on the way through is no rest.
    EXPECT_EQ(s.Step(0.0, 1200 * ms, true, 400), A::None);
    EXPECT_EQ(s.Step(0.5, 1300 * ms, true, 400), A::None);
    EXPECT_EQ(s.Step(0.0, 1400 * ms, true, 400), A::None);
    EXPECT_EQ(s.Step(0.0, 1799 * ms, true, 400), A::None);
    EXPECT_EQ(s.Step(0.0, 1800 * ms, true, 400), A::SwitchOff);
    // A pedal first seen off its heel switches nothing until it moves.
    fx::Switchless fresh;
    EXPECT_EQ(fresh.Step(0.7, 0, false, 400), A::None);
    EXPECT_EQ(fresh.Step(0.7, 5000 * ms, false, 400), A::None);
}

TEST(SweepFilter, TheSwitchlessPedalFlipsTheEffectOnTheAudioClock)
{
    SweepFilter f;
    Prime(f);
    f.Glides = true;
    f.Switchless = true;
    f.SwitchlessMs = 400;
    f.TargetDepth = 0.0;
    std::vector<int16_t> block(441, 0);
    int blocks = 0;
    while (f.EffectOn.load() && blocks < 100) {
        f.Process(block.data(), 441);
        ++blocks;
    }
    EXPECT_EQ(blocks, 41); // 400 ms of 10 ms blocks, seen on the block after
    EXPECT_EQ(f.SwitchlessFlips.load(), 1u);
    f.TargetDepth = 0.5;
    f.Process(block.data(), 441);
    EXPECT_TRUE(f.EffectOn.load());
    EXPECT_EQ(f.SwitchlessFlips.load(), 2u);
}

// What the float path plays for 16-bit input, scaled back to 16 bits.
TEST(SweepFilter, TheFloatPathTracksTheSixteenBitPathInEveryMode)
{
    for (SweepMode mode : {SweepMode::Manual, SweepMode::Envelope, SweepMode::Lfo}) {
        SweepFilter ints, floats;
        for (SweepFilter* f : {&ints, &floats}) {
            Prime(*f);
            f->Mode = mode;
            f->Glides = true;
            f->TargetDepth = 0.9;
        }
        const auto noise = Noise(44000, 3, 0.02f);
        std::vector<int16_t> in16(noise.size());
        std::vector<float> in(noise.size());
        for (size_t i = 0; i < noise.size(); ++i) {
            in16[i] = int16_t(std::lrint(noise[i] * 32768.0f));
            in[i] = float(in16[i]) / 32768.0f;
        }
        std::vector<float> out(in.size());
        for (size_t at = 0; at < in.size(); at += 500) {
            ints.Process(in16.data() + at, 500);
            floats.Process(in.data() + at, out.data() + at, 500);
        }
        double worst = 0;
        for (size_t i = 0; i < in.size(); ++i)
            worst = std::max(worst, std::fabs(double(out[i]) * 32768.0 - in16[i]));
        EXPECT_LE(worst, 1.0) << int(mode);
    }
}

TEST(SweepFilter, AnySplitOfTheInputSoundsLikeOneBlock)
{
    const auto in = Noise(3 * 8192 + 77, 5);
    for (fx::Scaling scaling : {fx::Scaling::FollowsRate, fx::Scaling::HeldInHzAndSeconds}) {
        for (SweepMode mode : {SweepMode::Manual, SweepMode::Envelope, SweepMode::Lfo}) {
            // The program's glide steps once a block by design: only held in seconds is
            // Manual's glide free of the split.
            const bool glides = scaling == fx::Scaling::HeldInHzAndSeconds || mode != SweepMode::Manual;
            for (uint32_t rate : {22050u, 192000u}) {
                auto run = [&](const std::vector<uint32_t>& sizes) {
                    SweepFilter f(scaling);
                    Prime(f);
                    f.SampleRate = rate;
                    f.Mode = mode;
                    f.Glides = glides;
                    f.TargetDepth = 0.95;
                    f.LfoRate = 7.0;
                    f.Shape = LfoShape::Square;
                    std::vector<float> out(in.size());
                    size_t at = 0;
                    for (size_t k = 0; at < in.size(); ++k) {
                        const uint32_t n = std::min<uint32_t>(sizes[k % sizes.size()], uint32_t(in.size() - at));
                        f.Process(in.data() + at, out.data() + at, n);
                        at += n;
                    }
                    return out;
                };
                const auto whole = run({uint32_t(in.size())});
                EXPECT_EQ(run({0, 1, 7, 8192, 31, 33}), whole) << int(scaling) << " " << int(mode) << " " << rate;
            }
        }
    }
}

// The cutoff in Hz of the coefficients in effect.
double CutoffHz(const fx::InEffect& e) { return e.rate * std::acos(-e.c.A1 / 2.0) / (2 * M_PI); }

TEST(SweepFilter, HeldInHzAndSecondsTheCutoffsAndTheGlideKeepTheirMeasureAtAnyRate)
{
    for (uint32_t rate : {22050u, 44100u, 48000u, 96000u, 192000u}) {
        SweepFilter f(fx::Scaling::HeldInHzAndSeconds);
        Prime(f);
        f.SampleRate = rate;
        std::vector<float> block(64, 0.0f);
        f.Process(block.data(), block.data(), 64);
        fx::InEffect e;
        ASSERT_TRUE(f.TakeInEffect(e));
        EXPECT_NEAR(CutoffHz(e), 1480.0, 15.0) << rate;
        // The same resonance: the Q from the coefficients.
        const double w0 = std::acos(-e.c.A1 / 2.0);
        EXPECT_NEAR(std::sin(w0) / (2.0 * (e.c.A0 - 1.0)), 9.0, 1e-9);

        // The open end: full depth lets white noise through whole below 10 kHz.
        f.CurrentDepth = 0.99;
        f.TargetDepth = 0.99;
        const auto noise = Noise(rate, 9);
        std::vector<float> out(noise.size());
        f.Process(noise.data(), out.data(), uint32_t(noise.size()));
        ASSERT_TRUE(f.TakeInEffect(e));
        EXPECT_GT(CutoffHz(e), std::min(20000.0, rate / 2.0 - 1.0)) << rate;

        // The glide: a step of the target is two-thirds done after one time constant, about
        // 0.106 s (any split of the blocks sounds alike, so one sample at a time says it).
        f.Glides = true;
        f.CurrentDepth = 0.0;
        f.TargetDepth = 0.9;
        float sample = 0.0f;
        uint32_t samples = 0;
        while (f.CurrentDepth.load() < 0.9 * (1.0 - std::exp(-1.0))) {
            f.Process(&sample, &sample, 1);
            ++samples;
        }
        EXPECT_NEAR(double(samples) / rate, 0.1065, 0.002) << rate;
    }
}

TEST(SweepFilter, NonFiniteInputAndSilenceLeaveNoTrace)
{
    SweepFilter clean(fx::Scaling::HeldInHzAndSeconds), hit(fx::Scaling::HeldInHzAndSeconds);
    for (SweepFilter* f : {&clean, &hit}) {
        Prime(*f);
        f->Mode = SweepMode::Envelope;
    }
    auto in = Noise(4096, 11);
    auto poisoned = in;
    poisoned[100] = std::numeric_limits<float>::quiet_NaN();
    poisoned[200] = std::numeric_limits<float>::infinity();
    poisoned[300] = -std::numeric_limits<float>::infinity();
    in[100] = in[200] = in[300] = 0.0f;
    std::vector<float> a(in.size()), b(in.size());
    clean.Process(in.data(), a.data(), uint32_t(in.size()));
    hit.Process(poisoned.data(), b.data(), uint32_t(in.size()));
    EXPECT_EQ(a, b);
    for (float y : b)
        ASSERT_TRUE(std::isfinite(y));

    // A parameter that was briefly unusable is forgotten within a block once mended.
    hit.Resonance = std::numeric_limits<double>::quiet_NaN();
    hit.Process(in.data(), b.data(), 512);
    hit.Resonance = 9.0;
    hit.Process(in.data(), b.data(), 512);
    for (float y : b)
        ASSERT_TRUE(std::isfinite(y));

    // After a loud note the tail decays to true zero, not through denormals.
    const std::vector<float> silence(44100, 0.0f);
    std::vector<float> tail(silence.size());
    hit.Process(in.data(), tail.data(), uint32_t(in.size()));
    for (int i = 0; i < 20; ++i)
        hit.Process(silence.data(), tail.data(), uint32_t(silence.size()));
    const fx::State s = hit.Snapshot();
    EXPECT_EQ(s.Y1, 0.0);
    EXPECT_EQ(s.Y2, 0.0);
    EXPECT_EQ(hit.EnvelopeLevel(), 0.0);
}

TEST(SweepFilter, TheAutomaticModesSweepTheDepthOnTheGridWithinTheirRange)
{
    SweepFilter f;
    Prime(f);
    f.SweepLow = 0.3;
    f.SweepHigh = 0.7;
    f.Mode = SweepMode::Envelope;
    f.EnvAttackMs = 1.0;
    f.EnvReleaseMs = 10.0;
    std::vector<int16_t> quiet(4410, 0), loud(4410);
    const auto refill = [&] {
        for (size_t i = 0; i < loud.size(); ++i)
            loud[i] = int16_t(i % 2 ? 8000 : -8000);
    };
    f.Process(quiet.data(), int32_t(quiet.size()));
    EXPECT_DOUBLE_EQ(f.CurrentDepth.load(), 0.3);
    refill();
    f.Process(loud.data(), int32_t(loud.size()));
    EXPECT_NEAR(f.CurrentDepth.load(), 0.7, 1e-9);
    f.EnvDirectionOf = fx::EnvDirection::Down;
    refill();
    f.Process(loud.data(), int32_t(loud.size()));
    EXPECT_NEAR(f.CurrentDepth.load(), 0.3, 1e-9);

    // The LFO writes a new depth every grid step and no more often.
    f.Mode = SweepMode::Lfo;
    f.LfoRate = 20.0;
    int changes = 0;
    double last = f.CurrentDepth.load();
    for (int i = 0; i < 3200; ++i) {
        f.Process(quiet.data(), 1);
        if (f.CurrentDepth.load() != last)
            ++changes;
        last = f.CurrentDepth.load();
    }
    EXPECT_EQ(changes, 100);
}

} // namespace
