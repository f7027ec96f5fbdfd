#include "platform/joystick/EvdevControllers.h"

#include "platform/report/Report.h"

#include <libevdev/libevdev.h>
#include <libudev.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace joystick {
namespace {

constexpr const char* kInputDir = "/dev/input";
constexpr const char* kEventPrefix = "event";
constexpr const char* kSubsystem = "input";
constexpr const char* kJoystickProperty = "ID_INPUT_JOYSTICK";

// The node's number: event3 is 3, so that event10 follows event9.
long NodeNumber(const std::string& path)
{
    const auto name = std::filesystem::path(path).filename().string();
    if (name.rfind(kEventPrefix, 0) != 0)
        return -1;
    return std::strtol(name.c_str() + std::strlen(kEventPrefix), nullptr, 10);
}

bool IsHat(unsigned code)
{
    return code >= ABS_HAT0X && code <= ABS_HAT3Y;
}

bool HasJoystickButton(const libevdev* dev)
{
    for (unsigned code = BTN_JOYSTICK; code < BTN_DIGI; ++code)
        if (libevdev_has_event_code(dev, EV_KEY, code))
            return true;
    return false;
}

class EvdevController final : public Controller {
public:
    EvdevController(int fd, libevdev* dev) : fd_(fd), dev_(dev) {}
    ~EvdevController() override
    {
        libevdev_free(dev_);
        close(fd_);
    }
    EvdevController(const EvdevController&) = delete;
    EvdevController& operator=(const EvdevController&) = delete;

    int Fd() const override { return fd_; }

    std::vector<AxisInfo> Axes() const override
    {
        std::vector<AxisInfo> axes;
        for (unsigned code = ABS_X; code < ABS_MISC; ++code) {
            if (IsHat(code) || !libevdev_has_event_code(dev_, EV_ABS, code))
                continue;
            const input_absinfo* info = libevdev_get_abs_info(dev_, code);
            if (info)
                axes.push_back({uint16_t(code), info->minimum, info->maximum, info->value});
        }
        return axes;
    }

    std::vector<uint16_t> Buttons() const override
    {
        // The joystick and gamepad buttons first, then the miscellaneous ones below them.
        std::vector<uint16_t> buttons;
        for (unsigned code = BTN_JOYSTICK; code < KEY_MAX; ++code)
            if (libevdev_has_event_code(dev_, EV_KEY, code))
                buttons.push_back(uint16_t(code));
        for (unsigned code = BTN_MISC; code < BTN_JOYSTICK; ++code)
            if (libevdev_has_event_code(dev_, EV_KEY, code))
                buttons.push_back(uint16_t(code));
        return buttons;
    }

    Next Read(input_event& event) override
    {
        // After events were dropped, libevdev hands out the differences to the device's
        // state as ordinary events ending in a report, then reading goes on as usual.
        const unsigned flag = syncing_ ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL;
        const int rc = libevdev_next_event(dev_, flag, &event);
        if (rc == LIBEVDEV_READ_STATUS_SYNC) {
            syncing_ = true;
            return Next::Event;
        }
        if (rc == LIBEVDEV_READ_STATUS_SUCCESS)
            return Next::Event;
        if (rc == -EAGAIN) {
            if (!syncing_)
                return Next::Empty;
            syncing_ = false;
            return Read(event);
        }
        // ENODEV when unplugged; any other error leaves the device as unusable as that.
        return Next::Gone;
    }

private:
    int fd_ = -1;
    libevdev* dev_ = nullptr;
    bool syncing_ = false;
};

} // namespace

EvdevControllers::EvdevControllers()
{
    udev_ = udev_new();
    if (!udev_)
        return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, kSubsystem, nullptr) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

EvdevControllers::~EvdevControllers()
{
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

int EvdevControllers::HotplugFd() const
{
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

void EvdevControllers::TakeHotplug()
{
    if (!monitor_)
        return;
    while (udev_device* device = udev_monitor_receive_device(monitor_))
        udev_device_unref(device);
}

std::vector<std::string> EvdevControllers::List() const
{
    std::vector<std::string> nodes;
    if (udev_) {
        udev_enumerate* list = udev_enumerate_new(udev_);
        if (list && udev_enumerate_add_match_subsystem(list, kSubsystem) >= 0 &&
            udev_enumerate_add_match_property(list, kJoystickProperty, "1") >= 0 &&
            udev_enumerate_scan_devices(list) >= 0) {
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list))
            {
                udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
                if (!device)
                    continue;
                if (const char* node = udev_device_get_devnode(device); node && NodeNumber(node) >= 0)
                    nodes.emplace_back(node);
                udev_device_unref(device);
            }
        }
        if (list)
            udev_enumerate_unref(list);
    }
    if (nodes.empty()) {
        // No udev database (a container, a system without udev): the readable nodes that
        // have absolute axes and joystick buttons.
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(kInputDir, error)) {
            const std::string path = entry.path().string();
            if (NodeNumber(path) < 0)
                continue;
            const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            libevdev* dev = nullptr;
            if (libevdev_new_from_fd(fd, &dev) == 0) {
                if (libevdev_has_event_type(dev, EV_ABS) && HasJoystickButton(dev))
                    nodes.push_back(path);
                libevdev_free(dev);
            }
            close(fd);
        }
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const std::string& a, const std::string& b) { return NodeNumber(a) < NodeNumber(b); });
    return nodes;
}

std::unique_ptr<Controller> EvdevControllers::Open(uint32_t index)
{
    const std::vector<std::string> nodes = List();
    if (index >= nodes.size())
        return nullptr;
    const std::string& path = nodes[index];
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int failure = fd < 0 ? errno : 0;
    libevdev* dev = nullptr;
    if (fd >= 0) {
        const int rc = libevdev_new_from_fd(fd, &dev);
        if (rc < 0) {
            failure = -rc;
            close(fd);
        }
    }
    if (failure) {
        // Said once per cause on standard error: the box the caller shows cannot know why.
        if (path != toldPath_ || failure != toldErrno_)
            report::Warning("Could not open the joystick " + path + ": " + std::strerror(failure));
        toldPath_ = path;
        toldErrno_ = failure;
        return nullptr;
    }
    toldPath_.clear();
    toldErrno_ = 0;
    return std::make_unique<EvdevController>(fd, dev);
}

} // namespace joystick
