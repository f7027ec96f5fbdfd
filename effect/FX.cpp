#include "effect/FX.h"

#include "config/Settings.h"

#include <cmath>
#include <cstdio>

std::atomic<double> CurrentDepth{0.0};
std::atomic<double> TargetDepth{0.0};
std::atomic<double> FreqOffset{0.0};
std::atomic<double> Resonance{0.0};
std::atomic<double> PedalAccelFactor{0.0};
std::atomic<bool> EffectOn{true};

thread::LatestValue<thread::LabelText> DepthLabelText;
thread::NewsBell ControlsMoved;

namespace {

constexpr double kResetDepth = 0.99;
constexpr double kGlideScale = 100.0;
constexpr double kGlideDivisor = 99.0;
constexpr double kSweepOctaves = 6.0;
constexpr double kSampleMin = -32768.0;
constexpr double kSampleMax = 32767.0;

fx::State gState;

// An unordered pair counts as equal: a NaN never triggers a recomputation or a glide.
bool Differs(double a, double b) { return std::islessgreater(a, b); }

void UpdateCoefficients()
{
    const double freqOffset = FreqOffset.load(std::memory_order_relaxed);
    const double resonance = Resonance.load(std::memory_order_relaxed);
    const double depth = CurrentDepth.load(std::memory_order_relaxed);
    gState.c = fx::CoefficientsFor(freqOffset, resonance, depth);
    gState.CachedFreqOffset = freqOffset;
    gState.CachedResonance = resonance;
    gState.CachedDepth = depth;
}

void Glide()
{
    double current = CurrentDepth.load(std::memory_order_relaxed);
    const double target = TargetDepth.load(std::memory_order_relaxed);
    if (!Differs(target, current) || Settings.UsingMouse.load(std::memory_order_relaxed))
        return;
    const double accel = PedalAccelFactor.load(std::memory_order_relaxed);
    const double next = current + ((target * kGlideScale - current * kGlideScale) * accel) / kGlideDivisor;
    // A slider move that lands between the read and the write wins; the next buffer glides on.
    if (!CurrentDepth.compare_exchange_strong(current, next, std::memory_order_relaxed))
        return;
    thread::LabelText text;
    std::snprintf(text.chars.data(), text.chars.size(), "Depth = %.2f", next);
    DepthLabelText.publish(text);
}

} // namespace

void ToggleEffect()
{
    bool on = EffectOn.load(std::memory_order_relaxed);
    while (!EffectOn.compare_exchange_weak(on, !on, std::memory_order_relaxed)) {
    }
    ControlsMoved.tell();
}

void ResetDepth()
{
    CurrentDepth.store(kResetDepth);
    TargetDepth.store(kResetDepth);
}

void ProcessBuffer(int16_t* samples, int32_t count)
{
    Glide();
    auto& s = gState;
    const double wetTo = EffectOn.load(std::memory_order_relaxed) ? 1.0 : 0.0;
    if (!s.WetKnown) {
        s.Wet = wetTo;
        s.WetKnown = true;
    }
    const double wetFrom = s.Wet;
    const bool fading = Differs(wetFrom, wetTo) && count > 0;
    // A switch fades over the block it lands in: the filtered and the dry signal differ by
    // far more than one sample's step, and a hard cut between them would click.
    const double wetStep = fading ? (wetTo - wetFrom) / count : 0.0;
    for (int32_t i = 0; i < count; ++i) {
        const double x = samples[i];
        if (Differs(FreqOffset.load(std::memory_order_relaxed), s.CachedFreqOffset) ||
            Differs(Resonance.load(std::memory_order_relaxed), s.CachedResonance) ||
            Differs(CurrentDepth.load(std::memory_order_relaxed), s.CachedDepth))
            UpdateCoefficients();
        double y = (s.c.B0 * x + s.c.B1 * s.X1 + s.c.B2 * s.X2 - s.c.A1 * s.Y1 - s.c.A2 * s.Y2) / s.c.A0;
        s.X2 = s.X1;
        s.X1 = x;
        s.Y2 = s.Y1;
        s.Y1 = y;
        if (!(y >= kSampleMin))
            y = kSampleMin;
        else if (y > kSampleMax)
            y = kSampleMax;
        if (fading) {
            const double wet = wetFrom + wetStep * (i + 1);
            samples[i] = static_cast<int16_t>(wet * y + (1.0 - wet) * x);
        } else if (wetTo > 0.0) {
            samples[i] = static_cast<int16_t>(y);
        }
    }
    s.Wet = wetTo;
}

namespace fx {

Coefficients CoefficientsFor(double freqOffset, double resonance, double depth)
{
    if (!(resonance > 0.0))
        return {};
    const double g = (1.0 - freqOffset) * depth + freqOffset;
    const double w0 = kCircle * std::exp((g - 1.0) * kSweepOctaves);
    const double sn = std::sin(w0);
    const double cs = std::cos(w0);
    const double alpha = sn / (2.0 * resonance);
    Coefficients c;
    c.B0 = (1.0 - cs) / 2.0;
    c.B1 = 1.0 - cs;
    c.B2 = (1.0 - cs) / 2.0;
    c.A0 = 1.0 + alpha;
    c.A1 = -2.0 * cs;
    c.A2 = 1.0 - alpha;
    return c;
}

State CurrentState() { return gState; }

void ResetForTests()
{
    gState = State{};
    CurrentDepth = 0.0;
    TargetDepth = 0.0;
    FreqOffset = 0.0;
    Resonance = 0.0;
    PedalAccelFactor = 0.0;
    EffectOn = true;
    thread::LabelText discard;
    while (DepthLabelText.take(discard)) {
    }
}

} // namespace fx
