#pragma once
// The wave protocol, once, over any duplex device: the opens and their format query, the
// headers, the queued capture and playback buffers in the shared byte-copy core, the
// completion messages to the user's function callback, the reset that hands every buffer
// back, the close, and the fault after which the calls it breaks fail quietly.
//
// Completions are delivered on the thread that completed them: a capture buffer on the
// device's capture thread right after the bytes that filled it, a played buffer on its
// playback thread. On a same-cycle server the block captured in a cycle is thus written,
// and heard, in that cycle.

#include "platform/wave/DeviceCore.h"
#include "platform/wave/Duplex.h"
#include "platform/wave/Wave.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace wave {

class WaveEngine final : public WaveService, private AudioClient {
public:
    explicit WaveEngine(std::unique_ptr<DuplexDevice> device);
    ~WaveEngine() override;
    WaveEngine(const WaveEngine&) = delete;
    WaveEngine& operator=(const WaveEngine&) = delete;

    // The silence, in frames, that the output plays ahead of the first block so that a block
    // of `blockFrames` arriving in cycles of `cycleFrames` is never late: the largest
    // remainder the captured total can leave over whole blocks. Pure.
    static uint32_t LeadFrames(uint32_t blockFrames, uint32_t cycleFrames, bool cycleVaries);
    // A gap between two capture cycles longer than this means the program did not run.
    static constexpr uint64_t kPauseNs = 1'000'000'000;

    MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const PCMWAVEFORMAT& format, WaveInProc callback,
                        uintptr_t instance, uint32_t flags) override;
    MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const PCMWAVEFORMAT& format, WaveOutProc callback,
                         uintptr_t instance, uint32_t flags) override;
    MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header) override;
    MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header) override;
    MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header) override;
    MMRESULT waveInStart(HWAVEIN device) override;
    MMRESULT waveInReset(HWAVEIN device) override;
    MMRESULT waveInClose(HWAVEIN device) override;
    MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header) override;
    MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header) override;
    MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header) override;
    MMRESULT waveOutReset(HWAVEOUT device) override;
    MMRESULT waveOutClose(HWAVEOUT device) override;

    void setBlockHint(uint32_t bytes) override { blockHint_ = bytes; }
    std::vector<DeviceChoice> devices(bool capture) const override { return device_->devices(capture); }
    WaveCounters counters() const override;
    const char* name() const override { return device_->name(); }
    double latencyMs() const override;
    // Gives up every buffer when the device reports a fault, so that the stop never waits
    // for a server that is gone.
    std::string takeFault() override;
    std::string takeNotice() override { return device_->takeNotice(); }
    std::string takeOutageNews() override { return device_->takeOutageNews(); }
    uint64_t takeOutageFrames() override { return outageFrames_.exchange(0, std::memory_order_relaxed); }
    bool faulted() const override { return dead_.load(std::memory_order_acquire); }
    midi::PedalPort* midiPort() override { return device_->midiPort(); }

    // Buffers one side holds: queued, under way, or completed and not yet handed back.
    // Any thread.
    uint32_t held(Side side) const;
    // The oldest run of capture frames dropped for want of a buffer; false when none. Gaps
    // past the log's size are only counted. Called on one thread at a time.
    bool takeCaptureGap(CaptureGap& gap);
    uint64_t gapsLost() const { return counts_.gapsLost.load(); }

private:
    struct Port;

    // Called on the device's capture thread.
    void captured(const uint8_t* src, uint32_t bytes) override;
    // Called on the device's playback thread.
    void play(uint8_t* dst, uint32_t bytes) override;
    // Called on the device's playback thread.
    uint32_t waiting() const override;
    int64_t behind() const override;
    // Called on the device's audio thread.
    uint32_t phase(uint32_t cycleFrames, bool varies, uint32_t ahead) override;
    void cushion(uint32_t frames) override;
    void keepPhase() override;
    void resumed() override { resumed_ = true; }

    MMRESULT Open(Side side, void** handle, const PCMWAVEFORMAT& format, uintptr_t callback, uintptr_t instance,
                  uint32_t flags);
    // The open port a handle names, or null.
    Port* In(HWAVEIN handle) const;
    Port* Out(HWAVEOUT handle) const;
    MMRESULT Enqueue(Port* port, WAVEHDR* header);
    MMRESULT Reset(Port* port);
    MMRESULT Close(Port* port);
    // Hands the port's completed buffers to the user. On the thread that completed them,
    // or with the audio threads kept out.
    static void Deliver(Port& port);

    std::unique_ptr<DuplexDevice> device_;
    uint32_t blockHint_ = 0;
    std::atomic<Port*> in_{nullptr};
    std::atomic<Port*> out_{nullptr};
    std::atomic<bool> dead_{false};
    GlitchCounts counts_;
    std::atomic<uint64_t> pauses_{0};
    std::atomic<uint64_t> pausedNs_{0};
    // The capture thread's own: the next cycle follows the server's return, and the frames
    // the time without it held.
    bool resumed_ = false;
    std::atomic<uint64_t> outageFrames_{0};
    std::atomic<uint64_t> playbackFramesAtCaptureStart_{0};
    // The frames the output waits behind the input, at the stream's rate.
    std::atomic<uint32_t> leadFrames_{0};

    // When the input's last cycle came, in microseconds of boot time, above the frames it
    // brought (16 bits): one word, so the output's thread reads both without a lock. Written
    // by the capture thread alone (and cleared with it kept out); 0 before the first cycle.
    std::atomic<uint64_t> lastCycle_{0};
    std::atomic<uint32_t> rate_{0};
};

} // namespace wave
