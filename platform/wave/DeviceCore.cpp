#include "platform/wave/DeviceCore.h"

#include <algorithm>
#include <cstring>

namespace wave {
namespace {

constexpr size_t kGapLogSize = 4096;

// Devices play and record whole samples only, so the stream never loses sample alignment.
uint32_t Usable(const WAVEHDR* h) { return h->dwBufferLength & ~1u; }

} // namespace

void GlitchCounts::into(WaveCounters& c) const
{
    c.leadingSilenceFrames += leadingSilenceFrames.load(std::memory_order_relaxed);
    c.underrunFrames += underrunFrames.load(std::memory_order_relaxed);
    c.underruns += underruns.load(std::memory_order_relaxed);
    c.overrunFrames += overrunFrames.load(std::memory_order_relaxed);
    c.overruns += overruns.load(std::memory_order_relaxed);
    c.capturedFrames += capturedFrames.load(std::memory_order_relaxed);
    c.playbackFrames += playbackFrames.load(std::memory_order_relaxed);
}

DeviceCore::DeviceCore(bool capture, uint32_t capacity, GlitchCounts& counts)
    : capture_(capture), capacity_(capacity), counts_(counts), pending_(capacity), done_(capacity),
      gaps_(capture ? kGapLogSize : 1)
{
}

void DeviceCore::complete(WAVEHDR* h, uint32_t bytes)
{
    if (capture_)
        h->dwBytesRecorded = bytes;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    // Cannot fail: no more headers are ever held than the queue was sized for.
    done_.try_enqueue(h);
}

MMRESULT DeviceCore::enqueue(WAVEHDR* h)
{
    if (held_.load(std::memory_order_relaxed) >= capacity_)
        return MMSYSERR_NOMEM;
    if (MMRESULT r = EnqueueHeader(h))
        return r;
    held_.fetch_add(1, std::memory_order_relaxed);
    if (!capture_) {
        queuedBytes_.fetch_add(Usable(h), std::memory_order_release);
        counts_.writtenFrames.fetch_add(Usable(h) / 2, std::memory_order_release);
    }
    pending_.try_enqueue(h);
    return MMSYSERR_NOERROR;
}

void DeviceCore::CloseGap()
{
    if (openGap_.frames == 0)
        return;
    if (!gaps_.try_enqueue(openGap_))
        counts_.gapsLost.fetch_add(1, std::memory_order_relaxed);
    openGap_ = CaptureGap{};
}

void DeviceCore::capture(const uint8_t* src, uint32_t have)
{
    const uint32_t len = have;
    const uint64_t firstFrame = frames.load(std::memory_order_relaxed);
    frames.store(firstFrame + have / 2, std::memory_order_relaxed);
    counts_.capturedFrames.fetch_add(have / 2, std::memory_order_release);
    while (have > 0) {
        if (!current_) {
            if (!pending_.try_dequeue(current_)) {
                const uint32_t lost = have / 2;
                counts_.overrunFrames.fetch_add(lost, std::memory_order_relaxed);
                counts_.overruns.fetch_add(1, std::memory_order_relaxed);
                // Drops in a row are one gap: a starved capture spinning through its callbacks
                // must not fill the log with thousands of them.
                const uint64_t at = firstFrame + (len - have) / 2;
                if (openGap_.frames != 0 && openGap_.atFrame + openGap_.frames == at &&
                    openGap_.frames <= UINT32_MAX - lost) {
                    openGap_.frames += lost;
                } else {
                    CloseGap();
                    openGap_ = CaptureGap{at, lost};
                }
                return;
            }
            offset_ = 0;
        }
        CloseGap();
        const uint32_t n = std::min(have, Usable(current_) - offset_);
        std::memcpy(current_->lpData + offset_, src, n);
        offset_ += n;
        src += n;
        have -= n;
        if (offset_ >= Usable(current_)) {
            complete(current_, offset_);
            current_ = nullptr;
        }
    }
}

void DeviceCore::play(uint8_t* dst, uint32_t want)
{
    frames.fetch_add(want / 2, std::memory_order_relaxed);
    counts_.playbackFrames.fetch_add(want / 2, std::memory_order_relaxed);
    auto& silence = everPlayed_ ? counts_.underrunFrames : counts_.leadingSilenceFrames;
    if (prerolling_) {
        if (queuedBytes_.load(std::memory_order_acquire) == 0 && leadLeft_ == 0) {
            std::memset(dst, 0, want);
            silence.fetch_add(want / 2, std::memory_order_relaxed);
            return;
        }
        prerolling_ = false;
        leadLeft_ = std::max(leadLeft_, cushionBytes_);
    }
    if (leadLeft_ > 0) {
        const uint32_t n = std::min(want, leadLeft_);
        std::memset(dst, 0, n);
        silence.fetch_add(n / 2, std::memory_order_relaxed);
        leadLeft_ -= n;
        dst += n;
        want -= n;
    }
    while (want > 0) {
        if (!current_) {
            if (!pending_.try_dequeue(current_))
                break;
            offset_ = 0;
        }
        if (owedBytes_ > 0) {
            const uint32_t skip = std::min(owedBytes_, Usable(current_) - offset_);
            offset_ += skip;
            owedBytes_ -= skip;
            queuedBytes_.fetch_sub(skip, std::memory_order_relaxed);
            if (offset_ >= Usable(current_)) {
                complete(current_, 0);
                current_ = nullptr;
            }
            continue;
        }
        const uint32_t n = std::min(want, Usable(current_) - offset_);
        std::memcpy(dst, current_->lpData + offset_, n);
        offset_ += n;
        dst += n;
        want -= n;
        queuedBytes_.fetch_sub(n, std::memory_order_relaxed);
        everPlayed_ = true;
        if (offset_ >= Usable(current_)) {
            complete(current_, 0);
            current_ = nullptr;
        }
    }
    if (want > 0) {
        std::memset(dst, 0, want);
        // Silence before anything was ever written is the stream starting, not a glitch.
        if (everPlayed_) {
            counts_.underrunFrames.fetch_add(want / 2, std::memory_order_relaxed);
            counts_.underruns.fetch_add(1, std::memory_order_relaxed);
            if (keepPhase_)
                owedBytes_ += want & ~1u;
        } else {
            counts_.leadingSilenceFrames.fetch_add(want / 2, std::memory_order_relaxed);
        }
        prerolling_ = cushionBytes_ > 0;
    }
}

uint32_t DeviceCore::waitingFrames() const
{
    if (prerolling_)
        return 0;
    const uint64_t bytes = leadLeft_ + queuedBytes_.load(std::memory_order_acquire);
    return uint32_t(std::min<uint64_t>(bytes / 2, UINT32_MAX));
}

bool DeviceCore::takeCompleted(WAVEHDR*& h)
{
    if (!done_.try_dequeue(h))
        return false;
    held_.fetch_sub(1, std::memory_order_acq_rel);
    return true;
}

void DeviceCore::handBack()
{
    if (current_) {
        complete(current_, offset_);
        current_ = nullptr;
    }
    WAVEHDR* h = nullptr;
    while (pending_.try_dequeue(h))
        complete(h, 0);
    queuedBytes_.store(0, std::memory_order_relaxed);
    prerolling_ = true;
    leadLeft_ = 0;
    owedBytes_ = 0;
}

bool DeviceCore::busy() const
{
    return current_ || const_cast<Queue&>(pending_).peek();
}

} // namespace wave
