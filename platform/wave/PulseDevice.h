#pragma once
// The duplex device over PulseAudio's native protocol: a record stream and a playback stream,
// 16-bit mono at the stream's rate, on one threaded main loop. Each time the record stream
// brings a piece, the loop's thread hands it to the engine; each block the piece completes is
// filtered there and written to the playback stream in that same wake-up, whole, behind a
// margin of silence written once at the start. The server's own underflow and overflow
// notices are counted as glitches, since they are what the player hears.

#include "platform/wave/Duplex.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace wave {

class PulseDevice final : public DuplexDevice {
public:
    // Connects to the user's PulseAudio server (never spawns one) and waits for its answer.
    // UI thread only.
    PulseDevice();
    ~PulseDevice() override;
    PulseDevice(const PulseDevice&) = delete;
    PulseDevice& operator=(const PulseDevice&) = delete;

    // Whether a server answered; when not, why. Any thread.
    bool connected() const { return connected_; }
    const std::string& connectError() const { return connectError_; }

    // The buffer attributes asked of the server for buffers of `blockBytes` at `rate`. Pure.
    struct Attributes {
        uint32_t fragment = 0;        // record: bytes per fragment handed to the program
        uint32_t recordMax = 0;       // record: bytes the server keeps before it drops
        uint32_t margin = 0;          // playback: silence ahead of the first block
        uint32_t target = 0;          // playback: bytes the server aims to hold
        uint32_t prebuffer = 0;       // playback: bytes it waits for before it plays
        uint32_t minimumRequest = 0;  // playback: the smallest request
    };
    static Attributes AttributesFor(uint32_t rate, uint32_t blockBytes);
    // Takes stretches where every sample is quiet out of the samples while `owedBytes` is
    // left, paying it down; returns the samples kept, moved to the front. Pure.
    static uint32_t TrimQuiet(int16_t* samples, uint32_t count, uint32_t& owedBytes);

    const char* name() const override { return "PulseAudio"; }
    bool supports(uint32_t rate) const override;
    MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) override;
    MMRESULT start() override;
    void stop() override;
    void close(Side side) override;
    // Holds the main loop's lock: no stream callback runs meanwhile.
    void exclusive(const std::function<void()>& fn) override;
    // The server's underflows (silence it played) and overflows (input it dropped), and the
    // filtered sound the program left unplayed after a stall to keep its latency.
    void addCounters(WaveCounters& counters) const override;
    // The record stream's and the playback stream's latencies from the server's timing info,
    // as a sample has them right after its block was written, and the engine's phase.
    double latencyMs(uint32_t leadFrames) const override;
    // The server's sources (monitors included) or sinks by name, shown by their descriptions.
    std::vector<DeviceChoice> devices(bool capture) const override;
    std::string takeFault() override;

    struct Streams;

    // Called on the main loop's thread: the record stream has a fragment.
    void Read();
    // Called on the main loop's thread: the server plays silence until the next write.
    void Underflow();
    void Overflow() { overflows_.fetch_add(1, std::memory_order_relaxed); }
    // Called on the main loop's thread when the connection or a stream failed; `errnum` is
    // PulseAudio's error code. Keeps the first, lock- and allocation-free.
    enum class Failure : int { None, Connection, Input, Output };
    void Failed(Failure what, int errnum);
    // Called on the main loop's thread: wakes a UI thread waiting for the server.
    void Signal();

private:
    // Writes the `bytes` of whole blocks just filtered, behind the margin at the start, with
    // `pending` bytes of input still waiting in the record stream; a stall's backlog is left
    // unplayed in one jump. Called on the main loop's thread.
    void Write(pa_stream* out, uint32_t bytes, uint32_t pending);
    // Sends `bytes` of the engine's sound, or of silence, to the server; returns the bytes
    // sent once quiet stretches owed were taken out. Called on the main loop's thread.
    uint32_t Send(pa_stream* out, uint32_t bytes, bool silence);
    // Bytes still waiting in the output's queue, by the clock since the last write. Called on
    // the main loop's thread.
    uint32_t QueuedBytes(uint64_t now) const;
    // Sets that clock by the server's read position when a timing update just came in.
    // Called on the main loop's thread.
    void Resync(pa_stream* out, uint64_t now);
    // How long a sample now waits in the output: its queue and the sink's own buffer; below
    // zero when the server has not said. Called on the main loop's thread.
    int64_t PlaybackMicros(pa_stream* out) const;
    // Notes the input's and the output's latency for the status line. Called on the main loop's
    // thread.
    void NoteLatency(pa_stream* in, pa_stream* out);

    bool connected_ = false;
    std::string connectError_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;

    uint32_t rate_ = 0;
    AudioClient* client_ = nullptr;
    std::atomic<pa_stream*> in_{nullptr};
    std::atomic<pa_stream*> out_{nullptr};
    std::atomic<bool> started_{false};
    uint32_t block_ = 0;  // bytes
    uint32_t margin_ = 0; // bytes

    // The loop thread's own.
    uint32_t unwritten_ = 0;       // bytes captured since the last whole block
    uint32_t largestPiece_ = 0;    // bytes: the largest piece of input the server handed over
    bool marginSent_ = false;      // the margin went ahead of the first block
    uint32_t owed_ = 0;            // bytes of queue to win back in quiet stretches
    uint32_t silenceAdded_ = 0;    // bytes of delay the server's silences added, not yet won back
    bool skipping_ = false;        // a stall's backlog is being left unplayed
    std::vector<uint8_t> silence_; // a block's worth, for holes in the input and the margin
    std::vector<uint8_t> unplayed_; // a block's worth, where sound left unplayed goes
    bool dry_ = false;             // the server said it ran dry, and plays silence
    uint64_t runsOutNs_ = 0;       // when what was written will have been played
    uint64_t timingStampUs_ = 0;   // the server's timing update last used
    int64_t averageUs_ = -1;       // the latency's running average

    std::atomic<uint64_t> underflows_{0};
    std::atomic<uint64_t> underflowFrames_{0};
    std::atomic<uint64_t> overflows_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> droppedFrames_{0};
    std::atomic<int64_t> latencyUs_{-1}; // record and playback, as last noted

    std::atomic<int> failure_{0};
    std::atomic<int> failureErr_{0};
    bool told_ = false; // the UI thread's own
};

} // namespace wave
