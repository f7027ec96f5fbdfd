#pragma once
// Tells the silence a sound server played for an output it pulls through a library that does
// not say so (SDL): the server asks for as many frames as it plays, so over time the frames
// the output's callbacks were asked for keep pace with the clock, less a distance that wobbles
// with wake-ups. When the server ran dry and played silence, it asks that much less from then
// on: the distance steps up and stays there. A step of a silence's length that lasts two
// windows is counted; a late wake-up that the following callbacks make up is not, and two
// clocks that part slowly move the distance kept with them.

#include <atomic>
#include <cstdint>

namespace wave {

class PaceWatch {
public:
    // The shortest silence counted, in frames.
    static constexpr uint32_t kSilenceFrames = 48;

    // Starts over for an output at `rate`; the counts go on. Before the output's thread runs.
    void restart(uint32_t rate);
    // A callback at `nowNs` (a steady clock) asked for `frames`. Called on the playback thread.
    void asked(uint64_t nowNs, uint32_t frames);

    // Silences found so far, and their frames. Any thread.
    uint64_t silences() const { return silences_.load(std::memory_order_relaxed); }
    uint64_t silentFrames() const { return silentFrames_.load(std::memory_order_relaxed); }

private:
    uint32_t rate_ = 0;
    std::atomic<uint64_t> silences_{0};
    std::atomic<uint64_t> silentFrames_{0};

    // The playback thread's own.
    bool started_ = false;
    uint64_t startNs_ = 0;
    uint64_t askedFrames_ = 0;
    uint64_t windowEndNs_ = 0;
    uint32_t windows_ = 0;
    int64_t windowMin_ = INT64_MAX;
    int64_t lastMin_ = INT64_MAX;
    // The distance the output keeps, from the last two windows; INT64_MAX until known, past
    // the start, while the server fills its buffer and waits for enough to play.
    int64_t kept_ = INT64_MAX;
};

} // namespace wave
