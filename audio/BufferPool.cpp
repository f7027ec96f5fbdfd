#include "audio/BufferPool.h"

#include <cstddef>

using wave::WAVEHDR;

namespace {

// Every block starts aligned, whatever its length: the filter reads it as 16-bit samples.
constexpr size_t kAlignment = alignof(std::max_align_t);

size_t Stride(uint32_t length) { return (size_t(length) + kAlignment - 1) / kAlignment * kAlignment; }

} // namespace

void BufferPool::reserve(uint32_t count, uint32_t length)
{
    length_ = length;
    headers_.assign(count, WAVEHDR{});
    data_.assign(size_t(count) * Stride(length), 0);
    free_ = std::make_unique<thread::BoundedQueue<WAVEHDR*>>(count);
    for (uint32_t i = 0; i < count; ++i) {
        headers_[i].lpData = data_.data() + size_t(i) * Stride(length);
        free_->push(&headers_[i]);
    }
}

bool BufferPool::owns(const WAVEHDR* h) const
{
    return !headers_.empty() && h >= headers_.data() && h < headers_.data() + headers_.size();
}

WAVEHDR* BufferPool::acquire(uint32_t length)
{
    WAVEHDR* h = nullptr;
    if (length <= length_ && free_ && free_->pop(h)) {
        char* data = h->lpData;
        *h = WAVEHDR{};
        h->lpData = data;
        h->dwBufferLength = length;
        return h;
    }
    heap_.fetch_add(1, std::memory_order_relaxed);
    h = new WAVEHDR{};
    h->lpData = new char[length];
    h->dwBufferLength = length;
    return h;
}

void BufferPool::release(WAVEHDR* h)
{
    if (owns(h)) {
        // Cannot be full: the pool holds no more buffers than it made.
        free_->push(h);
        return;
    }
    delete[] h->lpData;
    delete h;
}
