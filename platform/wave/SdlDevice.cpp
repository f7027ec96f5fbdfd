#include "platform/wave/SdlDevice.h"

#include "platform/thread/SteadyClock.h"

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace wave {
namespace {

constexpr uint32_t kMinPeriodFrames = 64;
constexpr uint32_t kMaxPeriodFrames = 4096;
// SDL 2.26 tries PulseAudio before PipeWire, and PipeWire's Pulse layer buffers far more.
constexpr const char* kDriverOrder = "pipewire,pulseaudio,alsa";
constexpr const char* kAppName = "Vobblix";
// The output starts this many periods behind: SDL paces capture and playback on two threads
// of their own, whose wake-ups jitter by about a period on a busy machine.
constexpr uint32_t kCushionPeriods = 2;

// Called on SDL's capture thread.
void SDLCALL Capture(void* client, Uint8* stream, int len)
{
    static_cast<AudioClient*>(client)->captured(stream, static_cast<uint32_t>(len));
}

} // namespace

void SdlDevice::Play(void* output, uint8_t* stream, int len)
{
    auto& o = *static_cast<Output*>(output);
    const uint32_t frames = uint32_t(len) / 2;
    o.pace.asked(uint64_t(thread::SteadyNanoseconds()), frames);
    // A callback longer than the period opened with has no room to be squeezed: it plays as is.
    if (ClockFollower::MostFrames(frames) > o.scratch.size()) {
        o.client->play(stream, uint32_t(len));
        return;
    }
    const uint32_t got = o.follower.take(frames, o.client->waiting(), o.client->behind());
    if (got == frames) {
        o.client->play(stream, uint32_t(len));
        return;
    }
    o.client->play(reinterpret_cast<uint8_t*>(o.scratch.data()), got * 2);
    ClockFollower::Stretch(o.scratch.data(), got, reinterpret_cast<int16_t*>(stream), frames);
}

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
    for (uint32_t id : {capture_, playback_})
        if (id != 0)
            SDL_CloseAudioDevice(id);
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

    if (!capture) {
        output_.client = &client;
        output_.follower.restart(period);
        output_.pace.restart(format.rate);
        output_.scratch.assign(ClockFollower::MostFrames(period), 0);
    }

    SDL_AudioSpec want{};
    want.freq = int(format.rate);
    want.format = AUDIO_S16LSB;
    want.channels = 1;
    want.samples = static_cast<Uint16>(period);
    want.callback = capture ? &Capture : &SdlDevice::Play;
    want.userdata = capture ? static_cast<void*>(&client) : static_cast<void*>(&output_);
    SDL_AudioSpec have{};
    const SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(format.device.empty() ? nullptr : format.device.c_str(), capture ? 1 : 0, &want, &have, 0);
    if (id == 0)
        return MMSYSERR_BADDEVICEID;
    (capture ? capture_ : playback_) = id;
    if (!capture)
        SDL_PauseAudioDevice(id, 0);
    return MMSYSERR_NOERROR;
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
    if (capture_ != 0)
        SDL_PauseAudioDevice(capture_, 1);
}

void SdlDevice::close(Side side)
{
    uint32_t& id = side == Side::Capture ? capture_ : playback_;
    if (id != 0)
        SDL_CloseAudioDevice(id);
    id = 0;
}

void SdlDevice::addCounters(WaveCounters& counters) const
{
    counters.clockAdjustments += output_.follower.adjustments();
    counters.underruns += output_.pace.silences();
    counters.underrunFrames += output_.pace.silentFrames();
    // The engine counts the frames it was asked for; the card asked for the callbacks' own.
    counters.playbackFrames = uint64_t(int64_t(counters.playbackFrames) - output_.follower.taken());
}

void SdlDevice::exclusive(const std::function<void()>& fn)
{
    // SDL runs a device's callback under the device's lock.
    for (uint32_t id : {capture_, playback_})
        if (id != 0)
            SDL_LockAudioDevice(id);
    fn();
    for (uint32_t id : {playback_, capture_})
        if (id != 0)
            SDL_UnlockAudioDevice(id);
}

} // namespace wave
