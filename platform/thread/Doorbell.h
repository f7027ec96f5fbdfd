#pragma once
// A wake-up that a realtime thread may give: ring() is one non-blocking write to an eventfd,
// never a lock or an allocation. The waiting side blocks in wait() or watches fd() from an
// event loop. Rings before a wait are not lost; several rings may wake it once.

#include <atomic>
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

// Rings a doorbell once, at the first news after a watch: the waiting side asks for it when
// it stops looking by itself, and whichever thread has news tells it. Without a watch a
// telling costs one load.
class NewsBell {
public:
    // The doorbell must outlive every telling. Called on the waiting thread.
    void watch(Doorbell* bell) { bell_.store(bell, std::memory_order_release); }
    // Any thread, realtime ones included: one exchange and one write, no lock.
    void tell()
    {
        if (bell_.load(std::memory_order_relaxed) == nullptr)
            return;
        if (Doorbell* bell = bell_.exchange(nullptr, std::memory_order_acq_rel))
            bell->ring();
    }

private:
    std::atomic<Doorbell*> bell_{nullptr};
};

} // namespace thread
