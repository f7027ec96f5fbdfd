#include "platform/joystick/FedControllers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <stdexcept>

namespace joystick {
namespace {

// A connected pair with a non-blocking reading end: closing the writing end reads as the end
// of the stream. A failure here is the test machine's, not a case.
std::array<int, 2> Pipe()
{
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 || fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0)
        throw std::runtime_error("socketpair");
    return {ends[0], ends[1]};
}

// A reader that was closed (the capture released) takes nothing, without a signal.
void WriteAll(int fd, const void* data, size_t size)
{
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n != ssize_t(size) && !(n < 0 && errno == EPIPE))
        throw std::runtime_error("send");
}

class FedController final : public Controller {
public:
    FedController(int fd, std::vector<AxisInfo> axes, std::vector<uint16_t> buttons)
        : fd_(fd), axes_(std::move(axes)), buttons_(std::move(buttons))
    {
    }
    ~FedController() override { close(fd_); }
    FedController(const FedController&) = delete;
    FedController& operator=(const FedController&) = delete;

    int Fd() const override { return fd_; }
    std::vector<AxisInfo> Axes() const override { return axes_; }
    std::vector<uint16_t> Buttons() const override { return buttons_; }
    Next Read(input_event& event) override
    {
        const ssize_t n = read(fd_, &event, sizeof event);
        if (n == ssize_t(sizeof event))
            return Next::Event;
        if (n < 0 && errno == EAGAIN)
            return Next::Empty;
        return Next::Gone;
    }

private:
    int fd_ = -1;
    std::vector<AxisInfo> axes_;
    std::vector<uint16_t> buttons_;
};

} // namespace

input_event InputEvent(uint16_t type, uint16_t code, int32_t value)
{
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

FedControllers::FedControllers(bool withHotplug)
{
    if (withHotplug) {
        const auto ends = Pipe();
        hotplugRead_ = ends[0];
        hotplugWrite_ = ends[1];
    }
}

FedControllers::~FedControllers()
{
    for (const Slot& slot : slots_)
        if (slot.writer >= 0)
            close(slot.writer);
    if (hotplugRead_ >= 0) {
        close(hotplugRead_);
        close(hotplugWrite_);
    }
}

std::unique_ptr<Controller> FedControllers::Open(uint32_t index)
{
    if (index >= slots_.size())
        return nullptr;
    ++opens_;
    Slot& slot = slots_[index];
    if (slot.writer >= 0)
        close(slot.writer);
    const auto ends = Pipe();
    slot.writer = ends[1];
    return std::make_unique<FedController>(ends[0], slot.axes, slot.buttons);
}

void FedControllers::TakeHotplug()
{
    char bytes[64];
    while (hotplugRead_ >= 0 && read(hotplugRead_, bytes, sizeof bytes) > 0) {
    }
}

size_t FedControllers::Plug(std::vector<AxisInfo> axes, std::vector<uint16_t> buttons)
{
    slots_.push_back({std::move(axes), std::move(buttons)});
    TellHotplug();
    return slots_.size() - 1;
}

void FedControllers::Unplug(size_t index)
{
    if (slots_.at(index).writer >= 0)
        close(slots_[index].writer);
    slots_.erase(slots_.begin() + ptrdiff_t(index));
    TellHotplug();
}

void FedControllers::Send(size_t index, const std::vector<input_event>& events)
{
    Slot& slot = slots_.at(index);
    for (const input_event& event : events)
        if (event.type == EV_ABS)
            for (AxisInfo& axis : slot.axes)
                if (axis.code == event.code)
                    axis.value = event.value;
    if (slot.writer >= 0)
        WriteAll(slot.writer, events.data(), events.size() * sizeof(input_event));
}

void FedControllers::Move(size_t index, uint16_t code, int32_t value)
{
    Send(index, {InputEvent(EV_ABS, code, value), InputEvent(EV_SYN, SYN_REPORT, 0)});
}

void FedControllers::Press(size_t index, uint16_t code)
{
    Send(index, {InputEvent(EV_KEY, code, 1), InputEvent(EV_SYN, SYN_REPORT, 0), InputEvent(EV_KEY, code, 0),
                 InputEvent(EV_SYN, SYN_REPORT, 0)});
}

void FedControllers::TellHotplug()
{
    const char byte = 1;
    if (hotplugWrite_ >= 0)
        WriteAll(hotplugWrite_, &byte, 1);
}

} // namespace joystick
