#pragma once
// A fixed-capacity queue that any number of threads may push to and pop from without a
// lock or an allocation (Vyukov's bounded MPMC queue): each slot carries a sequence number
// that tells a pusher or a popper whether the slot is its turn. Push reports "full" instead
// of growing; the capacity is fixed before any thread uses it.

#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>

namespace thread {

template <typename T>
class BoundedQueue {
public:
    // The capacity is rounded up to a power of two. Before any thread uses the queue.
    explicit BoundedQueue(size_t capacity)
        : mask_(std::bit_ceil(capacity < 2 ? size_t(2) : capacity) - 1), slots_(new Slot[mask_ + 1])
    {
        for (size_t i = 0; i <= mask_; ++i)
            slots_[i].sequence.store(i, std::memory_order_relaxed);
    }

    // Any thread; false when full.
    bool push(const T& value)
    {
        size_t pos = tail_.load(std::memory_order_relaxed);
        for (;;) {
            Slot& s = slots_[pos & mask_];
            const size_t seq = s.sequence.load(std::memory_order_acquire);
            const auto diff = static_cast<std::ptrdiff_t>(seq) - static_cast<std::ptrdiff_t>(pos);
            if (diff == 0) {
                if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    s.value = value;
                    s.sequence.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;
            } else {
                pos = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    // Any thread; false when empty.
    bool pop(T& out)
    {
        size_t pos = head_.load(std::memory_order_relaxed);
        for (;;) {
            Slot& s = slots_[pos & mask_];
            const size_t seq = s.sequence.load(std::memory_order_acquire);
            const auto diff = static_cast<std::ptrdiff_t>(seq) - static_cast<std::ptrdiff_t>(pos + 1);
            if (diff == 0) {
                if (head_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    out = s.value;
                    s.sequence.store(pos + mask_ + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;
            } else {
                pos = head_.load(std::memory_order_relaxed);
            }
        }
    }

    size_t capacity() const { return mask_ + 1; }

private:
    struct Slot {
        std::atomic<size_t> sequence{0};
        T value{};
    };

    const size_t mask_;
    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<size_t> head_{0};
    alignas(64) std::atomic<size_t> tail_{0};
};

} // namespace thread
