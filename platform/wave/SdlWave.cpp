#include "platform/wave/SdlWave.h"

#include "platform/thread/ThreadPriority.h"

#include <SDL.h>
#include <readerwriterqueue/readerwriterqueue.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace wave {
namespace {

constexpr uint32_t kMinPeriodFrames = 64;
constexpr uint32_t kMaxPeriodFrames = 4096;
constexpr uint32_t kMinQueueCapacity = 64;
// A device holds at most this many seconds of buffers at once; more is refused as "no memory".
// Generous, since a queue slot is only a pointer: a stalled output must not refuse buffers
// long before anyone hears the stall.
constexpr uint32_t kQueueSeconds = 8;
constexpr int32_t kTimeCritical = 2;
// The capture thread looks for full buffers three times a period: each look adds to latency.
// Played buffers only need releasing, so their thread looks far less often.
constexpr auto kMinPoll = std::chrono::microseconds(250);
constexpr auto kMaxCapturePoll = std::chrono::microseconds(4000);
constexpr auto kMaxPlaybackPoll = std::chrono::microseconds(10000);
constexpr uint32_t kPlaybackPollPeriods = 2;
constexpr size_t kGapLogSize = 4096;

using Queue = moodycamel::ReaderWriterQueue<WAVEHDR*>;

uint32_t Usable(const WAVEHDR* h) { return h->dwBufferLength & ~1u; }

} // namespace

struct SdlWaveService::Device final : WaveInDevice, WaveOutDevice {
    Device(SdlWaveService& owner, bool isCapture, uint32_t queueCapacity)
        : service(owner), capture(isCapture), pending(queueCapacity), done(queueCapacity), capacity(queueCapacity)
    {
    }

    SdlWaveService& service;
    const bool capture;
    SDL_AudioDeviceID id = 0;
    WaveInProc inProc = nullptr;
    WaveOutProc outProc = nullptr;
    uintptr_t instance = 0;

    // Queued by add/write, taken by SDL's thread; completed by SDL's thread, taken by ours.
    Queue pending;
    Queue done;
    moodycamel::ReaderWriterQueue<CaptureGap> gaps{kGapLogSize};
    uint64_t streamFrames = 0; // SDL's thread's own: frames the card delivered so far
    const uint32_t capacity;
    std::atomic<uint32_t> held{0};
    std::atomic<uint64_t> queuedBytes{0};

    // SDL's thread's own (touched elsewhere only with the device locked).
    WAVEHDR* current = nullptr;
    uint32_t offset = 0;
    bool everPlayed = false;
    bool prerolling = true;
    uint32_t cushionBytes = 0;
    uint32_t cushionLeft = 0;

    std::thread worker;
    std::atomic<bool> closing{false};
    std::chrono::microseconds poll{kMaxCapturePoll};

    void complete(WAVEHDR* h, uint32_t bytes)
    {
        if (capture)
            h->dwBytesRecorded = bytes;
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        // Cannot fail: no more headers are ever held than the queue was sized for.
        done.try_enqueue(h);
    }

    void deliver(WAVEHDR* h)
    {
        held.fetch_sub(1, std::memory_order_relaxed);
        if (capture)
            inProc(this, WIM_DATA, instance, reinterpret_cast<uintptr_t>(h), 0);
        else
            outProc(this, WOM_DONE, instance, reinterpret_cast<uintptr_t>(h), 0);
    }

    // The callback thread: hands completed buffers to the user in order, and the close
    // message last.
    void run()
    {
        thread::SetCurrentThreadPriority(kTimeCritical);
        for (;;) {
            const bool last = closing.load(std::memory_order_acquire);
            WAVEHDR* h = nullptr;
            while (done.try_dequeue(h))
                deliver(h);
            if (last)
                break;
            std::this_thread::sleep_for(poll);
        }
        if (capture)
            inProc(this, WIM_CLOSE, instance, 0, 0);
        else
            outProc(this, WOM_CLOSE, instance, 0, 0);
    }

    // Called on SDL's capture thread: copies bytes into the oldest queued buffer.
    static void SDLCALL Capture(void* user, Uint8* stream, int len)
    {
        auto* d = static_cast<Device*>(user);
        const Uint8* src = stream;
        auto have = static_cast<uint32_t>(len);
        const uint64_t firstFrame = d->streamFrames;
        d->streamFrames += have / 2;
        while (have > 0) {
            if (!d->current) {
                if (!d->pending.try_dequeue(d->current)) {
                    const uint32_t lost = have / 2;
                    d->service.overrunFrames_.fetch_add(lost, std::memory_order_relaxed);
                    d->service.overruns_.fetch_add(1, std::memory_order_relaxed);
                    const uint64_t at = firstFrame + (uint32_t(len) - have) / 2;
                    if (!d->gaps.try_enqueue(CaptureGap{at, lost}))
                        d->service.gapsLost_.fetch_add(1, std::memory_order_relaxed);
                    return;
                }
                d->offset = 0;
            }
            const uint32_t n = std::min(have, Usable(d->current) - d->offset);
            std::memcpy(d->current->lpData + d->offset, src, n);
            d->offset += n;
            src += n;
            have -= n;
            if (d->offset >= Usable(d->current)) {
                d->complete(d->current, d->offset);
                d->current = nullptr;
            }
        }
    }

