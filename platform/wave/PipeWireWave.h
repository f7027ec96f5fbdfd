#pragma once
// The wave service over PipeWire: a capture stream and a playback stream in one node group,
// so one driver schedules both on one clock. The capture stream's process callback, on
// PipeWire's realtime thread, copies the cycle's input into the queued buffers, hands each
// completed buffer to the user's callback at once, then fills the cycle's output from the
// written buffers and triggers the playback stream: a block captured in a cycle can be
// heard in that same cycle. Both streams are S16 mono at the asked rate; PipeWire's adapter
// converts to the graph and connects them to the default devices.

#include "platform/wave/DeviceCore.h"
#include "platform/wave/Wave.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_data_loop;
struct pw_registry;

namespace wave {

class PipeWireWaveService final : public WaveService {
public:
    // Connects to the user's PipeWire server; never waits for it beyond the socket's connect.
    // UI thread only.
    PipeWireWaveService();
    ~PipeWireWaveService() override;
    PipeWireWaveService(const PipeWireWaveService&) = delete;
    PipeWireWaveService& operator=(const PipeWireWaveService&) = delete;

    // Whether a server answered; when not, why. Any thread.
    bool connected() const { return connected_; }
    const std::string& connectError() const { return connectError_; }

    // The silence, in frames, that the output plays ahead of the first block so that a block
    // of `blockFrames` arriving in cycles of `cycleFrames` is never late: the largest
    // remainder the captured total can leave over whole blocks.
    static uint32_t LeadFrames(uint32_t blockFrames, uint32_t cycleFrames, bool cycleVaries);

    WaveCounters counters() const override;
    const char* name() const override { return "PipeWire"; }
    // The output's wait behind the input, and the cycle the graph takes to play a block.
    double latencyMs() const override;
    std::string takeFault() override;
    std::string takeNotice() override;
    void setBlockHint(uint32_t bytes) override { blockHint_ = bytes; }
    // The graph's sources and sinks by node name, shown by their descriptions.
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

    // Called on PipeWire's realtime thread.
    void Process();
    // Called on PipeWire's loop thread.
    void Fault(const std::string& text);
    // Called on PipeWire's loop thread, as the registry announces and removes nodes.
    void NodeAdded(uint32_t id, const char* mediaClass, const char* name, const char* description);
    void NodeRemoved(uint32_t id);
    // Called on PipeWire's loop thread when the server has answered the sync of this number.
    void Synced(int seq);

private:
    MMRESULT Open(bool capture, void* handle, const PCMWAVEFORMAT& format, uint32_t flags, Device** out);
    MMRESULT Reset(Device* d);
    MMRESULT Close(Device* d);
    // Runs fn on the realtime thread, or in its place while it waits, and returns after it.
    template <typename Fn>
    void OnAudioThread(Fn&& fn);
    // Hands every buffer back and refuses new ones, so that the stop never waits for a
    // server that is gone. Called on the loop thread.
    void GiveUp();

    bool connected_ = false;
    std::string connectError_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_data_loop* dataLoop_ = nullptr;
    struct Listener;
    Listener* coreListener_ = nullptr;
    pw_registry* registry_ = nullptr;
    struct RegistryListener;
    RegistryListener* registryListener_ = nullptr;

    // The graph's audio devices as the registry told them; the loop thread writes, the UI reads.
    struct Node {
        std::string name;
        std::string description;
        bool source = false;
        bool sink = false;
    };
    mutable std::mutex nodesLock_;
    std::map<uint32_t, Node> nodes_;
    mutable int syncAsked_ = -1; // under the loop's lock
    int syncDone_ = -1;          // under the loop's lock

    uint32_t blockHint_ = 0;
    uint32_t rate_ = 0;
    std::atomic<Device*> in_{nullptr};
    std::atomic<Device*> out_{nullptr};
    std::atomic<bool> dead_{false};
    GlitchCounts counts_;

    // The realtime thread's own.
    bool led_ = false;
    uint64_t lastTicks_ = 0;
    uint32_t lastQuantum_ = 0;
    // The graph's period once two cycles agree on it, and its rate.
    std::atomic<uint32_t> quantum_{0};
    std::atomic<uint32_t> graphRate_{0};
    // The frames, at the stream's rate, that the output waits behind the input.
    std::atomic<uint32_t> leadFrames_{0};
    uint32_t noticedQuantum_ = 0; // the UI thread's own

    std::mutex faultLock_;
    std::string fault_;
};

} // namespace wave
