#pragma once
// A wake-up that a realtime thread may give: ring() is one non-blocking write to an eventfd,
// never a lock or an allocation. The waiting side blocks in wait() or watches fd() from an
// event loop. Rings before a wait are not lost; several rings may wake it once.

#include <chrono>

namespace thread {

class Doorbell {
public:
    Doorbell();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    // Any thread, realtime ones included.
    void ring();
    // Blocks until rung or until the timeout passes; true when rung. Clears the rings.
    // Called on the waiting thread.
    bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
    // Clears the rings without waiting. Called on the waiting thread.
    void clear();
    // For an event loop to watch for reading; -1 when the system refused one.
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

} // namespace thread