    // Called on SDL's playback thread: copies bytes out of the oldest written buffer.
    static void SDLCALL Play(void* user, Uint8* stream, int len)
    {
        auto* d = static_cast<Device*>(user);
        Uint8* dst = stream;
        auto want = static_cast<uint32_t>(len);
        d->service.playbackFrames_.fetch_add(want / 2, std::memory_order_relaxed);
        auto& silence = d->everPlayed ? d->service.underrunFrames_ : d->service.leading_;
        if (d->prerolling) {
            if (d->queuedBytes.load(std::memory_order_acquire) == 0) {
                std::memset(dst, 0, want);
                silence.fetch_add(want / 2, std::memory_order_relaxed);
                return;
            }
            // Start (and restart after running dry) a period behind the first buffer, so that
            // the next buffer may come a period late, as the card's rhythm makes it, without
            // a gap.
            d->prerolling = false;
            d->cushionLeft = d->cushionBytes;
        }
        if (d->cushionLeft > 0) {
            const uint32_t n = std::min(want, d->cushionLeft);
            std::memset(dst, 0, n);
            silence.fetch_add(n / 2, std::memory_order_relaxed);
            d->cushionLeft -= n;
            dst += n;
            want -= n;
        }
        while (want > 0) {
            if (!d->current) {
                if (!d->pending.try_dequeue(d->current))
                    break;
                d->offset = 0;
            }
            const uint32_t n = std::min(want, Usable(d->current) - d->offset);
            std::memcpy(dst, d->current->lpData + d->offset, n);
            d->offset += n;
            dst += n;
            want -= n;
            d->queuedBytes.fetch_sub(n, std::memory_order_relaxed);
            d->everPlayed = true;
            if (d->offset >= Usable(d->current)) {
                d->complete(d->current, 0);
                d->current = nullptr;
            }
        }
        if (want > 0) {
            std::memset(dst, 0, want);
            d->service.underrunFrames_.fetch_add(want / 2, std::memory_order_relaxed);
            d->service.underruns_.fetch_add(1, std::memory_order_relaxed);
            d->prerolling = true;
        }
    }

    MMRESULT enqueue(WAVEHDR* h)
    {
        if (held.load(std::memory_order_relaxed) >= capacity)
            return MMSYSERR_NOMEM;
        if (MMRESULT r = EnqueueHeader(h))
            return r;
        held.fetch_add(1, std::memory_order_relaxed);
        if (!capture)
            queuedBytes.fetch_add(Usable(h), std::memory_order_release);
        pending.try_enqueue(h);
        return MMSYSERR_NOERROR;
    }

    // Hands every queued buffer back, the partly filled or played one first.
    void reset()
    {
        SDL_PauseAudioDevice(id, 1);
        SDL_LockAudioDevice(id);
        if (current) {
            complete(current, offset);
            current = nullptr;
        }
        WAVEHDR* h = nullptr;
        while (pending.try_dequeue(h))
            complete(h, 0);
        queuedBytes.store(0, std::memory_order_relaxed);
        prerolling = true;
        cushionLeft = 0;
        SDL_UnlockAudioDevice(id);
        if (!capture)
            SDL_PauseAudioDevice(id, 0);
    }

    MMRESULT close()
    {
        if (held.load(std::memory_order_acquire) > 0) {
            SDL_LockAudioDevice(id);
            const bool busy = current || pending.peek();
            SDL_UnlockAudioDevice(id);
            if (busy)
                return WAVERR_STILLPLAYING;
        }
        SDL_CloseAudioDevice(id);
        closing.store(true, std::memory_order_release);
        worker.join();
        return MMSYSERR_NOERROR;
    }
};

SdlWaveService::SdlWaveService()
{
    ready_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
}

