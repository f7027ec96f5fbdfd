#pragma once
// Hands the latest of a stream of values from one writer thread to one reader thread.
// Neither side ever waits: the writer publishes into a spare slot (a triple buffer), the
// reader takes the newest published slot when there is one. Values in between are dropped,
// which is what a label wants: it must end up showing the latest text.

#include <array>
#include <atomic>
#include <cstdint>
#include <type_traits>

namespace thread {

template <typename T>
class LatestValue {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Called on the writer thread only.
    void publish(const T& value)
    {
        slots_[back_] = value;
        const auto previous = middle_.exchange(static_cast<uint8_t>(back_ | kFresh), std::memory_order_acq_rel);
        back_ = previous & kIndexMask;
    }

    // Copies the newest value into out when one arrived since the last take.
    // Called on the reader thread only.
    bool take(T& out)
    {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0)
            return false;
        const auto previous = middle_.exchange(static_cast<uint8_t>(front_), std::memory_order_acq_rel);
        front_ = previous & kIndexMask;
        out = slots_[front_];
        return true;
    }

private:
    static constexpr uint8_t kFresh = 0x4;
    static constexpr uint8_t kIndexMask = 0x3;

    std::array<T, 3> slots_{};
    std::atomic<uint8_t> middle_{1};
    uint8_t back_ = 0;  // the writer's own
    uint8_t front_ = 2; // the reader's own
};

// A label's text, short enough to live in a fixed array.
struct LabelText {
    std::array<char, 64> chars{};
    const char* c_str() const { return chars.data(); }
};

} // namespace thread
