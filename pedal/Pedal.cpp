#include "pedal/Pedal.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/Report.h"

#include <cmath>
#include <string>

joystick::Window PedalWindow;

namespace {

constexpr uint32_t kCapturePeriodMs = 1;
constexpr uint32_t kYZMax = 0x7FFF;
constexpr uint32_t kLowHalf = 0xFFFF;

joystick::JoystickService* gService = nullptr;
std::function<void(int32_t)> gMoveSlider;
std::function<void(int32_t)> gLearnButton;
pedal::Calibration gCalibration;
bool gCalibrating = false;
bool gReadingSeen = false;
uint32_t gLastReading = 0;

// A button went down: learned when a learn waits for one, else the footswitch when it is
// the chosen button (0 chooses none).
void ButtonDown(uint32_t button)
{
    if (gLearnButton) {
        // Moved out first: the receiver may start the next learn.
        auto learned = std::move(gLearnButton);
        gLearnButton = nullptr;
        learned(int32_t(button));
        return;
    }
    if (Settings.FootswitchButton != 0 && button == Settings.FootswitchButton)
        ToggleEffect();
    if (Settings.TapButton != 0 && button == Settings.TapButton)
        fx::Program().Tap();
}

// A button the controller does not have would never act: said, and none used.
void KeepToTheButtons(const char* row, uint32_t& button, uint32_t buttons)
{
    if (buttons == 0 || button <= buttons)
        return;
    report::Error(std::string(row) + " = " + std::to_string(button) + " is beyond the " + std::to_string(buttons) +
                  " buttons of the pedal's controller; Vobblix uses none.");
    button = 0;
}

} // namespace

void OpenPedal(joystick::JoystickService& service, std::function<void(int32_t)> moveSlider)
{
    gService = &service;
    gMoveSlider = std::move(moveSlider);
    PedalWindow.procedure = &PedalWndProc;
    if (Settings.UsingMouse || Settings.MidiPedal)
        return;
    const auto device = static_cast<uint32_t>(Settings.PedalDevice);
    if (service.joySetCapture(&PedalWindow, device, kCapturePeriodMs, true) != joystick::JOYERR_NOERROR) {
        report::Error("There was a problem loading your joystick device on port " + std::to_string(Settings.PedalDevice) +
                      ". Please make sure it is properly plugged and configured. Joystick usage has been disabled.");
        Settings.UsingMouse = true;
        return;
    }
    service.joySetThreshold(device, 0);
    joystick::JOYCAPS caps;
    service.joyGetDevCaps(device, &caps);
    KeepToTheButtons("FootswitchButton", Settings.FootswitchButton, caps.wNumButtons);
    KeepToTheButtons("TapButton", Settings.TapButton, caps.wNumButtons);
    switch (Settings.PedalAxis) {
    case 0:
        Settings.PedalMin = caps.wXmin;
        Settings.PedalMax = caps.wXmax;
        break;
    case 1:
    case 2:
        Settings.PedalMin = 0;
        Settings.PedalMax = kYZMax;
        break;
    default:
        break;
    }
    if (Settings.PedalMin == 0)
        Settings.PedalMin = 1;
}

intptr_t PedalWndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    using namespace joystick;
    const bool move = msg == MM_JOY1MOVE || msg == MM_JOY2MOVE;
    const bool zmove = msg == MM_JOY1ZMOVE || msg == MM_JOY2ZMOVE;
    if (msg == MM_JOY1BUTTONDOWN || msg == MM_JOY2BUTTONDOWN)
        ButtonDown(uint32_t(wParam));
    if (!move && !zmove)
        return DefWindowProc(PedalWindow, msg, wParam, lParam);
    if (Settings.UsingMouse || Settings.MidiPedal)
        return 0;
    const auto bits = static_cast<uint32_t>(lParam);
    uint32_t reading = 0;
    switch (Settings.PedalAxis) {
    case 0:
        if (!move)
            return 0;
        reading = bits & kLowHalf;
        break;
    case 2:
        if (!zmove)
            return 0;
        reading = bits & kLowHalf;
        break;
    default:
        if (!move)
            return 0;
        reading = (bits >> 16) & kLowHalf;
        break;
    }
    gReadingSeen = true;
    gLastReading = reading;
    if (gCalibrating)
        gCalibration.Add(reading);
    // No upper bound to scale by (an axis value the store should not hold, or a device that
    // reports no X range): the pedal cannot say anything, and the depth stays where it is.
    if (Settings.PedalMax == 0)
        return 0;
    const PedalScaled scaled = GamePedalMapping().Map(reading, Settings.PedalMin, Settings.PedalMax);
    TargetDepth = scaled.depth;
    if (gMoveSlider)
        gMoveSlider(scaled.slider);
    return 0;
}

pedal::PedalMapping GamePedalMapping()
{
    pedal::PedalMapping m;
    m.lowest = Settings.PedalCalMin;
    m.highest = Settings.PedalCalMax;
    m.curve = pedal::CurveNamed(Settings.PedalCurve);
    m.invert = Settings.InvertPedal;
    return m;
}

void StartPedalCalibration()
{
    gCalibration.Reset();
    gCalibrating = true;
}

void StopPedalCalibration()
{
    gCalibrating = false;
}

const pedal::Calibration& PedalCalibration()
{
    return gCalibration;
}

bool LatestPedalReading(uint32_t* reading)
{
    if (gReadingSeen)
        *reading = gLastReading;
    return gReadingSeen;
}

void LearnFootswitch(std::function<void(int32_t)> learned)
{
    gLearnButton = std::move(learned);
}

void StopLearningFootswitch()
{
    gLearnButton = nullptr;
}

bool LearningFootswitch()
{
    return bool(gLearnButton);
}

bool PedalCaptured()
{
    return gService && gService->Capturing();
}

void ReleasePedal()
{
    if (!Settings.UsingMouse && !Settings.MidiPedal && gService)
        gService->joyReleaseCapture(static_cast<uint32_t>(Settings.PedalDevice));
}
