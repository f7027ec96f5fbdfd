#pragma once
// The joystick service the pedal is written against: capture a joystick for a window, which
// then receives a movement message whenever a position changed (X in the low half and Y in
// the high half of lParam for the MOVE messages, Z in the low half for the ZMOVE messages).

#include <cstdint>
#include <functional>

namespace joystick {

using MMRESULT = uint32_t;
inline constexpr MMRESULT JOYERR_NOERROR = 0;
inline constexpr MMRESULT JOYERR_PARMS = 165;
inline constexpr MMRESULT JOYERR_NOCANDO = 166;
inline constexpr MMRESULT JOYERR_UNPLUGGED = 167;

inline constexpr uint32_t MM_JOY1MOVE = 0x3A0;
inline constexpr uint32_t MM_JOY2MOVE = 0x3A1;
inline constexpr uint32_t MM_JOY1ZMOVE = 0x3A2;
inline constexpr uint32_t MM_JOY2ZMOVE = 0x3A3;
inline constexpr uint32_t MM_JOY1BUTTONDOWN = 0x3B5;

// The part of the capability record the pedal reads.
struct JOYCAPS {
    uint32_t wXmin = 0;
    uint32_t wXmax = 0;
};

// A hidden window: all it does is run its procedure for the messages sent to it.
struct Window {
    std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)> procedure;
};

// What a window procedure gives back for a message it does not handle.
intptr_t DefWindowProc(const Window& window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// UI thread only, every call; the movement messages are sent on the UI thread too.
class JoystickService {
public:
    virtual ~JoystickService() = default;
    virtual MMRESULT joySetCapture(Window* window, uint32_t id, uint32_t periodMs, bool changedOnly) = 0;
    virtual MMRESULT joySetThreshold(uint32_t id, uint32_t threshold) = 0;
    virtual MMRESULT joyGetDevCaps(uint32_t id, JOYCAPS* caps) = 0;
    virtual MMRESULT joyReleaseCapture(uint32_t id) = 0;
    // Reads the captured joystick and sends the messages for what changed. The program calls
    // it every capture period.
    virtual void Poll() = 0;
    // Whether a joystick is captured, so that the program polls only then.
    virtual bool Capturing() const = 0;
};

} // namespace joystick
