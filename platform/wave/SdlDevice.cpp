#include "platform/wave/SdlDevice.h"

#include "platform/thread/ThreadPriority.h"

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>

namespace wave {
namespace {

constexpr uint32_t kMinPeriodFrames = 64;
constexpr uint32_t kMaxPeriodFrames = 4096;
// SDL 2.26 tries PulseAudio before PipeWire, and PipeWire's Pulse layer buffers far more.
constexpr const char* kDriverOrder = "pipewire,pulseaudio,alsa";
constexpr const char* kAppName = "Vobblix";
// The hand-over ring holds this many periods: a hand-over thread held up that long by the
// machine loses the periods after.
constexpr uint32_t kRingPeriods = 64;
constexpr int32_t kTimeCritical = 2;
// The output starts this many periods behind: SDL paces capture and playback on two threads
// of their own, whose wake-ups jitter by about a period on a busy machine.
constexpr uint32_t kCushionPeriods = 2;
// How often the hand-over thread looks again should a wake-up be missed.
constexpr auto kHandOverLook = std::chrono::milliseconds(100);

// Called on SDL's capture thread.
void SDLCALL Capture(void* device, Uint8* stream, int len)
{
    static_cast<SdlDevice*>(device)->Captured(stream, static_cast<uint32_t>(len));
}

// Called on SDL's playback thread.
void SDLCALL Play(void* client, Uint8* stream, int len)
{
    static_cast<AudioClient*>(client)->play(stream, static_cast<uint32_t>(len));
}

} // namespace

SdlDevice::SdlDevice()
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

SdlDevice::~SdlDevice()
{
    close(Side::Capture);
    close(Side::Playback);
    if (ready_)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

uint32_t SdlDevice::PeriodFrames(uint32_t blockBytes)
{
    const uint32_t samples = std::clamp(blockBytes / 2, kMinPeriodFrames, kMaxPeriodFrames);
    uint32_t period = kMinPeriodFrames;
    while (period * 2 <= samples)
        period *= 2;
    return period;
}

std::vector<DeviceChoice> SdlDevice::devices(bool capture) const
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

MMRESULT SdlDevice::open(Side side, const StreamFormat& format, AudioClient& client)
{
    if (!ready_)
        return MMSYSERR_NODRIVER;
    const bool capture = side == Side::Capture;
    const uint32_t period = PeriodFrames(format.blockBytes);
    // The jitter between buffer completions and the card's requests is absorbed here.
    if (!capture)
        client.cushion(kCushionPeriods * period);

    SDL_AudioSpec want{};
    want.freq = int(format.rate);
    want.format = AUDIO_S16LSB;
    want.channels = 1;
    want.samples = static_cast<Uint16>(period);
    want.callback = capture ? &Capture : &Play;
    want.userdata = capture ? static_cast<void*>(this) : static_cast<void*>(&client);
    SDL_AudioSpec have{};
    const SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(format.device.empty() ? nullptr : format.device.c_str(), capture ? 1 : 0, &want, &have, 0);
    if (id == 0)
        return MMSYSERR_BADDEVICEID;
    if (capture) {
        // Sized for SDL's own period, which may be longer than the one asked.
        const uint32_t bytes = std::max<uint32_t>(have.size, period * 2);
        ring_ = std::make_unique<thread::ByteRing>(size_t(bytes + sizeof(uint32_t)) * kRingPeriods);
        chunk_.reserve(bytes);
        client_ = &client;
        closing_ = false;
        capture_ = id;
        handOver_ = std::thread([this] { HandOver(); });
    } else {
        playback_ = id;
        SDL_PauseAudioDevice(id, 0);
    }
    return MMSYSERR_NOERROR;
}

void SdlDevice::Captured(const uint8_t* bytes, uint32_t length)
{
    if (ring_->push(bytes, length)) {
        captured_.ring();
        return;
    }
    drops_.fetch_add(1, std::memory_order_relaxed);
    droppedFrames_.fetch_add(length / 2, std::memory_order_relaxed);
}

void SdlDevice::HandOver()
{
    thread::SetCurrentThreadPriority(kTimeCritical);
    while (!closing_.load(std::memory_order_acquire)) {
        captured_.wait(kHandOverLook);
        Drain();
    }
}

void SdlDevice::Drain()
{
    // Both sides write their own flag, then read the other's (sequentially consistent): the
    // thread either sees the block and leaves, or is seen inside and waited out.
    inside_.store(true);
    if (!blocked_.load()) {
        while (ring_->pop(chunk_))
            client_->captured(chunk_.data(), uint32_t(chunk_.size()));
    }
    inside_.store(false);
}

MMRESULT SdlDevice::start()
{
    if (capture_ == 0)
        return MMSYSERR_INVALHANDLE;
    SDL_PauseAudioDevice(capture_, 0);
    return MMSYSERR_NOERROR;
}

void SdlDevice::stop()
{
    if (capture_ == 0)
        return;
    SDL_PauseAudioDevice(capture_, 1);
    // What was captured before the stop is not handed over after it.
    exclusive([this] {
        while (ring_->pop(chunk_)) {
        }
    });
}

void SdlDevice::close(Side side)
{
    uint32_t& id = side == Side::Capture ? capture_ : playback_;
    if (id == 0)
        return;
    SDL_CloseAudioDevice(id);
    id = 0;
    if (side == Side::Capture && handOver_.joinable()) {
        closing_.store(true, std::memory_order_release);
        captured_.ring();
        handOver_.join();
    }
}

void SdlDevice::exclusive(const std::function<void()>& fn)
{
    blocked_.store(true);
    while (inside_.load())
        std::this_thread::yield();
    // SDL runs a device's callback under the device's lock.
    for (uint32_t id : {capture_, playback_})
        if (id != 0)
            SDL_LockAudioDevice(id);
    fn();
    for (uint32_t id : {playback_, capture_})
        if (id != 0)
            SDL_UnlockAudioDevice(id);
    blocked_.store(false);
    // What came in meanwhile waits in the ring.
    captured_.ring();
}

void SdlDevice::addCounters(WaveCounters& c) const
{
    c.overruns += drops_.load(std::memory_order_relaxed);
    c.overrunFrames += droppedFrames_.load(std::memory_order_relaxed);
}

} // namespace wave
