#include "platform/thread/Doorbell.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace thread {
namespace {

// Only when the system refused an eventfd: the waiter then looks this often.
constexpr auto kFallbackLook = std::chrono::milliseconds(1);

} // namespace

Doorbell::Doorbell() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Doorbell::~Doorbell()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void Doorbell::ring()
{
    if (fd_ < 0)
        return;
    const uint64_t one = 1;
    // EAGAIN means the counter is already far from zero: the waiter is woken anyway.
    [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

void Doorbell::clear()
{
    if (fd_ < 0)
        return;
    uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
}

bool Doorbell::wait(std::chrono::milliseconds timeout)
{
    if (fd_ < 0) {
        std::this_thread::sleep_for(timeout.count() < 0 ? kFallbackLook : std::min(timeout, kFallbackLook));
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    int r = 0;
    do {
        r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    clear();
    return true;
}

} // namespace thread
