#pragma once
// The joystick service the pedal is written against: capture a joystick for a window, which
// then receives a movement message whenever a position changed (X in the low half and Y in
// the high half of lParam for the MOVE messages, Z in the low half for the ZMOVE messages),
// and a button message when a button goes down (wParam: its number, from 1).

#include <cstdint>
#include <functional>
#include <memory>

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
inline constexpr uint32_t MM_JOY2BUTTONDOWN = 0x3B6;

// A reading is unsigned 16-bit: a signed axis value v in -32768..32767 reads v + 32768.
inline constexpr int32_t kAxisOffset = 32768;
inline constexpr uint32_t kReadingMax = 65535;
// The capture ids the services answer; a larger one is a parameter error.
inline constexpr uint32_t kMaxJoysticks = 16;

// The part of the capability record the pedal reads.
struct JOYCAPS {
    uint32_t wXmin = 0;
    uint32_t wXmax = 0;
    // The captured controller's buttons; 0 when not known (none plugged in at the moment).
    uint32_t wNumButtons = 0;
};

// A hidden window: all it does is run its procedure for the messages sent to it.
struct Window {
    std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)> procedure;
};

// What a window procedure gives back for a message it does not handle.
intptr_t DefWindowProc(const Window& window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// The message ids for the joystick captured on an id: the second joystick's own, else the first's.
struct MessageIds {
    uint32_t move, zmove, buttonDown;
};
MessageIds MessagesFor(uint32_t id);

// UI thread only, every call; the messages are sent on the UI thread too, when the
// joystick's events come (nothing is read on a timer).
class JoystickService {
public:
    virtual ~JoystickService() = default;
    virtual MMRESULT joySetCapture(Window* window, uint32_t id, uint32_t periodMs, bool changedOnly) = 0;
    virtual MMRESULT joySetThreshold(uint32_t id, uint32_t threshold) = 0;
    virtual MMRESULT joyGetDevCaps(uint32_t id, JOYCAPS* caps) = 0;
    virtual MMRESULT joyReleaseCapture(uint32_t id) = 0;
    // Whether a joystick is captured.
    virtual bool Capturing() const = 0;
};

// What the services here share: the capture's window and id, the threshold (every change is
// reported) and the capabilities (every axis spread over 0..65535, whatever the device's own
// range).
class CaptureService : public JoystickService {
public:
    MMRESULT joySetThreshold(uint32_t id, uint32_t threshold) override;
    MMRESULT joyGetDevCaps(uint32_t id, JOYCAPS* caps) override;
    bool Capturing() const override { return window_ != nullptr; }

protected:
    // How many buttons the captured controller has; 0 when not known.
    virtual uint32_t ButtonCount() const { return 0; }

    Window* window_ = nullptr;
    uint32_t id_ = 0;
};

// What an event loop holds for one wake-up; dropping it ends the wake-ups.
class Wake {
public:
    virtual ~Wake() = default;
};

// The seam through which a service is woken on the UI thread: the UI layer runs it on its
// event loop, tests script it. A callback may drop its own Wake.
class EventLoop {
public:
    virtual ~EventLoop() = default;
    // UI thread only: onReadable runs each time fd has something to read.
    virtual std::unique_ptr<Wake> WhenReadable(int fd, std::function<void()> onReadable) = 0;
    // UI thread only: onTime runs once, ms milliseconds from now.
    virtual std::unique_ptr<Wake> After(uint32_t ms, std::function<void()> onTime) = 0;
};

} // namespace joystick
