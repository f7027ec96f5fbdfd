#pragma once
// Game controllers whose events a test or a benchmark writes: each opened controller reads
// input_event records from a socket pair, unplugging closes its writing end (the reader sees
// the controller gone), and plugging or unplugging is told on a hot-plug socket.

#include "platform/joystick/EventJoystick.h"

#include <cstddef>

namespace joystick {

// One event record, as a controller writes it.
input_event InputEvent(uint16_t type, uint16_t code, int32_t value);

class FedControllers final : public Controllers {
public:
    // withHotplug false: plugging is never told, the service has to look again by itself.
    // Any thread, but one at a time.
    explicit FedControllers(bool withHotplug = true);
    ~FedControllers() override;
    FedControllers(const FedControllers&) = delete;
    FedControllers& operator=(const FedControllers&) = delete;

    std::unique_ptr<Controller> Open(uint32_t index) override;
    int HotplugFd() const override { return hotplugRead_; }
    void TakeHotplug() override;

    // Plugs a controller in at the end of the list and gives back its number.
    size_t Plug(std::vector<AxisInfo> axes, std::vector<uint16_t> buttons = {});
    // Unplugs a controller: its reader sees it gone and the later ones move up.
    void Unplug(size_t index);
    // Writes events to the controller's reader (nothing when it is not open).
    void Send(size_t index, const std::vector<input_event>& events);
    // One axis moved, as one frame.
    void Move(size_t index, uint16_t code, int32_t value);
    // A button pressed and let go, as two frames.
    void Press(size_t index, uint16_t code);
    // How many times a controller was opened.
    size_t opens() const { return opens_; }

private:
    struct Slot {
        std::vector<AxisInfo> axes;
        std::vector<uint16_t> buttons;
        int writer = -1; // the writing end its latest reader reads from
    };
    void TellHotplug();

    std::vector<Slot> slots_;
    int hotplugRead_ = -1;
    int hotplugWrite_ = -1;
    size_t opens_ = 0;
};

} // namespace joystick
