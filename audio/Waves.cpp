#include "audio/Waves.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/Report.h"
#include "platform/thread/Doorbell.h"
#include "platform/thread/ThreadPriority.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>

std::atomic<ProcessedBlockHookFn> ProcessedBlockHook{nullptr};

namespace {

using namespace wave;

constexpr long double kQueueSeconds = 0.25L;
// Far beyond any sane setting (2-byte buffers at 44100 Hz need 11025); stops an edited
// store from queueing millions of buffers.
constexpr int32_t kMaxCaptureBuffers = 16384;
// The played buffer is owned by the output and by the hook until both let go.
constexpr uintptr_t kOwnersWhilePlayingAndHooked = 2;
// Besides the buffers queued at the input, the pool holds as many again for the output and
// a few for the blocks in between: the output of a same-cycle server holds one or two.
constexpr uint32_t kSpareBuffers = 16;
// One 16-bit sample.
constexpr uint32_t kSmallestBlock = 2;
// The stop waits this long, or this many blocks if longer, for a buffer to come back before
// it resets the device.
constexpr auto kStopPatience = std::chrono::milliseconds(1000);
constexpr int kStopPatienceBlocks = 4;
// Glitch warnings go to standard error at most this often.
constexpr auto kWarningInterval = std::chrono::seconds(1);
// Silence handed to the hook in pieces of this many bytes.
constexpr uint8_t kSilence[4096] = {};

// What a failed call in a callback reports, in the order of TfrmWaves::Failure.
constexpr const char* kDeferredTexts[] = {
    "Could not waveInUnprepareHeader.", "Could not waveOutPrepareHeader.", "Could not waveOutWrite.",
    "Could not waveInPrepareHeader.",   "Could not waveInAddBuffer.",      "Could not waveOutUnprepareHeader",
};

template <typename T>
T* FromParam(uintptr_t p) { return reinterpret_cast<T*>(p); }

} // namespace

int32_t CaptureBufferCount(uint32_t sampleRate, uint32_t blockLength)
{
    if (blockLength == 0 || sampleRate == 0)
        return 0;
    const long double seconds = static_cast<long double>(blockLength) / (static_cast<long double>(sampleRate) * 2.0L);
    const long double count = std::nearbyint(kQueueSeconds / seconds);
    return count > kMaxCaptureBuffers ? kMaxCaptureBuffers : static_cast<int32_t>(count);
}

UiPump StandalonePump()
{
    auto bell = std::make_shared<thread::Doorbell>();
    return UiPump{
        [] {},
        [bell](std::chrono::milliseconds timeout) { bell->wait(timeout); },
        [bell] { bell->ring(); },
    };
}

TfrmWaves::TfrmWaves(wave::WaveService& service, const std::atomic<bool>& stopping, UiPump pump)
    : service_(service), stopping_(stopping), pump_(std::move(pump))
{
}

TfrmWaves::~TfrmWaves() = default;

void TfrmWaves::FormCreate()
{
    OpenStreams();
}

WAVEHDR* TfrmWaves::NewBuffer(uint32_t length)
{
    // The data block is not cleared: the device fills it before anyone reads it.
    WAVEHDR* header = pool_.acquire(length);
    allocated_.fetch_add(1, std::memory_order_relaxed);
    return header;
}

void TfrmWaves::Release(WAVEHDR* header)
{
    pool_.release(header);
    released_.fetch_add(1, std::memory_order_relaxed);
}

void TfrmWaves::Defer(Failure failure)
{
    // A call that failed because the service gave up has been said by the fault's report.
    if (service_.faulted())
        return;
    deferred_[size_t(failure)].fetch_add(1, std::memory_order_release);
    pump_.wake();
}

void TfrmWaves::DeliverReports()
{
    DeliverReports(std::chrono::steady_clock::now());
}

