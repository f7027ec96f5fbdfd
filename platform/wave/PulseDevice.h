#pragma once
// The duplex device over PulseAudio's native protocol: a record stream and a playback stream,
// 16-bit mono at the stream's rate, on one threaded main loop. Each time the record stream
// brings a fragment, the loop's thread hands it to the engine and writes what the engine
// plays for it to the playback stream in that same wake-up: a block is sent to the server the
// moment it is filtered. The playback stream's prebuffer is the output's only cushion, and
// the server's own underflow and overflow notices are counted as glitches, since they are
// what the player hears.

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
        uint32_t target = 0;          // playback: bytes the server aims to hold
        uint32_t prebuffer = 0;       // playback: bytes it waits for before it plays
        uint32_t minimumRequest = 0;  // playback: the smallest request
    };
    static Attributes AttributesFor(uint32_t rate, uint32_t blockBytes);

    const char* name() const override { return "PulseAudio"; }
    bool supports(uint32_t rate) const override;
    MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) override;
    MMRESULT start() override;
    void stop() override;
    void close(Side side) override;
    // Holds the main loop's lock: no stream callback runs meanwhile.
    void exclusive(const std::function<void()>& fn) override;
    // The server's underflows (silence it played) and overflows (input it dropped), and the
    // input the program dropped itself after a stall or an underflow to keep its latency.
    void addCounters(WaveCounters& counters) const override;
    // The record stream's and the playback stream's latencies from the server's timing info,
    // and the engine's phase.
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
    // Writes what the engine plays for `bytes` captured. Called on the main loop's thread.
    void Write(pa_stream* out, uint32_t bytes);

    bool connected_ = false;
    std::string connectError_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;

    uint32_t rate_ = 0;
    AudioClient* client_ = nullptr;
    std::atomic<pa_stream*> in_{nullptr};
    std::atomic<pa_stream*> out_{nullptr};
    std::atomic<bool> started_{false};
    // The bytes of a fragment the record stream aims for; above a few of them waiting, the
    // oldest are dropped.
    uint32_t fragment_ = 0;
    // The longest the output's queue may hold before input is dropped, in microseconds.
    int64_t maxQueuedUs_ = 0;

    // The loop thread's own.
    uint32_t largestCycle_ = 0; // the largest fragment the engine's phase was set for
    uint32_t lastCycle_ = 0;
    bool cycleVaries_ = false;
    std::vector<uint8_t> silence_; // for a hole in the input; sized at the record stream's open
    bool dry_ = false;             // the server said it ran dry, and plays silence
    uint64_t runsOutNs_ = 0;       // when what was written will have been played

    std::atomic<uint64_t> underflows_{0};
    std::atomic<uint64_t> underflowFrames_{0};
    std::atomic<uint64_t> overflows_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> droppedFrames_{0};
    std::atomic<int64_t> recordUs_{-1};
    std::atomic<int64_t> playbackUs_{-1};

    std::atomic<int> failure_{0};
    std::atomic<int> failureErr_{0};
    bool told_ = false; // the UI thread's own
};

} // namespace wave
