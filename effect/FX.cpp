#include "effect/FX.h"

#include "config/Settings.h"

#include <cstdio>

namespace {

constexpr double kResetDepth = 0.99;

constinit fx::SweepFilter gProgram{fx::Scaling::FollowsRate};

} // namespace

std::atomic<double>& CurrentDepth = gProgram.CurrentDepth;
std::atomic<double>& TargetDepth = gProgram.TargetDepth;
std::atomic<double>& FreqOffset = gProgram.FreqOffset;
std::atomic<double>& Resonance = gProgram.Resonance;
std::atomic<double>& PedalAccelFactor = gProgram.PedalAccelFactor;
std::atomic<bool>& EffectOn = gProgram.EffectOn;

thread::LatestValue<thread::LabelText> DepthLabelText;
thread::NewsBell ControlsMoved;

namespace fx {
SweepFilter& Program() { return gProgram; }
} // namespace fx

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
    gProgram.Glides.store(!Settings.UsingMouse.load(std::memory_order_relaxed), std::memory_order_relaxed);
    gProgram.SampleRate.store(Settings.SampleRate.load(std::memory_order_relaxed), std::memory_order_relaxed);
    const uint32_t flips = gProgram.SwitchlessFlips.load(std::memory_order_relaxed);
    gProgram.Process(samples, count);
    double glided = 0.0;
    if (gProgram.GlidedInLastBlock(glided)) {
        thread::LabelText text;
        std::snprintf(text.chars.data(), text.chars.size(), "Depth = %.2f", glided);
        DepthLabelText.publish(text);
    }
    if (gProgram.SwitchlessFlips.load(std::memory_order_relaxed) != flips)
        ControlsMoved.tell();
}

namespace fx {

State CurrentState() { return gProgram.Snapshot(); }

void ResetForTests()
{
    gProgram.Reset();
    CurrentDepth = 0.0;
    TargetDepth = 0.0;
    FreqOffset = 0.0;
    Resonance = 0.0;
    PedalAccelFactor = 0.0;
    EffectOn = true;
    gProgram.Mode = SweepMode::Manual;
    gProgram.SweepLow = 0.0;
    gProgram.SweepHigh = kDepthTop;
    gProgram.Switchless = false;
    thread::LabelText discard;
    while (DepthLabelText.take(discard)) {
    }
}

} // namespace fx
