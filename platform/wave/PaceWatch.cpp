#include "platform/wave/PaceWatch.h"

#include <algorithm>

namespace wave {
namespace {

// The distance is judged by its smallest value over a window this long: a callback that
// came at once after the server asked, whatever the wake-ups of the others.
constexpr uint64_t kWindowNs = 250'000'000;
// The windows of the start, when the server asks ahead and waits before it plays.
constexpr uint32_t kStartWindows = 2;

} // namespace

void PaceWatch::restart(uint32_t rate)
{
    rate_ = rate;
    started_ = false;
    askedFrames_ = 0;
    windows_ = 0;
    windowMin_ = lastMin_ = kept_ = INT64_MAX;
}

void PaceWatch::asked(uint64_t nowNs, uint32_t frames)
{
    if (rate_ == 0)
        return;
    if (!started_) {
        started_ = true;
        startNs_ = nowNs;
        windowEndNs_ = nowNs + kWindowNs;
    }
    // Frames the clock ran since the first callback, less those asked before this one.
    const uint64_t elapsed = nowNs > startNs_ ? nowNs - startNs_ : 0;
    const auto clockFrames = int64_t(elapsed / 1000 * rate_ / 1'000'000);
    windowMin_ = std::min(windowMin_, clockFrames - int64_t(askedFrames_));
    askedFrames_ += frames;
    if (nowNs < windowEndNs_)
        return;
    windowEndNs_ = nowNs + kWindowNs;
    const int64_t kept = std::min(lastMin_, windowMin_);
    lastMin_ = windowMin_;
    windowMin_ = INT64_MAX;
    if (++windows_ <= kStartWindows)
        return;
    if (kept_ != INT64_MAX && kept - kept_ >= int64_t(kSilenceFrames)) {
        silences_.fetch_add(1, std::memory_order_relaxed);
        silentFrames_.fetch_add(uint64_t(kept - kept_), std::memory_order_relaxed);
    }
    kept_ = kept;
}

} // namespace wave
