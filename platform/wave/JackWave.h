#pragma once
// The wave service as a plain JACK client "vobblix": one mono input port and one mono output
// port, both served by the one process callback on JACK's realtime thread. Each cycle it
// converts the input port to 16-bit samples (resampling when the server's rate is not the
// settings' rate) and copies them into the queued buffers, hands each completed buffer to the
// user's callback at once, then fills the output port from the written buffers: a block
// captured in a cycle can be heard in that same cycle. The ports report the client's own
// delay on top of their peers' latency.

#include "platform/wave/DeviceCore.h"
#include "platform/wave/Wave.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Resampler;
struct _jack_client;
struct _jack_port;

namespace wave {

class JackWaveService final : public WaveService {
public:
    // Opens the client on a running server (never starts one) and activates it; unless told
    // not to, connects the input to the first physical capture port and the output to the
    // first two physical playback ports. UI thread only.
    explicit JackWaveService(bool connectPorts = true);
    ~JackWaveService() override;
    JackWaveService(const JackWaveService&) = delete;
    JackWaveService& operator=(const JackWaveService&) = delete;

    // Whether a server answered; when not, why. Any thread.
    bool connected() const { return client_ != nullptr; }
    const std::string& connectError() const { return connectError_; }
    // The client's name on the server (JACK may have added a number). UI thread only.
    std::string clientName() const;
    // Frames, at the server's rate, from a sample at the input port to the same sample at the
    // output port: what the ports add to their peers' latency. Any thread.
    uint32_t ownLatencyFrames() const { return ownLatency_.load(std::memory_order_acquire); }

    // The resampler's delay in frames at its input rate, for the half-length used here.
    static uint32_t ResamplerDelay(uint32_t fromRate, uint32_t toRate);

    WaveCounters counters() const override;
    const char* name() const override { return "JACK"; }
    // From the physical input the program is patched to, through it, to the physical output:
    // the ports' latencies as the server reports them.
    double latencyMs() const override;
    // Also where a server that stopped running the client's cycles without dropping it is
    // found: PipeWire's JACK says nothing when its server dies.
    std::string takeFault() override;
    std::string takeNotice() override;
    void setBlockHint(uint32_t bytes) override { blockHint_ = bytes; }
    // The server's physical ports, by their full names.
    std::vector<DeviceChoice> devices(bool capture) const override;

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

    struct Device;

    // Called on JACK's realtime thread.
    int Process(uint32_t frames);
    // Called on JACK's realtime thread.
    void Xrun();
    // Called on a JACK thread before the next cycle of the new size.
    void BufferSize(uint32_t frames);
    // Called on a JACK thread.
    void SampleRate(uint32_t rate);
    // Called on a JACK thread once the server has dropped the client.
    void Shutdown(const std::string& reason);
    // Called on a JACK thread.
    void Latency(int mode);

private:
    MMRESULT Open(bool capture, void* handle, const PCMWAVEFORMAT& format, uint32_t flags, Device** out);
    MMRESULT Reset(Device* d);
    MMRESULT Close(Device* d);
    // Runs fn with the process callback kept out of the devices: it waits at most for the
    // callback in progress to leave, never for a cycle. Not on the realtime thread.
    template <typename Fn>
    void WithAudioThreadOut(Fn&& fn);
    void Fault(const std::string& text);
    void UpdateLatency();
    // Faults the client when no cycle has come for a while. UI thread only.
    void WatchCycles();
    void CaptureCycle(Device* in, const float* port, uint32_t frames);
    void PlaybackCycle(Device* out, float* port, uint32_t frames);

    std::string connectError_;
    _jack_client* client_ = nullptr;
    _jack_port* inPort_ = nullptr;
    _jack_port* outPort_ = nullptr;
    bool onPipeWire_ = false; // the server is PipeWire's JACK emulation
    bool connectPorts_ = true;

    uint32_t blockHint_ = 0;
    uint32_t rate_ = 0;                        // the settings' rate, from the open
    std::atomic<uint32_t> serverRate_{0};
    std::atomic<uint32_t> period_{0};
    std::atomic<uint32_t> ownLatency_{0};
    std::atomic<Device*> in_{nullptr};
    std::atomic<Device*> out_{nullptr};
    std::atomic<bool> dead_{false};
    // The handshake that keeps the process callback out while the UI thread works on a device.
    std::atomic<bool> blocked_{false};
    std::atomic<bool> inside_{false};
    GlitchCounts counts_;
    std::atomic<uint64_t> xruns_{0};
    std::atomic<uint64_t> cycles_{0};
    // The UI thread's own: the cycle count it last saw change, and when.
    uint64_t seenCycles_ = 0;
    std::chrono::steady_clock::time_point seenAt_{};

    // Sized at the open for the largest period JACK may give; the realtime thread's own.
    std::unique_ptr<Resampler> captureResampler_;
    std::unique_ptr<Resampler> playbackResampler_;
    std::vector<float> scratch_;
    std::vector<int16_t> samples_;
    std::vector<float> carry_;   // resampler input pulled from the output but not consumed yet
    uint32_t carried_ = 0;
    uint32_t carryAt_ = 0;
    bool led_ = false;
    std::atomic<uint32_t> extraLead_{0}; // frames of silence a larger period needs

    std::atomic<uint32_t> noticedPeriod_{0}; // the UI thread's own
    uint32_t shownPeriod_ = 0;
    std::mutex faultLock_;
    std::string fault_;
};

} // namespace wave
