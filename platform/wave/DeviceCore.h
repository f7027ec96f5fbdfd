#pragma once
// The byte-copy core every wave backend shares, one per open device: the queue of buffers
// the user added or wrote, the buffer being filled or played and its offset, the completed
// buffers waiting to be handed back, the hand-back on reset, and the glitch counters.
// The device's audio thread calls capture() or play() with the sound card's bytes; the
// engine hands the completed buffers to the user's callback right after.

#include "platform/wave/Wave.h"

#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <cstdint>

namespace wave {

// A run of capture frames dropped because no buffer was queued: the frames at stream
// positions [atFrame, atFrame + frames) never reached a buffer.
struct CaptureGap {
    uint64_t atFrame = 0;
    uint32_t frames = 0;
};

// Glitches counted on the audio threads, read anywhere; a service's devices share one set,
// which outlives them.
struct GlitchCounts {
    std::atomic<uint64_t> leadingSilenceFrames{0};
    std::atomic<uint64_t> underrunFrames{0};
    std::atomic<uint64_t> underruns{0};
    std::atomic<uint64_t> overrunFrames{0};
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> gapsLost{0};
    // Frames the input delivered, the output asked for and the stream wrote to the output:
    // how far the output runs behind the input is told from them.
    std::atomic<uint64_t> capturedFrames{0};
    std::atomic<uint64_t> playbackFrames{0};
    std::atomic<uint64_t> writtenFrames{0};

    // Adds the glitch counts to a snapshot.
    void into(WaveCounters& c) const;
};

class DeviceCore {
public:
    // `capacity`: the most buffers the device holds at once.
    DeviceCore(bool capture, uint32_t capacity, GlitchCounts& counts);

    // Queues a prepared buffer. Called on the thread that adds or writes buffers, one at a time.
    MMRESULT enqueue(WAVEHDR* header);

    // Copies captured bytes into the oldest queued buffers; frames that find none are dropped
    // and counted. Called on the audio thread.
    void capture(const uint8_t* src, uint32_t bytes);
    // Copies the oldest written buffers' bytes out; silence where none is waiting, counted.
    // Called on the audio thread.
    void play(uint8_t* dst, uint32_t bytes);
    // Frames of sound and of lead silence queued ahead of the next play(); 0 while the output
    // waits for its first block or for sound after running dry. Called on the audio thread.
    uint32_t waitingFrames() const;
    // Plays this many bytes of silence before the next written bytes, e.g. to set the phase
    // between capture and playback. Called on the audio thread.
    void lead(uint32_t bytes) { leadLeft_ = bytes & ~1u; }
    // Silence played before the first buffer and after the output ran dry, so that the next
    // buffer may come that much late without a gap. Before the device starts.
    void setDryCushion(uint32_t bytes) { cushionBytes_ = bytes & ~1u; }
    // Silence played after the output ran dry is skipped from the sound that comes late, so
    // that a passing shortfall does not make the output later for good. Before the device
    // starts.
    void keepPhase() { keepPhase_ = true; }
    // Forgets the phase: a server that came back sets it anew, and silence owed from before
    // would otherwise be skipped from every cycle after. Called on the audio thread.
    void rephase()
    {
        owedBytes_ = 0;
        leadLeft_ = 0;
    }

    // The oldest completed buffer; false when none. Called on the delivering thread.
    bool takeCompleted(WAVEHDR*& header);

    // Hands every queued buffer back, the partly filled or played one first.
    // Called with the audio thread kept out (the backend's lock or the thread stopped).
    void handBack();
    // Whether a buffer is still queued or under way. With the audio thread kept out.
    bool busy() const;
    // Buffers queued or completed and not yet taken. Any thread.
    uint32_t held() const { return held_.load(std::memory_order_acquire); }

    // The oldest capture gap not yet taken; false when none. Gaps past the log's size are
    // only counted (gapsLost). Called on one thread at a time.
    bool takeGap(CaptureGap& gap) { return gaps_.try_dequeue(gap); }

    // Frames the card delivered or asked for so far. Written on the audio thread.
    std::atomic<uint64_t> frames{0};

private:
    void complete(WAVEHDR* h, uint32_t bytes);
    // Logs the run of dropped frames that the next captured frame ends. On the audio thread.
    void CloseGap();

    using Queue = moodycamel::ReaderWriterQueue<WAVEHDR*>;
    const bool capture_;
    const uint32_t capacity_;
    GlitchCounts& counts_;
    Queue pending_;
    Queue done_;
    moodycamel::ReaderWriterQueue<CaptureGap> gaps_;
    std::atomic<uint32_t> held_{0};
    std::atomic<uint64_t> queuedBytes_{0};

    // The audio thread's own (touched elsewhere only with it kept out).
    WAVEHDR* current_ = nullptr;
    uint32_t offset_ = 0;
    CaptureGap openGap_;
    bool everPlayed_ = false;
    bool prerolling_ = true;
    uint32_t cushionBytes_ = 0;
    uint32_t leadLeft_ = 0;
    bool keepPhase_ = false;
    // Silence an underrun played in the place of sound that comes late, still to skip.
    uint32_t owedBytes_ = 0;
};

} // namespace wave
