#pragma once
// The duplex device as a plain JACK client "vobblix": one mono input port and one mono
// output port, both served by the one process callback on JACK's realtime thread. Each cycle
// it converts the input port to 16-bit samples (resampling when the server's rate is not the
// stream's) for the engine, then fills the output port from what the engine plays: a block
// captured in a cycle can be heard in that same cycle. The ports report the client's own
// delay on top of their peers' latency.

#include "platform/midi/JackPedalPort.h"
#include "platform/wave/Duplex.h"

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

class JackDevice final : public DuplexDevice, private midi::PedalPort {
public:
    // Opens the client on a running server (never starts one) and activates it; unless told
    // not to, connects the input to the first physical capture port and the output to the
    // first two physical playback ports when they open. UI thread only.
    explicit JackDevice(bool connectPorts = true);
    ~JackDevice() override;
    JackDevice(const JackDevice&) = delete;
    JackDevice& operator=(const JackDevice&) = delete;

    // Whether a server answered; when not, why. Any thread.
    bool connected() const { return client_ != nullptr; }
    const std::string& connectError() const { return connectError_; }

    // The resampler's delay in frames at its input rate, for the half-length used here.
    static uint32_t ResamplerDelay(uint32_t fromRate, uint32_t toRate);

    const char* name() const override { return "JACK"; }
    bool supports(uint32_t rate) const override;
    MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) override;
    MMRESULT start() override;
    void stop() override;
    void close(Side side) override;
    // Waits at most for the callback in progress to leave, never for a cycle.
    void exclusive(const std::function<void()>& fn) override;
    // An xrun is a cycle the client missed as a whole: the card played what was there.
    void addCounters(WaveCounters& counters) const override;
    // From the physical input the program is patched to, through it, to the physical output:
    // the ports' latencies as the server reports them.
    double latencyMs(uint32_t leadFrames) const override;
    // The server's physical ports, by their full names.
    std::vector<DeviceChoice> devices(bool capture) const override;
    // Also where a server that stopped running the client's cycles without dropping it is
    // found: PipeWire's JACK says nothing when its server dies.
    std::string takeFault() override;
    // Also where a chosen MIDI source that appeared is connected.
    std::string takeNotice() override;
    // Also where a server that went away is looked for, and joined again once it runs.
    std::string takeOutageNews() override;
    // "vobblix:pedal" and its siblings, read before each cycle's sound.
    midi::PedalPort* midiPort() override { return pedal_.registered() ? this : nullptr; }

    // Called on JACK's realtime thread.
    int Process(uint32_t frames);
    // Called on JACK's realtime thread.
    void Xrun();
    // Called on a JACK thread before the next cycle of the new size.
    void BufferSize(uint32_t frames);
    // Called on a JACK thread, or on the UI thread with the rate from before a return.
    void SampleRate(uint32_t rate, uint32_t before = 0);
    // Called on a JACK thread once the server has dropped the client.
    void Shutdown();
    // Called on a JACK thread.
    void Latency(int mode);

private:
    // The server's MIDI outputs by their full port names. UI thread only.
    std::vector<midi::Source> sources() const override;
    // Connects the pedal's ports like the audio ports; with --no-connect, to nothing. Kept
    // for a server that comes back. UI thread only.
    void setInput(midi::MidiSink* sink, const std::string& source) override;

    // Opens the client, registers its ports and activates it. False, with connectError_
    // said, when no server takes it. UI thread only.
    bool Join();
    // Joins a server that came back and patches the ports as at the start. UI thread only.
    void Rejoin();
    void Fault(const std::string& text);
    // The ports' own delay from the stream's block and the server's period and rate.
    void UpdateLatency();
    // Faults the client when no cycle has come for a while. UI thread only.
    void WatchCycles();
    void CaptureCycle(const float* port, uint32_t frames);
    void PlaybackCycle(float* port, uint32_t frames);

    std::string connectError_;
    _jack_client* client_ = nullptr;
    _jack_port* inPort_ = nullptr;
    _jack_port* outPort_ = nullptr;
    midi::JackPedalPort pedal_;
    bool onPipeWire_ = false; // the server is PipeWire's JACK emulation
    bool connectPorts_ = true;
    // What the opens and the MIDI pedal asked for, to ask again after a return (UI thread's).
    bool captureOpen_ = false;
    bool playbackOpen_ = false;
    std::string devices_[2];
    midi::MidiSink* midiSink_ = nullptr;
    std::string midiSource_;
    // The server dropped the client (a JACK thread sets it, the UI clears it on the return);
    // when, and when the first cycle after the return ran, in ns of boot time.
    std::atomic<bool> gone_{false};
    std::atomic<uint64_t> goneAt_{0};
    std::atomic<uint64_t> backAt_{0};
    std::atomic<bool> rejoining_{false};
    uint64_t toldGone_ = 0; // the UI thread's own

    uint32_t blockBytes_ = 0;
    uint32_t rate_ = 0; // the stream's rate, from the open
    AudioClient* audio_ = nullptr;
    std::atomic<uint32_t> serverRate_{0};
    std::atomic<uint32_t> period_{0};
    std::atomic<uint32_t> ownLatency_{0};
    std::atomic<bool> capturing_{false};
    std::atomic<bool> playing_{false};
    FaultLatch fault_;
    // The handshake that keeps the process callback out while the UI thread works.
    std::atomic<bool> blocked_{false};
    std::atomic<bool> inside_{false};
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
    std::vector<float> carry_; // resampler input pulled from the output but not consumed yet
    uint32_t carried_ = 0;
    uint32_t carryAt_ = 0;
    uint32_t phasedPeriod_ = 0; // the period the engine last heard of; 0 before the first cycle

    std::atomic<uint32_t> noticedPeriod_{0};
    uint32_t shownPeriod_ = 0; // the UI thread's own
};

} // namespace wave
