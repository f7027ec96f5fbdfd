#pragma once
// The stream's capture buffers, allocated once when the stream opens so that the audio
// callbacks never allocate: a buffer is taken from the pool for every capture block and
// given back when played. Only when more are alive than the pool holds (an output that has
// stalled for a long time), or a block is longer than the pool's, does a buffer come from
// the heap, and then it goes back to the heap.

#include "platform/thread/BoundedQueue.h"
#include "platform/wave/Wave.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class BufferPool {
public:
    // Allocates `count` buffers of `length` bytes. UI thread only, before the stream starts.
    void reserve(uint32_t count, uint32_t length);

    // A buffer of `length` bytes with its header filled (every other field 0); its data is
    // not cleared. Any thread.
    wave::WAVEHDR* acquire(uint32_t length);
    // Gives a buffer from acquire back. Any thread.
    void release(wave::WAVEHDR* header);

    // Buffers that had to come from the heap. Any thread.
    uint64_t heapBuffers() const { return heap_.load(std::memory_order_relaxed); }

private:
    bool owns(const wave::WAVEHDR* header) const;

    uint32_t length_ = 0;
    std::vector<wave::WAVEHDR> headers_;
    // Starts aligned like any heap block; each buffer starts on an aligned stride within it.
    std::vector<char> data_;
    std::unique_ptr<thread::BoundedQueue<wave::WAVEHDR*>> free_;
    std::atomic<uint64_t> heap_{0};
};
