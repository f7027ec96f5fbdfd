#pragma once
// Keeps an output that runs on a clock of its own (SDL's playback thread, paced apart from
// its capture thread) a steady distance behind the input. Two clocks never run at quite the
// same rate: left alone, a faster output runs dry again and again, a slower one falls ever
// further behind, and the silence each dry-out plays makes the output later for good.
//
// It watches how far the output runs behind the input: the frames captured and not yet
// played, whether still in the capture's block, queued, or behind silence set ahead of them.
// That distance moves only with the two clocks (and with silence a dry-out plays), not with
// how blocks meet callbacks. Per callback it says how many queued frames to take for the
// frames the card asks: the same number while the smallest distance seen over a window stays
// near the one the output settled at, fewer (stretched over the callback) when it shrinks,
// more (squeezed) when it grows. Between corrections the samples pass untouched. A distance
// far off between windows (one clock that falls behind in a burst) is answered at once, by a
// larger stretch or squeeze. A dry-out raises the distance kept, since the output needed more
// margin than it had.

#include <atomic>
#include <cstdint>

namespace wave {

class ClockFollower {
public:
    // Starts over for an output whose card asks `periodFrames` a callback; the counts go on.
    // Before the output's thread runs.
    void restart(uint32_t periodFrames);

    // How many queued frames to take for a callback of `frames`, with `waiting` frames queued
    // ahead of it (0 while the output waits for its first block) and the output `behind` the
    // input by that many frames. Called on the playback thread.
    uint32_t take(uint32_t frames, uint32_t waiting, int64_t behind);
    // The most frames take() asks for a callback of `periodFrames`. Pure.
    static uint32_t MostFrames(uint32_t periodFrames);
    // The fewest frames take() asks for a callback of `periodFrames`. Pure.
    static uint32_t LeastFrames(uint32_t periodFrames);
    // Spreads the `got` samples at `in` over `frames` samples at `out` by linear
    // interpolation, first and last samples kept; a plain copy when the counts are equal.
    // Pure.
    static void Stretch(const int16_t* in, uint32_t got, int16_t* out, uint32_t frames);

    // Callbacks stretched or squeezed so far. Any thread.
    uint64_t adjustments() const { return adjustments_.load(std::memory_order_relaxed); }
    // Frames taken beyond those the card asked for so far (below zero: fewer). Any thread.
    int64_t taken() const { return taken_.load(std::memory_order_relaxed); }
    // The distance the output now keeps behind the input, less a callback, in frames; 0 until
    // it settled. Any thread.
    int64_t target() const { return target_.load(std::memory_order_relaxed); }

private:
    void EndWindow();

    static constexpr int kRecentWindows = 4;

    uint32_t period_ = 1;
    uint32_t windowCallbacks_ = 1;
    // A window's correction bends one callback in this many.
    uint32_t stepEvery_ = 1;
    std::atomic<uint64_t> adjustments_{0};
    std::atomic<int64_t> taken_{0};
    std::atomic<int64_t> target_{0};

    // The playback thread's own.
    bool started_ = false;
    bool settled_ = false;
    uint32_t raised_ = 0;
    uint32_t seen_ = 0;
    uint32_t sinceStep_ = 0;
    int64_t windowMin_ = INT64_MAX;
    // The smallest distances of the last few windows, the newest first.
    int64_t recent_[kRecentWindows] = {};
    bool dried_ = false;
    // Frames still to take out (> 0) or put in (< 0) over the coming callbacks.
    int64_t plan_ = 0;
    // Frames a callback is lengthened (< 0) or shortened (> 0) by while the plan lasts.
    int64_t step_ = 0;
};

} // namespace wave
