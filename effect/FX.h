#pragma once
// The program's one sweep filter and the names the rest of the program knows it by.

#include "effect/SweepFilter.h"
#include "platform/thread/Doorbell.h"
#include "platform/thread/LatestValue.h"

#include <atomic>
#include <cstdint>

namespace fx {
// The program's instance: it follows the program's rate and block, and its glide runs while
// a pedal (not the mouse) drives the depth.
SweepFilter& Program();
} // namespace fx

// The program's filter's parameters. Written by the sliders and the pedal on the UI thread,
// read by the filter on the capture callback thread; each is one 64-bit value loaded and
// stored whole.
extern std::atomic<double>& CurrentDepth;
extern std::atomic<double>& TargetDepth;
extern std::atomic<double>& FreqOffset;
extern std::atomic<double>& Resonance;
extern std::atomic<double>& PedalAccelFactor;

// Whether the effect is heard. Off, the captured block plays as it came while the filter runs
// on beside it, so that switching back finds its state warm. Written by the check box, the
// footswitches, the switchless pedal and the store at start; read by the filter once per block.
extern std::atomic<bool>& EffectOn;

// Told when a footswitch, the switchless pedal or the MIDI pedal changed what the main window
// shows (the effect switch, the depth), on whatever thread it was read: a screen at rest
// watches it so that it wakes at once.
extern thread::NewsBell ControlsMoved;

// Flips EffectOn and tells ControlsMoved.
// Called on any thread (a footswitch may be read on the UI thread or the audio thread).
void ToggleEffect();

// The depth label's text from the latest glide step, for the UI thread to pick up.
extern thread::LatestValue<thread::LabelText> DepthLabelText;

// Sets CurrentDepth and then TargetDepth to 0.99.
// UI thread only.
void ResetDepth();

// The program's filter over one block, in place, at the program's rate; with the pedal as the
// source it glides first. Publishes the depth label after a glide step and tells
// ControlsMoved after a switchless flip.
// Called on the capture callback thread; calls must not overlap.
void ProcessBuffer(int16_t* samples, int32_t count);

namespace fx {

// Puts the store's sweep rows (AutoMode, SweepLow/High, Env*, Lfo*, Switchless, SwitchlessMs)
// into the program's filter; a text that is not one of its choices leaves the default.
// UI thread only.
void ApplySweepSettings();

// The program's filter's state as it stands, for tests.
State CurrentState();

// Back to the zeroed state and parameters of program load (tests only).
void ResetForTests();

} // namespace fx
