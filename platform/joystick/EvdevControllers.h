#pragma once
// The system's game controllers: the evdev nodes that udev marks as joysticks (or, where udev
// cannot be asked, the readable nodes that look like one), read through libevdev, with
// udev's monitor for hot-plug.

#include "platform/joystick/EventJoystick.h"

#include <string>

struct udev;
struct udev_monitor;

namespace joystick {

class EvdevControllers final : public Controllers {
public:
    // UI thread only (every member below too).
    EvdevControllers();
    ~EvdevControllers() override;
    EvdevControllers(const EvdevControllers&) = delete;
    EvdevControllers& operator=(const EvdevControllers&) = delete;

    std::unique_ptr<Controller> Open(uint32_t index) override;
    int HotplugFd() const override;
    void TakeHotplug() override;

private:
    // The controllers' device nodes in the order they are numbered.
    std::vector<std::string> List() const;

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    // The last node that could not be opened, so that its cause is told once.
    std::string toldPath_;
    int toldErrno_ = 0;
};

} // namespace joystick
