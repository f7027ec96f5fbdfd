#include "platform/joystick/EventJoystick.h"

#include <algorithm>

namespace joystick {
namespace {

// Without hot-plug notices an unplugged pedal is looked for this often; with them, once at
// the notice and once more after this while the system may still be setting the device up.
constexpr uint32_t kLookAgainMs = 400;
// A flood of events is read in slices, so the rest of the UI gets its turn between them.
constexpr int kEventsPerWake = 256;
constexpr uint32_t kCentre = uint32_t(kAxisOffset);

intptr_t Halves(uint32_t low, uint32_t high)
{
    return intptr_t(low | (high << 16));
}

} // namespace

uint32_t ReadingFromAxis(int32_t value, int32_t min, int32_t max)
{
    if (max <= min)
        return kCentre;
    const int64_t span = int64_t(max) - min;
    const int64_t from = std::clamp<int64_t>(int64_t(value) - min, 0, span);
    // Rounded to nearest: both ends of the range land on 0 and 65535.
    return uint32_t((from * 2 * kReadingMax + span) / (2 * span));
}

EventJoystickService::EventJoystickService(EventLoop& loop, Controllers& controllers)
    : loop_(loop), controllers_(controllers)
{
}

EventJoystickService::~EventJoystickService() = default;

MMRESULT EventJoystickService::joySetCapture(Window* window, uint32_t id, uint32_t, bool)
{
    if (!window || id >= kMaxJoysticks)
        return JOYERR_PARMS;
    if (window_)
        return JOYERR_NOCANDO;
    std::unique_ptr<Controller> device = controllers_.Open(id);
    if (!device)
        return JOYERR_UNPLUGGED;
    window_ = window;
    id_ = id;
    Attach(std::move(device));
    // Only changes from here on are reported: where the pedal rests at start says nothing.
    sent_ = now_;
    if (controllers_.HotplugFd() >= 0)
        hotplugWake_ = loop_.WhenReadable(controllers_.HotplugFd(), [this] { OnHotplug(); });
    return JOYERR_NOERROR;
}

MMRESULT EventJoystickService::joyReleaseCapture(uint32_t id)
{
    if (!window_ || id != id_)
        return JOYERR_PARMS;
    Detach();
    hotplugWake_.reset();
    retryWake_.reset();
    window_ = nullptr;
    return JOYERR_NOERROR;
}

void EventJoystickService::Attach(std::unique_ptr<Controller> device)
{
    ++generation_;
    retryWake_.reset();
    device_ = std::move(device);
    const std::vector<AxisInfo> axes = device_->Axes();
    for (size_t i = 0; i < axes_.size(); ++i) {
        axes_[i] = i < axes.size() ? std::optional<AxisInfo>(axes[i]) : std::nullopt;
        now_[i] = axes_[i] ? ReadingFromAxis(axes[i].value, axes[i].min, axes[i].max) : kCentre;
    }
    buttons_ = device_->Buttons();
    deviceWake_ = loop_.WhenReadable(device_->Fd(), [this] { OnReadable(); });
}

void EventJoystickService::Detach()
{
    ++generation_;
    deviceWake_.reset();
    device_.reset();
}

void EventJoystickService::OnReadable()
{
    const uint64_t generation = generation_;
    input_event event{};
    for (int i = 0; i < kEventsPerWake; ++i) {
        switch (device_->Read(event)) {
        case Controller::Next::Empty:
            return;
        case Controller::Next::Gone:
            // Unplugged: the depth stays where it was until the pedal comes back.
            Detach();
            if (controllers_.HotplugFd() < 0)
                retryWake_ = loop_.After(kLookAgainMs, [this] { LookAgain(); });
            return;
        case Controller::Next::Event:
            Handle(event);
            if (generation != generation_)
                return;
            break;
        }
    }
}

void EventJoystickService::Handle(const input_event& event)
{
    switch (event.type) {
    case EV_ABS:
        for (size_t i = 0; i < axes_.size(); ++i)
            if (axes_[i] && axes_[i]->code == event.code)
                now_[i] = ReadingFromAxis(event.value, axes_[i]->min, axes_[i]->max);
        break;
    case EV_SYN:
        // A frame is complete: its axes are sent together.
        if (event.code == SYN_REPORT)
            SendChanges();
        break;
    case EV_KEY: {
        const auto found = std::find(buttons_.begin(), buttons_.end(), event.code);
        if (event.value == 1 && found != buttons_.end())
            window_->procedure(MessagesFor(id_).buttonDown, uintptr_t(found - buttons_.begin() + 1),
                               Halves(sent_[0], sent_[1]));
        break;
    }
    default:
        break;
    }
}

void EventJoystickService::SendChanges()
{
    const uint64_t generation = generation_;
    const MessageIds ids = MessagesFor(id_);
    if (now_[0] != sent_[0] || now_[1] != sent_[1]) {
        sent_[0] = now_[0];
        sent_[1] = now_[1];
        window_->procedure(ids.move, 0, Halves(now_[0], now_[1]));
    }
    // The procedure may have released the capture.
    if (generation == generation_ && now_[2] != sent_[2]) {
        sent_[2] = now_[2];
        window_->procedure(ids.zmove, 0, intptr_t(now_[2]));
    }
}

void EventJoystickService::OnHotplug()
{
    controllers_.TakeHotplug();
    if (device_)
        return;
    LookAgain();
    // The device may be listed before it can be opened; one more look once it settled.
    if (!device_)
        retryWake_ = loop_.After(kLookAgainMs, [this] { LookAgain(); });
}

void EventJoystickService::LookAgain()
{
    if (device_ || !window_)
        return;
    std::unique_ptr<Controller> device = controllers_.Open(id_);
    if (!device) {
        if (controllers_.HotplugFd() < 0)
            retryWake_ = loop_.After(kLookAgainMs, [this] { LookAgain(); });
        return;
    }
    Attach(std::move(device));
    // Back: where the pedal stands now is sent at once.
    sent_ = {~0u, ~0u, ~0u};
    SendChanges();
}

} // namespace joystick
