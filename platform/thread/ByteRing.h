#pragma once
// A single-producer, single-consumer ring of variable-length records (a length, then the
// bytes), sized once. push() never blocks, never allocates and reports "full" by returning
// false; the record is then not stored at all. One thread pushes; one thread at a time
// pops (a consumer may change when a lock hands the role over).

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace thread {

class ByteRing {
public:
    // Room for `bytes` of records. Before either side uses it.
    explicit ByteRing(size_t bytes) : data_(std::bit_ceil(bytes < 64 ? size_t(64) : bytes)), mask_(data_.size() - 1) {}

    // Called on the producer thread.
    bool push(const void* bytes, uint32_t length)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        if (data_.size() - (tail - head) < sizeof length + length)
            return false;
        copyIn(tail, &length, sizeof length);
        copyIn(tail + sizeof length, bytes, length);
        tail_.store(tail + sizeof length + length, std::memory_order_release);
        return true;
    }

    // The oldest record into out (resized to it); false when empty.
    // Called on the consumer thread; out should be reserved so that it never grows here.
    bool pop(std::vector<uint8_t>& out)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (tail_.load(std::memory_order_acquire) == head)
            return false;
        uint32_t length = 0;
        copyOut(head, &length, sizeof length);
        out.resize(length);
        copyOut(head + sizeof length, out.data(), length);
        head_.store(head + sizeof length + length, std::memory_order_release);
        return true;
    }

private:
    void copyIn(size_t at, const void* src, size_t n)
    {
        const size_t i = at & mask_;
        const size_t first = std::min(n, data_.size() - i);
        std::memcpy(&data_[i], src, first);
        std::memcpy(data_.data(), static_cast<const uint8_t*>(src) + first, n - first);
    }
    void copyOut(size_t at, void* dst, size_t n) const
    {
        const size_t i = at & mask_;
        const size_t first = std::min(n, data_.size() - i);
        std::memcpy(dst, &data_[i], first);
        std::memcpy(static_cast<uint8_t*>(dst) + first, data_.data(), n - first);
    }

    std::vector<uint8_t> data_;
    const size_t mask_;
    alignas(64) std::atomic<size_t> head_{0};
    alignas(64) std::atomic<size_t> tail_{0};
};

} // namespace thread
