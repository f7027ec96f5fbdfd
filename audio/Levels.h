#pragma once
// The loudest sample of the blocks that went by, from the audio thread to the meters: the
// capture callback folds each block in, the UI takes what gathered since its last look. A
// sample at either rail marks a clip, which stays until the UI takes it.

#include "platform/thread/Doorbell.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

class PeakLevel {
public:
    // Called on the capture callback thread.
    void feed(const int16_t* samples, int32_t count);
    // The largest magnitude fed since the last take (0 to 32768). UI thread only.
    uint32_t takePeak() { return peak_.exchange(0, std::memory_order_relaxed); }
    // Whether a sample reached full scale since the last take. UI thread only.
    bool takeClip() { return clipped_.exchange(false, std::memory_order_relaxed); }
    // Rings `sound` once, at the next block loud enough to show, so that a screen at rest
    // need not look. UI thread only.
    void watch(thread::Doorbell* sound)
    {
        sound_ = sound;
        watching_.store(true, std::memory_order_release);
    }

private:
    // The quietest peak a meter shows above its floor of -60 dBFS.
    static constexpr uint32_t kAudible = 33;

    std::atomic<uint32_t> peak_{0};
    std::atomic<bool> clipped_{false};
    std::atomic<bool> watching_{false};
    thread::Doorbell* sound_ = nullptr;
};

inline void PeakLevel::feed(const int16_t* samples, int32_t count)
{
    uint32_t block = 0;
    for (int32_t i = 0; i < count; ++i) {
        const auto magnitude = static_cast<uint32_t>(std::abs(int32_t(samples[i])));
        block = magnitude > block ? magnitude : block;
    }
    if (block >= 32767)
        clipped_.store(true, std::memory_order_relaxed);
    if (block >= kAudible && watching_.load(std::memory_order_relaxed) && watching_.exchange(false))
        sound_->ring();
    // Only the UI's take competes, and only by setting zero: the loop ends by the second turn.
    uint32_t seen = peak_.load(std::memory_order_relaxed);
    while (block > seen && !peak_.compare_exchange_weak(seen, block, std::memory_order_relaxed)) {
    }
}
