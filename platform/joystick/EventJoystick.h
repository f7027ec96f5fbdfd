#pragma once
// The joystick service over input events: the captured controller's descriptor and the
// hot-plug descriptor wake the UI thread when something came, so a pedal at rest costs
// nothing. The controllers themselves sit behind a seam: the system's evdev devices, or
// descriptors a test feeds.

#include "platform/joystick/Joystick.h"

#include <linux/input.h>

#include <array>
#include <optional>
#include <vector>

namespace joystick {

// One absolute axis: its event code, its range and where it stands.
struct AxisInfo {
    uint16_t code = 0;
    int32_t min = 0;
    int32_t max = 0;
    int32_t value = 0;
};

// One opened game controller.
class Controller {
public:
    virtual ~Controller() = default;
    // The descriptor that becomes readable when events came.
    virtual int Fd() const = 0;
    // Its stick and pedal axes in code order: the first is axis 0 (X), then 1 (Y), 2 (Z).
    virtual std::vector<AxisInfo> Axes() const = 0;
    // Its buttons' key codes, in the order they are numbered from 1.
    virtual std::vector<uint16_t> Buttons() const = 0;
    enum class Next { Event, Empty, Gone };
    // The next event that came, without waiting; Gone once the controller was unplugged.
    virtual Next Read(input_event& event) = 0;
};

// The system's game controllers, numbered from 0 in the order the system lists them.
class Controllers {
public:
    virtual ~Controllers() = default;
    // Null when no controller has that number (or it cannot be opened).
    virtual std::unique_ptr<Controller> Open(uint32_t index) = 0;
    // Readable when a controller was plugged or unplugged; -1 when that cannot be watched.
    virtual int HotplugFd() const = 0;
    // Takes what the hot-plug descriptor has to say.
    virtual void TakeHotplug() = 0;
};

// An axis value within its range as a reading 0..65535: the range spread over the signed
// 16-bit span, plus 32768. A range of one value reads as the centre.
uint32_t ReadingFromAxis(int32_t value, int32_t min, int32_t max);

class EventJoystickService final : public CaptureService {
public:
    // UI thread only (every member below too).
    EventJoystickService(EventLoop& loop, Controllers& controllers);
    ~EventJoystickService() override;
    EventJoystickService(const EventJoystickService&) = delete;
    EventJoystickService& operator=(const EventJoystickService&) = delete;

    MMRESULT joySetCapture(Window* window, uint32_t id, uint32_t periodMs, bool changedOnly) override;
    MMRESULT joyReleaseCapture(uint32_t id) override;
    // Whether the captured controller is plugged in.
    bool Present() const { return device_ != nullptr; }

private:
    uint32_t ButtonCount() const override { return device_ ? uint32_t(buttons_.size()) : 0; }
    void Attach(std::unique_ptr<Controller> device);
    void Detach();
    void OnReadable();
    void Handle(const input_event& event);
    void SendChanges();
    void OnHotplug();
    void LookAgain();

    EventLoop& loop_;
    Controllers& controllers_;
    std::unique_ptr<Controller> device_;
    std::unique_ptr<Wake> deviceWake_;
    std::unique_ptr<Wake> hotplugWake_;
    std::unique_ptr<Wake> retryWake_;
    // X, Y, Z: their codes and ranges, the readings as they stand and as last sent.
    std::array<std::optional<AxisInfo>, 3> axes_{};
    std::array<uint32_t, 3> now_{};
    std::array<uint32_t, 3> sent_{};
    std::vector<uint16_t> buttons_;
    // Changes whenever the device or the capture changes, so that a read loop whose window
    // procedure released the capture stops at once.
    uint64_t generation_ = 0;
};

} // namespace joystick
