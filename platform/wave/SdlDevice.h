#pragma once
// The duplex device over SDL2 audio: a capture device and a playback device, S16 mono at
// the stream's rate (SDL converts when the card differs), each run by an SDL thread of its
// own pace that hands bytes to and from the engine, which filters on the capture's. The
// output follows the input's clock, since the two threads never keep quite the same pace.
// SDL does not say when the server played silence because its output ran dry: the pace at
// which the output is asked for sound tells it, and it counts with the glitches.

#include "platform/wave/ClockFollower.h"
#include "platform/wave/Duplex.h"
#include "platform/wave/PaceWatch.h"

#include <cstdint>
#include <vector>

namespace wave {

class SdlDevice final : public DuplexDevice {
public:
    // Initialises SDL's audio subsystem, asking for its drivers in the order pipewire,
    // pulseaudio, alsa unless SDL_AUDIODRIVER is set; a failure makes every open fail.
    // UI thread only.
    SdlDevice();
    ~SdlDevice() override;
    SdlDevice(const SdlDevice&) = delete;
    SdlDevice& operator=(const SdlDevice&) = delete;

    // The frames of one SDL period for a buffer of this many bytes: the largest power of two
    // at or below the buffer's sample count, at least 64.
    static uint32_t PeriodFrames(uint32_t blockBytes);

    const char* name() const override { return name_; }
    bool supports(uint32_t rate) const override { return ready_ && rate > 0; }
    MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) override;
    MMRESULT start() override;
    void stop() override;
    void close(Side side) override;
    void exclusive(const std::function<void()>& fn) override;
    // SDL's device names, which are also what it opens them by.
    std::vector<DeviceChoice> devices(bool capture) const override;
    // The follower's corrections, and the silences the server played as underruns.
    void addCounters(WaveCounters& counters) const override;

private:
    // What the playback thread works with; set up before the output runs.
    struct Output {
        AudioClient* client = nullptr;
        ClockFollower follower;
        PaceWatch pace;
        std::vector<int16_t> scratch;
    };
    // Called on SDL's playback thread.
    static void Play(void* output, uint8_t* stream, int len);

    Output output_;
    bool ready_ = false;
    char name_[48] = "SDL";
    uint32_t capture_ = 0;  // SDL's device ids; 0 when closed
    uint32_t playback_ = 0;
};

} // namespace wave
