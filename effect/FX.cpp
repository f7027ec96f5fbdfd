#include "effect/FX.h"

#include "config/Settings.h"

#include <cstdio>
#include <string>

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

namespace {

template <typename Enum, size_t N>
Enum Named(const std::string& text, const char* const (&names)[N], Enum fallback)
{
    for (size_t i = 0; i + 1 < N; ++i)
        if (text == names[i])
            return static_cast<Enum>(i);
    return fallback;
}

} // namespace

void ApplySweepSettings()
{
    auto& p = gProgram;
    p.Mode = Named(Settings.AutoMode, settings::kAutoModes, SweepMode::Manual);
    p.SweepLow = Settings.SweepLow;
    p.SweepHigh = Settings.SweepHigh;
    p.EnvSensitivityDb = double(Settings.EnvSensitivity);
    p.EnvAttackMs = double(Settings.EnvAttackMs);
    p.EnvReleaseMs = double(Settings.EnvReleaseMs);
    p.EnvDirectionOf = Named(Settings.EnvDirection, settings::kEnvDirections, EnvDirection::Up);
    p.Shape = Named(Settings.LfoShape, settings::kLfoShapes, LfoShape::Sine);
    p.LfoRate = Settings.LfoRate;
    p.Switchless = Settings.Switchless;
    p.SwitchlessMs = Settings.SwitchlessMs;
}

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
    // The sweep's settings as a new instance has them.
    const SweepFilter fresh;
    gProgram.Mode = fresh.Mode.load();
    gProgram.SweepLow = fresh.SweepLow.load();
    gProgram.SweepHigh = fresh.SweepHigh.load();
    gProgram.EnvSensitivityDb = fresh.EnvSensitivityDb.load();
    gProgram.EnvAttackMs = fresh.EnvAttackMs.load();
    gProgram.EnvReleaseMs = fresh.EnvReleaseMs.load();
    gProgram.EnvDirectionOf = fresh.EnvDirectionOf.load();
    gProgram.Shape = fresh.Shape.load();
    gProgram.LfoRate = fresh.LfoRate.load();
    gProgram.Switchless = fresh.Switchless.load();
    gProgram.SwitchlessMs = fresh.SwitchlessMs.load();
    gProgram.SwitchlessFlips = 0;
    thread::LabelText discard;
    while (DepthLabelText.take(discard)) {
    }
}

} // namespace fx