void TfrmWaves::DeliverReports(std::chrono::steady_clock::time_point now)
{
    // The cause first: a server that went away makes the calls after it fail too, and each
    // box holds the next until it is closed. Once the user asked to stop, a box would hold
    // the stop itself: the failures then only go to standard error.
    const auto show = stopping_.load() ? &report::ErrorLine : &report::Error;
    if (const std::string fault = service_.takeFault(); !fault.empty())
        show(fault);
    // A server that went away and came back is told as it happens, and needs no box: the
    // sound comes back by itself.
    for (std::string news = service_.takeOutageNews(); !news.empty(); news = service_.takeOutageNews())
        report::Warning(news);
    for (size_t i = 0; i < deferred_.size(); ++i)
        if (deferred_[i].exchange(0, std::memory_order_acq_rel) > 0)
            show(kDeferredTexts[i]);
    // A graph whose period flaps would say so every cycle: the changes are folded, at most
    // one line a second, the latest with how many there were.
    if (std::string notice = service_.takeNotice(); !notice.empty()) {
        heldNotice_ = std::move(notice);
        ++heldNotices_;
    }
    if (heldNotices_ > 0 && now - lastNotice_ >= kWarningInterval) {
        if (heldNotices_ > 1)
            heldNotice_ += " (" + std::to_string(heldNotices_) + " changes of the period since the last warning)";
        report::Warning(heldNotice_);
        heldNotice_.clear();
        heldNotices_ = 0;
        lastNotice_ = now;
    }

    // While stopping, the output plays out and then runs dry by design: that is no glitch.
    if (stopping_.load() || now - lastWarning_ < kWarningInterval)
        return;
    const WaveCounters c = service_.counters();
    if (c.pauses != warned_.pauses) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "Vobblix did not run for %.1f s: there was no sound meanwhile, and a recording misses that time",
                      double(c.pausedNs - warned_.pausedNs) / 1e9);
        report::Warning(text);
        warned_.pauses = c.pauses;
        warned_.pausedNs = c.pausedNs;
    }
    // Only what was heard is told: an underrun the output's cushion absorbed left no gap.
    const uint64_t silence = c.underrunFrames - warned_.underrunFrames;
    const uint64_t lost = c.overrunFrames - warned_.overrunFrames;
    if (silence == 0 && lost == 0) {
        warned_ = c;
        return;
    }
    std::string heard;
    char part[100];
    if (silence > 0) {
        // Silence while the output filled its cushion again (after a stall, or when a server came
        // back) is heard, though no underrun was counted for it.
        const uint64_t underruns = c.underruns - warned_.underruns;
        if (underruns > 0)
            std::snprintf(part, sizeof part, "%" PRIu64 " playback underruns (%" PRIu64 " frames of silence)",
                          underruns, silence);
        else
            std::snprintf(part, sizeof part, "%" PRIu64 " frames of silence in playback", silence);
        heard = part;
    }
    if (lost > 0) {
        std::snprintf(part, sizeof part, "%" PRIu64 " capture overruns (%" PRIu64 " frames lost)",
                      c.overruns - warned_.overruns, lost);
        heard += (heard.empty() ? "" : " and ") + std::string(part);
    }
    const std::string text =
        "the sound glitched: " + heard + " since the last warning; a larger buffer size helps";
    report::Warning(text);
    warned_ = c;
    lastWarning_ = now;
}

void TfrmWaves::Unhold(WAVEHDR* header)
{
    if (std::atomic_ref<uintptr_t>(header->dwUser).fetch_sub(1, std::memory_order_acq_rel) == 1)
        Release(header);
}

bool TfrmWaves::QueueCaptureBuffer(bool fromCallback)
{
    // Only buffers the device accepted are counted, so that the stop sequence never waits
    // for a buffer that cannot come back.
    const uint32_t length = Settings.memBlockLength.load(std::memory_order_relaxed);
    WAVEHDR* header = NewBuffer(length);
    const HWAVEIN in = InputDevice.handle.load();
    if (service_.waveInPrepareHeader(in, header) != MMSYSERR_NOERROR) {
        if (fromCallback)
            Defer(Failure::InPrepare);
        else
            ReportOnceAtOpen(Failure::InPrepare, "Could not waveInPrepareHeader");
    }
    InFlightIn.fetch_add(1);
    if (service_.waveInAddBuffer(in, header) != MMSYSERR_NOERROR) {
        InFlightIn.fetch_sub(1);
        if (fromCallback)
            Defer(Failure::InAddBuffer);
        else
            ReportOnceAtOpen(Failure::InAddBuffer, "Could not waveInAddBuffer");
        Release(header);
        return false;
    }
    return true;
}

void TfrmWaves::ReportOnceAtOpen(Failure failure, const char* text)
{
    if (service_.faulted())
        return;
    // Every buffer of the open fails alike; one box says it, a box per buffer would bury
    // the program under thousands.
    const uint32_t bit = 1u << unsigned(failure);
    if (shownAtOpen_ & bit)
        return;
    shownAtOpen_ |= bit;
    report::Error(text);
}

std::string SilentBufferSizeText(uint32_t rate, uint32_t blockLength)
{
    const uint32_t largest = settings::LargestBlockLength(rate);
    char text[300];
    if (blockLength < kSmallestBlock)
        std::snprintf(text, sizeof text,
                      "The buffer size of %u bytes holds no whole sample, so there is no sound. Choose an even "
                      "buffer size from 2 to %u bytes in Menu > Settings and restart Vobblix.",
                      blockLength, largest);
    else
        std::snprintf(text, sizeof text,
                      "The buffer size of %u bytes is half a second or more at %u Hz, so there is no sound. Choose "
                      "an even buffer size from 2 to %u bytes in Menu > Settings and restart Vobblix.",
                      blockLength, rate, largest);
    return text;
}

