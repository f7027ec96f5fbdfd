#pragma once
// The joystick pedal as the depth source: one axis reading, clamped, optionally inverted and
// scaled, becomes the filter's target depth and the depth slider's position.

#include "pedal/PedalMapping.h"
#include "platform/joystick/Joystick.h"

#include <cstdint>
#include <functional>

// The hidden window that receives the joystick messages.
extern joystick::Window PedalWindow;

// Creates PedalWindow and, in joystick pedal mode, captures the joystick and sets the bounds; a
// joystick that cannot be captured is reported and the depth follows the mouse instead.
// moveSlider sets the depth slider's position (its change handler runs only on a change).
// UI thread only.
void OpenPedal(joystick::JoystickService& service, std::function<void(int32_t)> moveSlider);

// PedalWindow's procedure: movements set the depth, the footswitch button toggles the
// effect. UI thread only.
intptr_t PedalWndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);

// The next joystick button that goes down is handed to learned (its number, from 1) instead
// of acting as the footswitch; a later call replaces the waiting one. UI thread only.
void LearnFootswitch(std::function<void(int32_t)> learned);
// Stops waiting for a button to learn. UI thread only.
void StopLearningFootswitch();
// Whether a button is awaited. UI thread only.
bool LearningFootswitch();
// Whether the pedal's joystick is captured, so that its buttons reach the program.
// UI thread only.
bool PedalCaptured();

// The game pedal's mapping from the store: PedalMin/PedalMax (calibrated ends), PedalCurve,
// InvertPedal. UI thread only.
pedal::PedalMapping GamePedalMapping();

// From now on every axis reading of the pedal (the depth source) is collected until stopped;
// the latest reading is kept either way. UI thread only.
void StartPedalCalibration();
void StopPedalCalibration();
const pedal::Calibration& PedalCalibration();
// The last raw reading of the chosen axis; false before any. UI thread only.
bool LatestPedalReading(uint32_t* reading);

// Releases the capture in pedal mode. UI thread only.
void ReleasePedal();
