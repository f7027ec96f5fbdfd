#pragma once
// A wave service for tests: nothing plays; the test decides when each queued buffer
// completes and which call fails. Completions and close messages are delivered at once on
// the thread that asks for them, as a real device's callback thread would deliver them.

#include "platform/wave/Wave.h"

#include <deque>
#include <map>
#include <memory>
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
    // The next `times` calls of this kind return code (times < 0: every call from now on).
    void fail(Call call, MMRESULT code, int times = -1);

    // The oldest queued capture buffer comes back full of `fill` (repeated to its length).
    // False when none is queued or capture has not started.
    bool completeInput(const std::vector<int16_t>& fill = {0});
    // The oldest written playback buffer comes back played. False when none is waiting.
    bool completeOutput();

    size_t queuedInput() const { return input_ ? input_->queue.size() : 0; }
    size_t queuedOutput() const { return output_ ? output_->queue.size() : 0; }
    bool inputStarted() const { return input_ && input_->started; }
    // Every call in order, by name, e.g. "waveInOpen(query)".
    const std::vector<std::string>& log() const { return log_; }

    // What counters(), latencyMs(), name() and takeFault() give; a test sets them.
    WaveCounters scriptedCounters;
    double scriptedLatencyMs = -1.0;
    const char* scriptedName = "none";
    const char* name() const override { return scriptedName; }
    std::string scriptedFault;
    WaveCounters counters() const override { return scriptedCounters; }
    // The device lists a test sets.
    std::vector<DeviceChoice> scriptedInputs;
    std::vector<DeviceChoice> scriptedOutputs;
    std::vector<DeviceChoice> devices(bool capture) const override { return capture ? scriptedInputs : scriptedOutputs; }
    double latencyMs() const override { return scriptedLatencyMs; }
    std::string takeFault() override { return std::exchange(scriptedFault, std::string()); }

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

private:
    template <typename Base, typename Proc>
    struct Device final : Base {
        Proc callback = nullptr;
        uintptr_t instance = 0;
        std::deque<WAVEHDR*> queue;
        bool started = false;
    };
    using In = Device<WaveInDevice, WaveInProc>;
    using Out = Device<WaveOutDevice, WaveOutProc>;

    // The scripted result of this call, logging it; 0 when nothing is scripted.
    MMRESULT scripted(Call call, const std::string& name);
    template <typename D, typename Handle, typename Proc>
    MMRESULT open(std::unique_ptr<D>& slot, Call query, Call real, const char* name, Handle* device,
                  const PCMWAVEFORMAT& format, Proc callback, uintptr_t instance, uint32_t flags);
    // Hands the oldest queued buffer back with its message; false when none is queued.
    template <typename D>
    static bool complete(D* d, uint32_t msg);
    template <typename D>
    MMRESULT enqueue(D* d, Call call, const char* name, WAVEHDR* header);
    template <typename D>
    MMRESULT close(std::unique_ptr<D>& slot, D* d, Call call, const char* name, uint32_t msg);
    In* in(HWAVEIN device) const;
    Out* out(HWAVEOUT device) const;

    std::map<Call, std::deque<MMRESULT>> once_;
    std::map<Call, MMRESULT> always_;
    std::vector<std::string> log_;
    std::unique_ptr<In> input_;
    std::unique_ptr<Out> output_;
};

} // namespace wave