SdlWaveService::~SdlWaveService()
{
    if (ready_)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

uint32_t SdlWaveService::PeriodFrames(uint32_t blockBytes)
{
    const uint32_t samples = std::clamp(blockBytes / 2, kMinPeriodFrames, kMaxPeriodFrames);
    uint32_t period = kMinPeriodFrames;
    while (period * 2 <= samples)
        period *= 2;
    return period;
}

bool SdlWaveService::TakeCaptureGap(CaptureGap& gap)
{
    Device* d = capture_.load(std::memory_order_acquire);
    return d && d->gaps.try_dequeue(gap);
}

SdlWaveCounters SdlWaveService::counters() const
{
    return {leading_.load(),       underrunFrames_.load(), underruns_.load(),
            overrunFrames_.load(), overruns_.load(),       playbackFramesAtCaptureStart_.load()};
}

namespace {

template <typename Handle>
MMRESULT Open(SdlWaveService& service, bool ready, uint32_t blockHint, bool capture, Handle* handle,
              const PCMWAVEFORMAT& format, uint32_t flags, SdlWaveService::Device** out)
{
    if (!ready)
        return MMSYSERR_NODRIVER;
    if (!IsSupportedFormat(format))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (!handle)
        return MMSYSERR_INVALPARAM;

    const uint32_t period = SdlWaveService::PeriodFrames(blockHint);
    const uint32_t blockBytes = std::max<uint32_t>(blockHint & ~1u, 2);
    const uint32_t perSecond = format.nAvgBytesPerSec / blockBytes + 1;
    const uint32_t capacity = std::max(kMinQueueCapacity, perSecond * kQueueSeconds);
    auto device = std::make_unique<SdlWaveService::Device>(service, capture, capacity);
    device->cushionBytes = period * 2;
    const auto periodTime = std::chrono::microseconds(uint64_t(period) * 1000000 / format.nSamplesPerSec);
    device->poll = capture ? std::clamp(periodTime / 3, kMinPoll, kMaxCapturePoll)
                           : std::clamp(periodTime * kPlaybackPollPeriods, kMinPoll, kMaxPlaybackPoll);

    SDL_AudioSpec want{};
    want.freq = int(format.nSamplesPerSec);
    want.format = AUDIO_S16LSB;
    want.channels = 1;
    want.samples = static_cast<Uint16>(period);
    want.callback = capture ? &SdlWaveService::Device::Capture : &SdlWaveService::Device::Play;
    want.userdata = device.get();
    SDL_AudioSpec have{};
    device->id = SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &want, &have, 0);
    if (device->id == 0)
        return MMSYSERR_BADDEVICEID;
    *out = device.release();
    return MMSYSERR_NOERROR;
}

} // namespace

MMRESULT SdlWaveService::waveInOpen(HWAVEIN* handle, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                    uintptr_t instance, uint32_t flags)
{
    Device* d = nullptr;
    if (MMRESULT r = Open(*this, ready_, blockHint_, true, handle, format, flags, &d); r || !d)
        return r;
    d->inProc = callback;
    d->instance = instance;
    capture_.store(d, std::memory_order_release);
    d->worker = std::thread([d] { d->run(); });
    *handle = d;
    return MMSYSERR_NOERROR;
}

MMRESULT SdlWaveService::waveOutOpen(HWAVEOUT* handle, uint32_t, const PCMWAVEFORMAT& format, WaveOutProc callback,
                                     uintptr_t instance, uint32_t flags)
{
    Device* d = nullptr;
    if (MMRESULT r = Open(*this, ready_, blockHint_, false, handle, format, flags, &d); r || !d)
        return r;
    d->outProc = callback;
    d->instance = instance;
    d->worker = std::thread([d] { d->run(); });
    *handle = d;
    SDL_PauseAudioDevice(d->id, 0);
    return MMSYSERR_NOERROR;
}

namespace {

SdlWaveService::Device* AsIn(HWAVEIN h) { return h ? static_cast<SdlWaveService::Device*>(h) : nullptr; }
SdlWaveService::Device* AsOut(HWAVEOUT h) { return h ? static_cast<SdlWaveService::Device*>(h) : nullptr; }

} // namespace

MMRESULT SdlWaveService::waveInPrepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return AsIn(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveInUnprepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return AsIn(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveInAddBuffer(HWAVEIN h, WAVEHDR* header)
{
    Device* d = AsIn(h);
    return d ? d->enqueue(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveInStart(HWAVEIN h)
{
    Device* d = AsIn(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    playbackFramesAtCaptureStart_ = playbackFrames_.load();
    SDL_PauseAudioDevice(d->id, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT SdlWaveService::waveInReset(HWAVEIN h)
{
    return Reset(AsIn(h));
}

MMRESULT SdlWaveService::waveInClose(HWAVEIN h)
{
    return Close(AsIn(h));
}

MMRESULT SdlWaveService::waveOutPrepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return AsOut(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveOutUnprepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return AsOut(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveOutWrite(HWAVEOUT h, WAVEHDR* header)
{
    Device* d = AsOut(h);
    return d ? d->enqueue(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveOutReset(HWAVEOUT h)
{
    return Reset(AsOut(h));
}

MMRESULT SdlWaveService::waveOutClose(HWAVEOUT h)
{
    return Close(AsOut(h));
}

MMRESULT SdlWaveService::Reset(Device* d)
{
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->reset();
    return MMSYSERR_NOERROR;
}

MMRESULT SdlWaveService::Close(Device* d)
{
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = d->close())
        return r;
    Device* expected = d;
    capture_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    delete d;
    return MMSYSERR_NOERROR;
}

} // namespace wave
