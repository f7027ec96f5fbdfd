#include "platform/wave/SdlWave.h"

#include "platform/thread/Doorbell.h"
#include "platform/thread/ThreadPriority.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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
// SDL 2.26 tries PulseAudio before PipeWire, and PipeWire's Pulse layer buffers far more.
constexpr const char* kDriverOrder = "pipewire,pulseaudio,alsa";
constexpr const char* kAppName = "Vobblix";

} // namespace

struct SdlWaveService::Device final : WaveInDevice, WaveOutDevice {
    Device(SdlWaveService& owner, bool isCapture, uint32_t queueCapacity)
        : service(owner), capture(isCapture), core(isCapture, queueCapacity, owner.counts_, &completed)
    {
    }

    SdlWaveService& service;
    const bool capture;
    SDL_AudioDeviceID id = 0;
    WaveInProc inProc = nullptr;
    WaveOutProc outProc = nullptr;
    uintptr_t instance = 0;
    thread::Doorbell completed;
    DeviceCore core;
    std::thread worker;
    std::atomic<bool> closing{false};

    void deliver(WAVEHDR* h)
    {
        if (capture)
            inProc(this, WIM_DATA, instance, reinterpret_cast<uintptr_t>(h), 0);
        else
            outProc(this, WOM_DONE, instance, reinterpret_cast<uintptr_t>(h), 0);
    }

    // The callback thread: hands completed buffers to the user in order, and the close
    // message last. Woken by SDL's thread whenever a buffer completes.
    void run()
    {
        thread::SetCurrentThreadPriority(kTimeCritical);
        for (;;) {
            const bool last = closing.load(std::memory_order_acquire);
            WAVEHDR* h = nullptr;
            while (core.takeCompleted(h))
                deliver(h);
            if (last)
                break;
            completed.wait();
        }
        if (capture)
            inProc(this, WIM_CLOSE, instance, 0, 0);
        else
            outProc(this, WOM_CLOSE, instance, 0, 0);
    }

    // Called on SDL's capture thread.
    static void SDLCALL Capture(void* user, Uint8* stream, int len)
    {
        static_cast<Device*>(user)->core.capture(stream, static_cast<uint32_t>(len));
    }

    // Called on SDL's playback thread.
    static void SDLCALL Play(void* user, Uint8* stream, int len)
    {
        static_cast<Device*>(user)->core.play(stream, static_cast<uint32_t>(len));
    }

    void reset()
    {
        SDL_PauseAudioDevice(id, 1);
        SDL_LockAudioDevice(id);
        core.handBack();
        SDL_UnlockAudioDevice(id);
        if (!capture)
            SDL_PauseAudioDevice(id, 0);
    }

    MMRESULT close()
    {
        if (core.held() > 0) {
            SDL_LockAudioDevice(id);
            const bool busy = core.busy();
            SDL_UnlockAudioDevice(id);
            if (busy)
                return WAVERR_STILLPLAYING;
        }
        SDL_CloseAudioDevice(id);
        closing.store(true, std::memory_order_release);
        completed.ring();
        worker.join();
        return MMSYSERR_NOERROR;
    }
};

SdlWaveService::SdlWaveService()
{
    // Set before SDL reads them; a user's own choice stands.
    setenv("SDL_AUDIODRIVER", kDriverOrder, 0);
    SDL_SetHint(SDL_HINT_APP_NAME, kAppName);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, kAppName);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, kAppName);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "music");
    ready_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (ready_)
        std::snprintf(name_, sizeof name_, "SDL (%s)", SDL_GetCurrentAudioDriver());
}

SdlWaveService::~SdlWaveService()
{
    if (ready_)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

std::vector<DeviceChoice> SdlWaveService::devices(bool capture) const
{
    std::vector<DeviceChoice> list;
    if (!ready_)
        return list;
    const int count = SDL_GetNumAudioDevices(capture ? 1 : 0);
    for (int i = 0; i < count; ++i)
        if (const char* name = SDL_GetAudioDeviceName(i, capture ? 1 : 0))
            list.push_back({name, name});
    return list;
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
    return d && d->core.takeGap(gap);
}

uint64_t SdlWaveService::gapsLost() const
{
    return counts_.gapsLost.load();
}

WaveCounters SdlWaveService::counters() const
{
    WaveCounters c;
    counts_.into(c);
    c.playbackFramesAtCaptureStart = playbackFramesAtCaptureStart_.load();
    return c;
}

namespace {

template <typename Handle>
MMRESULT Open(SdlWaveService& service, bool ready, uint32_t blockHint, const std::string& chosen, bool capture,
              Handle* handle, const PCMWAVEFORMAT& format, uint32_t flags, SdlWaveService::Device** out)
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
    // SDL runs capture and playback on two threads of their own rhythm: the output starts a
    // period behind, which absorbs the jitter between buffer completions and the card's requests.
    device->core.setDryCushion(period * 2);

    SDL_AudioSpec want{};
    want.freq = int(format.nSamplesPerSec);
    want.format = AUDIO_S16LSB;
    want.channels = 1;
    want.samples = static_cast<Uint16>(period);
    want.callback = capture ? &SdlWaveService::Device::Capture : &SdlWaveService::Device::Play;
    want.userdata = device.get();
    SDL_AudioSpec have{};
    device->id = SDL_OpenAudioDevice(chosen.empty() ? nullptr : chosen.c_str(), capture ? 1 : 0, &want, &have, 0);
    if (device->id == 0)
        return MMSYSERR_BADDEVICEID;
    *out = device.release();
    return MMSYSERR_NOERROR;
}

SdlWaveService::Device* AsIn(HWAVEIN h) { return h ? static_cast<SdlWaveService::Device*>(h) : nullptr; }
SdlWaveService::Device* AsOut(HWAVEOUT h) { return h ? static_cast<SdlWaveService::Device*>(h) : nullptr; }

} // namespace

MMRESULT SdlWaveService::waveInOpen(HWAVEIN* handle, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                    uintptr_t instance, uint32_t flags)
{
    Device* d = nullptr;
    if (MMRESULT r = Open(*this, ready_, blockHint_, inputDevice(), true, handle, format, flags, &d); r || !d)
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
    if (MMRESULT r = Open(*this, ready_, blockHint_, outputDevice(), false, handle, format, flags, &d); r || !d)
        return r;
    d->outProc = callback;
    d->instance = instance;
    playback_.store(d, std::memory_order_release);
    d->worker = std::thread([d] { d->run(); });
    *handle = d;
    SDL_PauseAudioDevice(d->id, 0);
    return MMSYSERR_NOERROR;
}

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
    return d ? d->core.enqueue(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT SdlWaveService::waveInStart(HWAVEIN h)
{
    Device* d = AsIn(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (Device* out = playback_.load(std::memory_order_acquire))
        playbackFramesAtCaptureStart_ = out->core.frames.load();
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
    return d ? d->core.enqueue(header) : MMSYSERR_INVALHANDLE;
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
    expected = d;
    playback_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    delete d;
    return MMSYSERR_NOERROR;
}

} // namespace wave
