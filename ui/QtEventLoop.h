#pragma once
// The joystick services' wake-ups on Qt's event loop: a descriptor through a socket
// notifier, a single shot through a timer.

#include "platform/joystick/Joystick.h"

class QtEventLoop final : public joystick::EventLoop {
public:
    // UI thread only (every member below too).
    std::unique_ptr<joystick::Wake> WhenReadable(int fd, std::function<void()> onReadable) override;
    std::unique_ptr<joystick::Wake> After(uint32_t ms, std::function<void()> onTime) override;
};
