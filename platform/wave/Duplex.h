#pragma once
// What a sound backend gives the wave engine: one duplex device whose audio thread hands
// each cycle's captured bytes in and asks for the bytes to play, and nothing of the wave
// protocol. The engine above it owns the buffers, the headers, the messages and the faults.

#include "platform/wave/Wave.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace midi { class PedalPort; }

namespace wave {

enum class Side : uint8_t { Capture, Playback };

// One side's open: 16-bit mono samples at `rate`, in buffers of `blockBytes`, from or to
// the device people chose by its id (empty: the system default).
struct StreamFormat {
    uint32_t rate = 0;
    uint32_t blockBytes = 0;
    std::string device;
};

// The engine as the device's audio thread sees it. Nothing here locks, allocates or waits.
class AudioClient {
public:
    // The cycle's captured samples. Called on the device's capture thread.
    virtual void captured(const uint8_t* src, uint32_t bytes) = 0;
    // Fills dst with the next samples to play, silence where none waits. Called on the
    // device's playback thread.
    virtual void play(uint8_t* dst, uint32_t bytes) = 0;
    // Frames of sound (and of silence set ahead of it) waiting to be played; 0 while the
    // output waits for its first block. Called on the device's playback thread.
    virtual uint32_t waiting() const = 0;
    // How many frames the output runs behind the input: captured and not yet played, in the
    // capture's block under way, queued, or behind silence set ahead of them. Called on the
    // device's playback thread.
    virtual int64_t behind() const = 0;
    // Tells the engine how the capture arrives: cycles of about `cycleFrames` at the stream's
    // rate, of varying length when the server resamples, with the output asking `ahead`
    // frames more than the input brought so far. The engine sets the phase between capture
    // and playback from it so that a block is never late, and returns the frames the output
    // now waits behind the input. Called on the audio thread, at the first cycle that
    // captured and whenever the cycle grows.
    virtual uint32_t phase(uint32_t cycleFrames, bool varies, uint32_t ahead = 0) = 0;
    // The clock of a server that runs capture and playback on threads of their own pace:
    // silence the output plays before the first block and again after it ran dry, so that a
    // block may come that much late without a gap. UI thread only, at the playback side's open.
    virtual void cushion(uint32_t frames) = 0;
    // A server that, at a period change, asks once for more than the input brought: silence
    // an underrun plays in the place of late sound is then skipped from that sound once it
    // is there, so that the output keeps its phase instead of running that much later for
    // good. UI thread only, at the playback side's open.
    virtual void keepPhase() = 0;
    // The server came back after it went away: the time since the input's last cycle had no
    // sound, and a recording holds silence for it; the phase between input and output is set
    // anew. Called on the device's capture thread, right before the first cycle after the
    // return; the device runs its playback on that thread, in the same cycle.
    virtual void resumed() = 0;

protected:
    ~AudioClient() = default;
};

// The first fault a server reports, kept until the UI takes it: what fails after it fails
// because of it, and is not told again.
class FaultLatch {
public:
    // Keeps the text unless a fault was raised already. Any thread but a realtime one: it
    // locks.
    void raise(const std::string& text)
    {
        std::lock_guard lock(lock_);
        if (!raised_.exchange(true, std::memory_order_acq_rel))
            text_ = text;
    }
    // The fault's text once, then empty. UI thread only.
    std::string take()
    {
        std::lock_guard lock(lock_);
        return std::exchange(text_, std::string());
    }
    // Any thread, realtime ones included.
    bool raised() const { return raised_.load(std::memory_order_acquire); }

private:
    std::mutex lock_;
    std::string text_;
    std::atomic<bool> raised_{false};
};

class DuplexDevice {
public:
    virtual ~DuplexDevice() = default;

    // What the user is told the sound goes through, e.g. "PipeWire". Any thread.
    virtual const char* name() const = 0;
    // Whether 16-bit mono at this rate can be opened. UI thread only.
    virtual bool supports(uint32_t rate) const = 0;
    // Opens one side; from then on its audio thread calls the client. Playback runs at once
    // (silence until blocks come); capture waits for start(). UI thread only.
    virtual MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) = 0;
    // Starts the capture. UI thread only.
    virtual MMRESULT start() = 0;
    // Stops the capture until the next start(); the client is not called for it meanwhile.
    // UI thread only.
    virtual void stop() = 0;
    // Closes one side: its audio thread does not call the client once this returns.
    // UI thread only.
    virtual void close(Side side) = 0;
    // Runs fn with every audio thread kept out of the client. UI thread only.
    virtual void exclusive(const std::function<void()>& fn) = 0;

    // Glitches the server counted itself, added to the engine's own. Any thread.
    virtual void addCounters(WaveCounters& counters) const { (void)counters; }
    // How long a sample takes from the input to the output, as the server reports it, in
    // milliseconds; below zero when it does not know. `leadFrames` is the engine's phase.
    // UI thread only.
    virtual double latencyMs(uint32_t leadFrames) const { (void)leadFrames; return -1.0; }
    // The devices of one direction by the names people know. UI thread only.
    virtual std::vector<DeviceChoice> devices(bool capture) const { (void)capture; return {}; }
    // A fault found since the last call (the server went away, a stream was removed), as the
    // text to show; empty when none. Each fault is told once. UI thread only.
    virtual std::string takeFault() { return {}; }
    // A change worth a warning line (the server changed its period); empty when none.
    // UI thread only.
    virtual std::string takeNotice() { return {}; }
    // That the server went away or came back, as a warning's text, each once and in that
    // order; empty when nothing is new. UI thread only.
    virtual std::string takeOutageNews() { return {}; }

    // The MIDI pedal's port, read on this device's cycle; null where the backend has no
    // MIDI. UI thread only.
    virtual midi::PedalPort* midiPort() { return nullptr; }
};

} // namespace wave
