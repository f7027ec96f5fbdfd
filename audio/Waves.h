#pragma once
// The duplex stream: a quarter of a second of empty capture buffers queued at the input;
// each buffer that comes back full is filtered in place, written to the output, offered to
// the processed-block hook and replaced by a fresh one; a played buffer is released. The
// stop sequence lets both devices hand back every buffer before it resets and closes them.

#include "audio/BufferPool.h"
#include "audio/Levels.h"
#include "platform/wave/Wave.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Receives every processed block (final false), and the recorder's own final call.
// Called on the capture callback thread.
using ProcessedBlockHookFn = void (*)(const void* buffer, uint32_t length, bool final);
extern std::atomic<ProcessedBlockHookFn> ProcessedBlockHook;

// The number of buffers that hold a quarter of a second, rounded to nearest with ties to
// even, in extended precision; 0 when a buffer holds that much or more.
int32_t CaptureBufferCount(uint32_t sampleRate, uint32_t blockLength);

// How the stop sequence's waits serve the user interface.
struct UiPump {
    // Handles the events already pending. UI thread only.
    std::function<void()> handlePending;
    // Blocks until an event arrives, then handles it, or until the time is up. UI thread only.
    std::function<void(std::chrono::milliseconds)> waitForEvent;
    // Makes a waitForEvent return. Called on the callback threads, realtime ones included:
    // it must not lock or allocate.
    std::function<void()> wake;
};

// What the stream says when the buffer size gives it nothing to play.
std::string SilentBufferSizeText(uint32_t sampleRate, uint32_t blockLength);

// What the stream says, alone, when neither a sound server nor a sound card answers.
inline constexpr const char* kNoSoundDeviceText =
    "Vobblix found no sound device: no PipeWire or JACK server answered and the system lists no sound card, so "
    "there is no sound. Start your desktop's sound server (PipeWire) or connect a sound card, then start Vobblix "
    "again. The windows work meanwhile.";

// A pump for a program without an event loop: waiting blocks until woken.
UiPump StandalonePump();

class TfrmWaves {
public:
    // UI thread only.
    TfrmWaves(wave::WaveService& service, const std::atomic<bool>& stopping, UiPump pump);
    ~TfrmWaves();
    TfrmWaves(const TfrmWaves&) = delete;
    TfrmWaves& operator=(const TfrmWaves&) = delete;

    // Opens the streams. UI thread only.
    void FormCreate();
    // UI thread only.
    void OpenStreams();
    // UI thread only.
    void StartCapture();
    // Entered with the stop flag set; returns when both devices are reset and closed.
    // UI thread only.
    void StopAudio();

    // The devices' callbacks; the instance value is the stream.
    // Called on the capture callback thread.
    static void OnCaptureDone(wave::HWAVEIN device, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t);
    // Called on the playback callback thread.
    static void OnPlaybackDone(wave::HWAVEOUT device, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t);

    // A device slot: set from the open attempt on, empty again at the close message.
    template <typename Handle>
    struct Slot {
        std::atomic<bool> set{false};
        std::atomic<Handle> handle{nullptr};
    };

    Slot<wave::HWAVEIN> InputDevice;
    Slot<wave::HWAVEOUT> OutputDevice;
    std::atomic<int32_t> InFlightOut{0};
    std::atomic<int32_t> InFlightIn{0};
    std::atomic<bool> OutputDrained{false};
    std::atomic<bool> InputDrained{false};
    // What came in and what went out, for the meters.
    PeakLevel InputLevel;
    PeakLevel OutputLevel;

    // The service the stream plays through, for the status line's figures.
    const wave::WaveService& service() const { return service_; }

    // Buffers allocated and released over the stream's life. Any thread.
    uint64_t buffersAllocated() const { return allocated_.load(); }
    uint64_t buffersReleased() const { return released_.load(); }
    // Buffers that did not fit the pool sized at open. Any thread.
    uint64_t heapBuffers() const { return pool_.heapBuffers(); }

    // Shows what the callbacks could not show themselves (they may run on a realtime thread
    // that must not open a box): each failed call once, with its text; a fault the service
    // found; and, at most once a second each, a warning line when the sound glitched and one
    // when the server changed its period.
    // UI thread only; the main window calls it from a timer, the stop sequence while it waits.
    void DeliverReports();
    // The same, with the time given, for tests.
    void DeliverReports(std::chrono::steady_clock::time_point now);

private:
    // Calls the callbacks make that can fail, in the order of a block's road.
    enum class Failure : uint8_t { InUnprepare, OutPrepare, OutWrite, InPrepare, InAddBuffer, OutUnprepare, Count };
    // Called on the callback threads.
    void Defer(Failure failure);
    // A failure of the open's own calls, shown once per open. UI thread only.
    void ReportOnceAtOpen(Failure failure, const char* text);

    // The chosen device when the service has it, else the default (empty), with the text that
    // says so added to notConnected. UI thread only.
    std::string Present(bool capture, const std::string& chosen, std::vector<std::string>& notConnected);
    wave::WAVEHDR* NewBuffer(uint32_t length);
    void Release(wave::WAVEHDR* header);
    // Releases a played buffer once both the output and the hook are done with it.
    void Unhold(wave::WAVEHDR* header);
    bool QueueCaptureBuffer(bool fromCallback);
    // Serves the UI until done, or until the in-flight count has not moved for a while.
    void WaitUntil(const std::function<bool()>& done, const std::atomic<int32_t>& inFlight);
    bool InputCanReturn() const;
    bool OutputCanReturn() const;

    wave::WaveService& service_;
    const std::atomic<bool>& stopping_;
    UiPump pump_;
    std::atomic<bool> captureStarted_{false};
    std::atomic<uint64_t> allocated_{0};
    std::atomic<uint64_t> released_{0};
    BufferPool pool_;
    std::array<std::atomic<uint32_t>, size_t(Failure::Count)> deferred_{};
    uint32_t shownAtOpen_ = 0;
    // Neither device opened and the system lists none: that was said once, and nothing else is.
    bool noSoundDevice_ = false;
    wave::WaveCounters warned_;
    std::chrono::steady_clock::time_point lastWarning_{};
    // The latest notice not yet told, and how many came since the last one told.
    std::string heldNotice_;
    uint32_t heldNotices_ = 0;
    std::chrono::steady_clock::time_point lastNotice_{};
};
