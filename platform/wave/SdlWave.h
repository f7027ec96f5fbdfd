#pragma once
// The wave service over SDL2 audio: the default capture and playback devices, S16 mono at
// the asked rate (SDL converts when the card differs). SDL's own audio threads only copy
// bytes between the sound card and the queued buffers and ring a doorbell; a completed
// buffer is handed to a callback thread of this service's own, one per device, which calls
// the user's callback.

#include "platform/wave/DeviceCore.h"
#include "platform/wave/Wave.h"

#include <atomic>
#include <cstdint>

namespace wave {

class SdlWaveService final : public WaveService {
public:
    // Initialises SDL's audio subsystem, asking for its drivers in the order pipewire,
    // pulseaudio, alsa unless SDL_AUDIODRIVER is set; a failure makes every open fail.
    // UI thread only.
    SdlWaveService();
    ~SdlWaveService() override;
    SdlWaveService(const SdlWaveService&) = delete;
    SdlWaveService& operator=(const SdlWaveService&) = delete;

    // The frames of one SDL period for a buffer of this many bytes: the largest power of two
    // at or below the buffer's sample count, at least 64.
    static uint32_t PeriodFrames(uint32_t blockBytes);

    // Any thread; the values are a snapshot.
    WaveCounters counters() const override;
    const char* name() const override { return name_; }

    // The oldest capture gap not yet taken; false when none. Gaps past the log's size are
    // only counted (gapsLost).
    // Called on one thread at a time, typically the capture callback thread.
    bool TakeCaptureGap(CaptureGap& gap);
    uint64_t gapsLost() const;

    void setBlockHint(uint32_t bytes) override { blockHint_ = bytes; }
    // SDL's device names, which are also what it opens them by.
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

private:
    // The shared halves of the input's and the output's reset and close.
    MMRESULT Reset(Device* d);
    MMRESULT Close(Device* d);

    bool ready_ = false;
    char name_[48] = "SDL";
    uint32_t blockHint_ = 0;
    std::atomic<Device*> capture_{nullptr};
    std::atomic<Device*> playback_{nullptr};
    std::atomic<uint64_t> playbackFramesAtCaptureStart_{0};
    GlitchCounts counts_;
};

} // namespace wave
