#pragma once
// The start of a pedal test: the filter primed with the default sliders, the depth at 0.99,
// the pedal on port 0's Y axis, not inverted, no bounds yet, no footswitch, the effect on.

#include "config/Settings.h"
#include "effect/FX.h"

namespace testsupport {

inline void StartInPedalMode()
{
    fx::ResetForTests();
    FreqOffset = 0.1;
    Resonance = 9.0;
    PedalAccelFactor = 0.1;
    ResetDepth();
    Settings.UsingMouse = false;
    Settings.PedalDevice = 0;
    Settings.PedalAxis = 1;
    Settings.InvertPedal = false;
    Settings.PedalMin = 0;
    Settings.PedalMax = 0;
    Settings.FootswitchButton = 0;
    EffectOn = true;
}

} // namespace testsupport
