#pragma once
// The sweep filter: a resonant low-pass biquad whose cutoff follows the depth, and the
// five parameters that drive it.

#include "platform/thread/Doorbell.h"
#include "platform/thread/LatestValue.h"

#include <atomic>
#include <cstdint>

// Written by the sliders and the pedal on the UI thread, read by the filter on the capture
// callback thread; each is one 64-bit value loaded and stored whole.
extern std::atomic<double> CurrentDepth;
extern std::atomic<double> TargetDepth;
extern std::atomic<double> FreqOffset;
extern std::atomic<double> Resonance;
extern std::atomic<double> PedalAccelFactor;

// Whether the effect is heard. Off, the captured block plays as it came while the filter runs
// on beside it, so that switching back finds its state warm. Written by the check box, the
// footswitches and the store at start; read by the filter once per block.
extern std::atomic<bool> EffectOn;

// Told when a footswitch or the MIDI pedal changed what the main window shows (the effect
// switch, the depth), on whatever thread it was read: a screen at rest watches it so that
// it wakes at once.
extern thread::NewsBell ControlsMoved;

// Flips EffectOn and tells ControlsMoved.
// Called on any thread (a footswitch may be read on the UI thread or the audio thread).
void ToggleEffect();

// The depth label's text from the latest glide step, for the UI thread to pick up.
extern thread::LatestValue<thread::LabelText> DepthLabelText;

// Sets CurrentDepth and then TargetDepth to 0.99.
// UI thread only.
void ResetDepth();

// One glide step in pedal mode, then every sample through the filter, in place; with the
// effect off the samples stay as they came, and a block in which it was switched fades from
// the one to the other.
// Called on the capture callback thread; calls must not overlap.
void ProcessBuffer(int16_t* samples, int32_t count);

namespace fx {

inline constexpr double kCircle = 3.141592653589;

// Until the first computation the filter passes samples through, so a start-up that never
// primed the parameters (Resonance 0, nothing recomputed) plays the dry signal.
struct Coefficients {
    double B0{1.0}, B1{}, B2{}, A0{1.0}, A1{}, A2{};
};

// The coefficients for one reading of the three parameters. A resonance that is not a
// usable Q (0 before start-up primed the sliders, negative or NaN) gives a pass-through.
Coefficients CoefficientsFor(double freqOffset, double resonance, double depth);

// The filter's state as it stands, for tests.
struct State {
    Coefficients c;
    double X1{}, X2{}, Y1{}, Y2{};
    double CachedFreqOffset{}, CachedResonance{}, CachedDepth{};
    // How much of the filtered signal the last block ended with: 1 on, 0 off. Taken from
    // EffectOn by the first block, which plays as the switch says without a fade.
    double Wet{1.0};
    bool WetKnown{false};
};
State CurrentState();

// Back to the zeroed state and parameters of program load (tests only).
void ResetForTests();

} // namespace fx
