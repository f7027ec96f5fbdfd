#include "platform/wave/ClockFollower.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace wave {
namespace {

// The distance is judged by its smallest value over about this many frames: long enough to
// span the worst wake-ups of both threads a moment holds, short enough to follow two clocks
// whose pace wanders.
constexpr uint32_t kWindowFrames = 16384;
// Dry-outs raise the distance kept by half a period each, at most this many periods in all.
constexpr uint32_t kMaxRaisePeriods = 4;
// A window's smallest distance within this part of a period of the target needs no
// correction, so that between corrections the sound passes sample for sample.
constexpr uint32_t kDeadbandDivisor = 2;
// The most a window's correction bends the pitch: a frame in this many, half a per cent,
// which nobody hears and is still more than two sound cards' clocks ever part by. A period
// shorter than that is bent by a frame every few callbacks.
constexpr uint32_t kMaxStepDivisor = 200;
// A distance more than a period short of the target between two windows is an input that
// falls behind in a burst (a capture thread that paces itself by sleeping loses each late
// wake-up for good, and a run of them puts it 5-6 % behind for a few tenths of a second); one
// more than this many periods beyond it is an output that fell behind so. Either is put right
// at once, by up to this part of the callback, rather than a window at a time: the one would
// run dry, the other keeps the player waiting.
constexpr uint32_t kFarPeriods = 4;
constexpr uint32_t kFastStepDivisor = 16;
// A fast correction takes this part of the error a callback, so that it eases off as the
// distance comes back.
constexpr int64_t kFastGain = 4;

} // namespace

void ClockFollower::restart(uint32_t periodFrames)
{
    period_ = std::max<uint32_t>(periodFrames, 1);
    windowCallbacks_ = std::max<uint32_t>(kWindowFrames / period_, 4);
    stepEvery_ = (kMaxStepDivisor + period_ - 1) / period_;
    sinceStep_ = 0;
    target_.store(0, std::memory_order_relaxed);
    raised_ = 0;
    started_ = false;
    settled_ = false;
    seen_ = 0;
    windowMin_ = INT64_MAX;
    dried_ = false;
    step_ = 0;
    plan_ = 0;
}

uint32_t ClockFollower::MostFrames(uint32_t periodFrames)
{
    return periodFrames + std::max<uint32_t>(periodFrames / kFastStepDivisor, 1);
}

uint32_t ClockFollower::LeastFrames(uint32_t periodFrames)
{
    return periodFrames < 2 ? periodFrames : periodFrames - std::max<uint32_t>(periodFrames / kFastStepDivisor, 1);
}

void ClockFollower::EndWindow()
{
    if (dried_) {
        // The margin was too thin for this machine. Dry-outs while the output first fills
        // are the start, not the machine.
        if (settled_ && raised_ < kMaxRaisePeriods * period_) {
            raised_ += period_ / 2;
            target_.fetch_add(period_ / 2, std::memory_order_relaxed);
        }
        plan_ = 0;
    } else {
        if (!settled_) {
            target_.store(windowMin_, std::memory_order_relaxed);
            std::fill(recent_, recent_ + kRecentWindows, windowMin_);
        }
        settled_ = true;
        // Too close risks a dry-out and is put right at once. Too far only costs delay and is
        // put right once the last few windows all were, so that one late wake-up of the
        // input, which makes a window look closer, is not answered by squeezing back after.
        std::copy_backward(recent_, recent_ + kRecentWindows - 1, recent_ + kRecentWindows);
        recent_[0] = windowMin_;
        const int64_t target = target_.load(std::memory_order_relaxed);
        const int64_t band = period_ / kDeadbandDivisor;
        const int64_t closest = *std::min_element(recent_, recent_ + kRecentWindows);
        // Half the error over the next window: the one after tells the rest.
        if (windowMin_ < target - band)
            plan_ = (windowMin_ - target) / 2;
        else if (closest > target + band)
            plan_ = (closest - target) / 2;
        else
            plan_ = 0;
    }
    const int64_t maxStep = std::max<uint32_t>(period_ / kMaxStepDivisor, 1);
    // The plan spread over a window, rounded away from zero.
    const int64_t callbacks = windowCallbacks_;
    const int64_t spread = (std::llabs(plan_) + callbacks - 1) / callbacks;
    step_ = std::clamp<int64_t>(plan_ >= 0 ? spread : -spread, -maxStep, maxStep);
    seen_ = 0;
    windowMin_ = INT64_MAX;
    dried_ = false;
}

uint32_t ClockFollower::take(uint32_t frames, uint32_t waiting, int64_t behind)
{
    if (!started_) {
        if (waiting == 0)
            return frames;
        started_ = true;
    }
    uint32_t want = frames;
    if (plan_ != 0 && frames >= 2 && ++sinceStep_ >= stepEvery_) {
        sinceStep_ = 0;
        const int64_t step = plan_ > 0 ? std::min(step_, plan_) : std::max(step_, plan_);
        want = uint32_t(std::max<int64_t>(int64_t(frames) + step, 1));
        plan_ -= int64_t(want) - int64_t(frames);
        taken_.fetch_add(int64_t(want) - int64_t(frames), std::memory_order_relaxed);
        adjustments_.fetch_add(1, std::memory_order_relaxed);
    }
    const int64_t distance = behind - int64_t(frames);
    const int64_t off = distance - target_.load(std::memory_order_relaxed);
    if (settled_ && frames >= 2 && (off < -int64_t(period_) || off > int64_t(kFarPeriods * period_))) {
        const int64_t fast = std::clamp<int64_t>(int64_t(frames) + off / kFastGain, LeastFrames(frames),
                                                 MostFrames(frames));
        const int64_t more = fast - int64_t(want);
        if ((off < 0 && more < 0) || (off > 0 && more > 0)) {
            if (want == frames)
                adjustments_.fetch_add(1, std::memory_order_relaxed);
            taken_.fetch_add(more, std::memory_order_relaxed);
            // What it does counts towards a plan the same way; a plan the other way is moot.
            if ((plan_ > 0) != (more > 0))
                plan_ = 0;
            else
                plan_ = more > 0 ? std::max<int64_t>(plan_ - more, 0) : std::min<int64_t>(plan_ - more, 0);
            want = uint32_t(fast);
        }
    }
    if (waiting < want)
        dried_ = true;
    windowMin_ = std::min(windowMin_, distance);
    if (++seen_ >= windowCallbacks_)
        EndWindow();
    return want;
}

void ClockFollower::Stretch(const int16_t* in, uint32_t got, int16_t* out, uint32_t frames)
{
    if (got == frames) {
        std::memcpy(out, in, size_t(frames) * 2);
        return;
    }
    if (got == 0 || frames == 0) {
        std::memset(out, 0, size_t(frames) * 2);
        return;
    }
    if (got == 1 || frames == 1) {
        std::fill(out, out + frames, in[0]);
        return;
    }
    const int64_t span = frames - 1;
    for (uint32_t k = 0; k < frames; ++k) {
        const int64_t at = int64_t(k) * (got - 1);
        const int64_t p = at / span;
        const int64_t rem = at % span;
        const int64_t a = in[p];
        const int64_t b = rem == 0 ? a : in[p + 1];
        // Rounded to the nearest, halves away from a.
        const int64_t step = (b - a) * rem;
        out[k] = int16_t(a + (step >= 0 ? (step + span / 2) / span : -((-step + span / 2) / span)));
    }
}

} // namespace wave