std::string TfrmWaves::Present(bool capture, const std::string& chosen, std::vector<std::string>& notConnected)
{
    if (chosen.empty())
        return chosen;
    for (const wave::DeviceChoice& d : service_.devices(capture))
        if (d.id == chosen)
            return chosen;
    // The store keeps the choice: the device is used again once it is back.
    notConnected.push_back(std::string("The ") + (capture ? "input" : "output") + " device \"" + chosen +
                           "\" is not connected. Vobblix uses the system default " + (capture ? "input" : "output") +
                           " until it is back.");
    return {};
}

void TfrmWaves::OpenStreams()
{
    thread::SetCurrentThreadPriority(Settings.Priority);
    shownAtOpen_ = 0;

    const uint32_t rate = Settings.SampleRate.load();
    PCMWAVEFORMAT format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec = rate * 2;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    service_.setBlockHint(Settings.memBlockLength.load());
    std::vector<std::string> notConnected;
    const std::string input = Present(true, Settings.InputDevice, notConnected);
    service_.setDevices(input, Present(false, Settings.OutputDevice, notConnected));

    const bool playFormat =
        service_.waveOutOpen(nullptr, WAVE_MAPPER, format, nullptr, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR;
    const bool recordFormat =
        service_.waveInOpen(nullptr, WAVE_MAPPER, format, nullptr, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR;

    OutputDrained = false;
    InputDrained = false;

    HWAVEOUT out = nullptr;
    OutputDevice.set = true;
    if (service_.waveOutOpen(&out, WAVE_MAPPER, format, &OnPlaybackDone, reinterpret_cast<uintptr_t>(this),
                             CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        out = nullptr;
    OutputDevice.handle = out;

    HWAVEIN in = nullptr;
    InputDevice.set = true;
    if (service_.waveInOpen(&in, WAVE_MAPPER, format, &OnCaptureDone, reinterpret_cast<uintptr_t>(this),
                            CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        in = nullptr;
    InputDevice.handle = in;

    InFlightIn = 0;
    InFlightOut = 0;

    // With no device at all every call after this fails too: one sentence says what is
    // missing, where the calls' own texts would give a box each.
    noSoundDevice_ = !out && !in && service_.devices(true).empty() && service_.devices(false).empty();
    if (noSoundDevice_) {
        report::Error(kNoSoundDeviceText);
        return;
    }
    for (const std::string& text : notConnected)
        report::Information(text);
    if (!playFormat)
        report::Error("Play format is not supported by your sound card device.");
    if (!recordFormat)
        report::Error("Record format is not supported by your sound card device.");
    if (!out)
        report::Plain("Problem creating play handle", "Error");
    if (!in)
        report::Plain("Problem creating record handle", "Error");

    const uint32_t blockLength = Settings.memBlockLength.load();
    // A buffer that holds no sample, or none at all in the queue, would play silence.
    const int32_t count = blockLength < kSmallestBlock ? 0 : CaptureBufferCount(rate, blockLength);
    if (count == 0) {
        report::Error(SilentBufferSizeText(rate, blockLength));
        return;
    }
    pool_.reserve(uint32_t(count) * 2 + kSpareBuffers, blockLength);
    for (int32_t i = 0; i < count; ++i)
        QueueCaptureBuffer(false);
}

void TfrmWaves::StartCapture()
{
    if (noSoundDevice_)
        return;
    if (service_.waveInStart(InputDevice.handle.load()) != MMSYSERR_NOERROR) {
        report::Error("Unable to start waveInStart()");
        return;
    }
    captureStarted_ = true;
}

void TfrmWaves::OnCaptureDone(HWAVEIN, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t)
{
    auto* self = FromParam<TfrmWaves>(instance);
    if (msg == WIM_CLOSE) {
        self->InputDevice.handle = nullptr;
        self->InputDevice.set = false;
        self->pump_.wake();
        return;
    }
    if (msg != WIM_DATA)
        return;

    WAVEHDR* h = FromParam<WAVEHDR>(param1);
    if (self->service_.waveInUnprepareHeader(self->InputDevice.handle.load(), h) != MMSYSERR_NOERROR)
        self->Defer(Failure::InUnprepare);
    const int32_t inFlight = self->InFlightIn.fetch_sub(1) - 1;

    if (self->stopping_.load()) {
        if (inFlight <= 0) {
            self->InputDrained = true;
            self->pump_.wake();
        }
        self->Release(h);
        return;
    }

    const auto samples = static_cast<int32_t>(h->dwBufferLength >> 1);
    self->InputLevel.feed(reinterpret_cast<const int16_t*>(h->lpData), samples);
    ProcessBuffer(reinterpret_cast<int16_t*>(h->lpData), samples);
    self->OutputLevel.feed(reinterpret_cast<const int16_t*>(h->lpData), samples);

    const HWAVEOUT out = self->OutputDevice.handle.load();
    if (self->service_.waveOutPrepareHeader(out, h) != MMSYSERR_NOERROR)
        self->Defer(Failure::OutPrepare);
    // The block must outlive the hook even when the output hands it back first.
    h->dwUser = kOwnersWhilePlayingAndHooked;
    self->InFlightOut.fetch_add(1);
    if (self->service_.waveOutWrite(out, h) != MMSYSERR_NOERROR) {
        self->InFlightOut.fetch_sub(1);
        h->dwUser = 1;
        self->Defer(Failure::OutWrite);
    }

    // The time the server was away is silence in a take, ahead of the first block after it,
    // so that the take keeps to the clock. The device fills and plays whole samples: an odd
    // buffer's last byte is not sound.
    const uint64_t owed = self->service_.takeOutageFrames() * 2;
    if (auto hook = ProcessedBlockHook.load()) {
        for (uint64_t left = owed; left > 0;) {
            const auto n = uint32_t(std::min<uint64_t>(left, sizeof kSilence));
            hook(kSilence, n, false);
            left -= n;
        }
        hook(h->lpData, h->dwBufferLength & ~1u, false);
    }
    self->Unhold(h);

    self->QueueCaptureBuffer(true);
}

void TfrmWaves::OnPlaybackDone(HWAVEOUT, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t)
{
    auto* self = FromParam<TfrmWaves>(instance);
    if (msg == WOM_CLOSE) {
        self->OutputDevice.handle = nullptr;
        self->OutputDevice.set = false;
        self->pump_.wake();
        return;
    }
    if (msg != WOM_DONE)
        return;

    WAVEHDR* h = FromParam<WAVEHDR>(param1);
    if (self->service_.waveOutUnprepareHeader(self->OutputDevice.handle.load(), h) != MMSYSERR_NOERROR)
        self->Defer(Failure::OutUnprepare);
    self->Unhold(h);
    const int32_t inFlight = self->InFlightOut.fetch_sub(1) - 1;
    if (self->stopping_.load() && inFlight <= 0) {
        self->OutputDrained = true;
        self->pump_.wake();
    }
}

bool TfrmWaves::InputCanReturn() const
{
    return InputDevice.handle.load() && captureStarted_.load() && InFlightIn.load() > 0;
}

bool TfrmWaves::OutputCanReturn() const
{
    return OutputDevice.handle.load() && InFlightOut.load() > 0;
}

void TfrmWaves::WaitUntil(const std::function<bool()>& done, const std::atomic<int32_t>& inFlight)
{
    // A device that stops handing buffers back (a server that stalled or went away, a stream
    // stopped before its first cycle) must not hold the stop for ever: once none has come
    // back for a while, the reset that follows hands them all back at once.
    const auto blockTime = std::chrono::milliseconds(
        1000LL * Settings.memBlockLength.load() / (2LL * std::max<uint32_t>(Settings.SampleRate.load(), 1)));
    const auto patience = std::max<std::chrono::milliseconds>(kStopPatience, kStopPatienceBlocks * blockTime);
    int32_t seen = inFlight.load();
    auto since = std::chrono::steady_clock::now();
    for (;;) {
        pump_.handlePending();
        DeliverReports();
        if (done())
            return;
        const auto now = std::chrono::steady_clock::now();
        if (const int32_t left = inFlight.load(); left != seen) {
            seen = left;
            since = now;
        } else if (now - since >= patience) {
            return;
        }
        pump_.waitForEvent(std::chrono::ceil<std::chrono::milliseconds>(patience - (now - since)));
    }
}

void TfrmWaves::StopAudio()
{
    WaitUntil([this] { return InputDrained.load() || !InputCanReturn(); }, InFlightIn);
    if (InputDevice.set.load())
        service_.waveInReset(InputDevice.handle.load());
    if (InputDevice.set.load())
        service_.waveInClose(InputDevice.handle.load());

    WaitUntil([this] { return OutputDrained.load() || !OutputCanReturn(); }, InFlightOut);
    if (OutputDevice.set.load())
        service_.waveOutReset(OutputDevice.handle.load());
    if (OutputDevice.set.load())
        service_.waveOutClose(OutputDevice.handle.load());
}
