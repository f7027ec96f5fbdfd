#pragma once
// The wave engine over a device the test plays: nothing sounds; the test decides when each
// queued buffer completes and which call fails. Completions and close messages are
// delivered at once on the thread that asks for them, as a device's audio thread would.

#include "platform/wave/Engine.h"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace wave {

enum class Call {
    InQuery, OutQuery, InOpen, OutOpen,
    InPrepare, InUnprepare, InAddBuffer, InStart, InReset, InClose,
    OutPrepare, OutUnprepare, OutWrite, OutReset, OutClose,
};

class ScriptedWaveService final : public WaveService {
public:
    ScriptedWaveService();

    // The next `times` calls of this kind return code (times < 0: every call from now on).
    void fail(Call call, MMRESULT code, int times = -1);

    // The oldest queued capture buffer comes back full of `fill` (repeated to its length).
    // False when none is queued or capture has not started.
    bool completeInput(const std::vector<int16_t>& fill = {0});
    // The oldest written playback buffer comes back played. False when none is waiting.
    bool completeOutput();
    // The server came back after it went away: the next input completed follows the time
    // without it.
    void resume() { device_->client->resumed(); }

    size_t queuedInput() const { return engine_.held(Side::Capture); }
    size_t queuedOutput() const { return engine_.held(Side::Playback); }
    bool inputStarted() const { return device_->started; }
    // Every call in order, by name, e.g. "waveInOpen(query)".
    const std::vector<std::string>& log() const { return log_; }

    // What the device reports; a test sets them.
    WaveCounters scriptedCounters;
    double scriptedLatencyMs = -1.0;
    const char* scriptedName = "none";
    std::string scriptedFault;
    std::vector<DeviceChoice> scriptedInputs;
    std::vector<DeviceChoice> scriptedOutputs;

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

    void setBlockHint(uint32_t bytes) override;
    std::vector<DeviceChoice> devices(bool capture) const override { return engine_.devices(capture); }
    WaveCounters counters() const override { return engine_.counters(); }
    const char* name() const override { return engine_.name(); }
    double latencyMs() const override { return engine_.latencyMs(); }
    std::string takeFault() override { return engine_.takeFault(); }
    std::string takeNotice() override { return engine_.takeNotice(); }
    uint64_t takeOutageFrames() override { return engine_.takeOutageFrames(); }
    bool faulted() const override { return engine_.faulted(); }

private:
    // The device under the engine, played by the test.
    struct Device final : DuplexDevice {
        explicit Device(ScriptedWaveService& owner) : service(owner) {}

        const char* name() const override { return service.scriptedName; }
        bool supports(uint32_t rate) const override { return rate > 0; }
        MMRESULT open(Side side, const StreamFormat& format, AudioClient& audio) override;
        MMRESULT start() override { started = true; return MMSYSERR_NOERROR; }
        void stop() override { started = false; }
        void close(Side) override {}
        void exclusive(const std::function<void()>& fn) override { fn(); }
        void addCounters(WaveCounters& c) const override;
        double latencyMs(uint32_t) const override { return service.scriptedLatencyMs; }
        std::vector<DeviceChoice> devices(bool capture) const override
        {
            return capture ? service.scriptedInputs : service.scriptedOutputs;
        }
        std::string takeFault() override { return std::exchange(service.scriptedFault, std::string()); }

        ScriptedWaveService& service;
        AudioClient* client = nullptr;
        uint32_t blockBytes = 0;
        bool started = false;
    };

    // The scripted result of this call, logging it; 0 when nothing is scripted.
    MMRESULT scripted(Call call, const std::string& name);

    Device* device_;
    WaveEngine engine_;
    std::map<Call, std::deque<MMRESULT>> once_;
    std::map<Call, MMRESULT> always_;
    std::vector<std::string> log_;
};

} // namespace wave
