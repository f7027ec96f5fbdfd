#pragma once
// The wave-audio service the stream is written against: queued capture buffers handed back
// when full, queued playback buffers handed back when played, reset and close, results as
// status codes and completions as messages to a function callback.

#include <cstdint>
#include <string>
#include <vector>

namespace midi { class PedalPort; }

namespace wave {

using MMRESULT = uint32_t;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

inline constexpr uint32_t WOM_OPEN = 0x3BB;
inline constexpr uint32_t WOM_CLOSE = 0x3BC;
inline constexpr uint32_t WOM_DONE = 0x3BD;
inline constexpr uint32_t WIM_OPEN = 0x3BE;
inline constexpr uint32_t WIM_CLOSE = 0x3BF;
inline constexpr uint32_t WIM_DATA = 0x3C0;

inline constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFF;
inline constexpr uint32_t WAVE_FORMAT_QUERY = 0x1;
inline constexpr uint32_t CALLBACK_FUNCTION = 0x30000;
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEHDR {
    char* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
    uint32_t dwLoops = 0;
    WAVEHDR* lpNext = nullptr;
    uintptr_t reserved = 0;
};

struct PCMWAVEFORMAT {
    uint16_t wFormatTag = 0;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
};

// Devices are the service's own; the handles only identify them.
struct WaveInDevice {
    virtual ~WaveInDevice() = default;
};
struct WaveOutDevice {
    virtual ~WaveOutDevice() = default;
};
using HWAVEIN = WaveInDevice*;
using HWAVEOUT = WaveOutDevice*;

// Called on the device's callback thread, one message at a time, in completion order.
using WaveInProc = void (*)(HWAVEIN device, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
using WaveOutProc = void (*)(HWAVEOUT device, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);

// What a service's devices counted since they opened.
struct WaveCounters {
    // Playback frames of silence before the first buffer ever played.
    uint64_t leadingSilenceFrames = 0;
    // Playback frames of silence inserted because no written buffer was waiting, and how
    // many times that happened.
    uint64_t underrunFrames = 0;
    uint64_t underruns = 0;
    // Capture frames dropped because no buffer was queued, and how many times.
    uint64_t overrunFrames = 0;
    uint64_t overruns = 0;
    // Playback frames the card had asked for when capture started: how far the output's
    // clock runs ahead of the input's.
    uint64_t playbackFramesAtCaptureStart = 0;
    // Times the program did not run for a while (stopped, or the machine suspended), and
    // for how long in all, in nanoseconds: the sound stopped meanwhile.
    uint64_t pauses = 0;
    uint64_t pausedNs = 0;
    // Playback callbacks played a few samples longer or shorter so that an output on a clock of
    // its own keeps its distance behind the input.
    uint64_t clockAdjustments = 0;
    // Frames the input delivered and the output asked for, since the service began: their
    // ratio over a while is how fast the two clocks run against each other.
    uint64_t capturedFrames = 0;
    uint64_t playbackFrames = 0;
};

// A device a service can open: the name it is stored and opened by, and the one people know.
struct DeviceChoice {
    std::string id;
    std::string description;
    bool operator==(const DeviceChoice&) const = default;
};

class WaveService {
public:
    virtual ~WaveService() = default;

    // With WAVE_FORMAT_QUERY only asks whether the format can be opened.
    // UI thread only.
    virtual MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const PCMWAVEFORMAT& format, WaveInProc callback,
                                uintptr_t instance, uint32_t flags) = 0;
    // UI thread only.
    virtual MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const PCMWAVEFORMAT& format,
                                 WaveOutProc callback, uintptr_t instance, uint32_t flags) = 0;

    // Called on the UI thread or the device's own callback thread.
    virtual MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header) = 0;
    virtual MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header) = 0;
    virtual MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header) = 0;
    // UI thread only.
    virtual MMRESULT waveInStart(HWAVEIN device) = 0;
    virtual MMRESULT waveInReset(HWAVEIN device) = 0;
    virtual MMRESULT waveInClose(HWAVEIN device) = 0;

    // Called on the capture or playback callback thread, or the UI thread.
    virtual MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header) = 0;
    virtual MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header) = 0;
    virtual MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header) = 0;
    // UI thread only.
    virtual MMRESULT waveOutReset(HWAVEOUT device) = 0;
    virtual MMRESULT waveOutClose(HWAVEOUT device) = 0;

    // The length of the buffers that will be queued, so that a device can size its period
    // and queues before it starts. UI thread only, before the opens.
    virtual void setBlockHint(uint32_t bytes) { (void)bytes; }

    // The capture or playback devices the backend has now, by the names people know; the
    // system default is not among them. May ask the server, briefly. UI thread only.
    virtual std::vector<DeviceChoice> devices(bool capture) const { (void)capture; return {}; }
    // The devices the next opens use, by id; empty for the system default. UI thread only,
    // before the opens.
    void setDevices(const std::string& input, const std::string& output)
    {
        inputDevice_ = input;
        outputDevice_ = output;
    }
    const std::string& inputDevice() const { return inputDevice_; }
    const std::string& outputDevice() const { return outputDevice_; }

    // A snapshot of the devices' glitch counters. Any thread.
    virtual WaveCounters counters() const { return {}; }
    // What the user is told the sound goes through, e.g. "PipeWire". Any thread.
    virtual const char* name() const { return "none"; }
    // How long a sample takes from the input to the output, in milliseconds, as far as the
    // service knows it from its server; below zero when it does not know. UI thread only.
    virtual double latencyMs() const { return -1.0; }
    // A fault the service found on its own (the server went away, a device vanished), as
    // the text to show; empty when none is new. Each fault is told once. UI thread only.
    virtual std::string takeFault() { return {}; }
    // Something the user may want to know that needs no box (the server changed its
    // period), as a warning's text; empty when nothing is new. UI thread only.
    virtual std::string takeNotice() { return {}; }
    // That the server went away or came back (the sound stops and starts again by itself),
    // as a warning's text, each once and in that order; empty when nothing is new. UI thread
    // only.
    virtual std::string takeOutageNews() { return {}; }
    // Frames of sound the server's absence cost since the last call, for a recording to
    // hold as silence. Called on the capture callback thread.
    virtual uint64_t takeOutageFrames() { return 0; }
    // Whether a fault was found: the calls that fail after it fail because of it, and the
    // fault's own report says all there is to say. Any thread.
    virtual bool faulted() const { return false; }

    // The MIDI pedal's port the service carries on its cycle, for the pedal to hold; null
    // where the service's server has no MIDI. UI thread only.
    virtual midi::PedalPort* midiPort() { return nullptr; }

private:
    std::string inputDevice_;
    std::string outputDevice_;
};

// Header bookkeeping shared by every implementation.
MMRESULT PrepareHeader(WAVEHDR* header);
MMRESULT UnprepareHeader(WAVEHDR* header);
// Checks that a header may be queued and marks it queued.
MMRESULT EnqueueHeader(WAVEHDR* header);
// Whether a format is the 16-bit mono PCM this service plays.
bool IsSupportedFormat(const PCMWAVEFORMAT& format);

} // namespace wave
