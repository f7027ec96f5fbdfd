#pragma once
// The duplex device over SDL2 audio: a capture device and a playback device, S16 mono at
// the stream's rate (SDL converts when the card differs), each run by an SDL thread of its
// own pace. SDL's threads only copy bytes: the playback thread from the engine, the capture
// thread into a ring that a thread of the device's own hands to the engine, so that the
// filter never slows the capture's pace.

#include "platform/thread/ByteRing.h"
#include "platform/thread/Doorbell.h"
#include "platform/wave/Duplex.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
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
    // Captured periods the hand-over ring had no room for.
    void addCounters(WaveCounters& counters) const override;
    // SDL's device names, which are also what it opens them by.
    std::vector<DeviceChoice> devices(bool capture) const override;

    // Called on SDL's capture thread.
    void Captured(const uint8_t* bytes, uint32_t length);

private:
    // The hand-over thread: gives the engine what SDL captured, in order.
    void HandOver();
    // Gives the engine what the ring holds, unless kept out. On the hand-over thread.
    void Drain();

    bool ready_ = false;
    char name_[48] = "SDL";
    uint32_t capture_ = 0; // SDL's device ids; 0 when closed
    uint32_t playback_ = 0;
    AudioClient* client_ = nullptr;
    std::unique_ptr<thread::ByteRing> ring_;
    std::vector<uint8_t> chunk_; // the hand-over thread's own
    thread::Doorbell captured_;
    std::thread handOver_;
    std::atomic<bool> closing_{false};
    // The handshake that keeps the hand-over thread out while the UI thread works.
    std::atomic<bool> blocked_{false};
    std::atomic<bool> inside_{false};
    std::atomic<uint64_t> droppedFrames_{0};
    std::atomic<uint64_t> drops_{0};
};

} // namespace wave
