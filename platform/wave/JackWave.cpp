#include "platform/wave/JackWave.h"

#include <jack/jack.h>
#include <zita-resampler/resampler.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <numeric>
#include <thread>

namespace wave {
namespace {

constexpr const char* kClientName = "vobblix";
constexpr const char* kInputPort = "input";
constexpr const char* kOutputPort = "output";
// The largest period served; a server running longer ones gets silence and a report.
constexpr uint32_t kMaxPeriod = 16384;
// The most the settings' rate may exceed the server's: the converted cycle must fit.
constexpr uint32_t kMaxRateRatio = 8;
constexpr uint32_t kMinQueueCapacity = 64;
constexpr uint32_t kQueueSeconds = 8;
// Half the resampler's filter length: zita-resampler's lowest recommended quality, which
// keeps its delay under half a millisecond.
constexpr unsigned kResamplerHalfLength = 16;
// Two physical playback ports: the left and right of a stereo pair.
constexpr int kPlaybackPortsConnected = 2;
constexpr float kFullScale = 32768.0f;
// A server that runs no cycle for this long is gone, whatever it said: no period or driver
// restart of a live server takes that long, and the stop must not wait for it.
constexpr int kStallSeconds = 2;

int16_t ToSample(float v)
{
    const float scaled = std::nearbyint(v * kFullScale);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

float ToFloat(int16_t s) { return static_cast<float>(s) / kFullScale; }

// libjack's own lines would say what our reports say, worse: a missing server is normal.
void Quiet(const char*) {}

} // namespace

struct JackWaveService::Device final : WaveInDevice, WaveOutDevice {
    Device(bool isCapture, uint32_t capacity, GlitchCounts& counts) : capture(isCapture), core(isCapture, capacity, counts)
    {
    }

    const bool capture;
    DeviceCore core;
    std::atomic<bool> started{false};
    WaveInProc inProc = nullptr;
    WaveOutProc outProc = nullptr;
    uintptr_t instance = 0;

    // Called on the realtime thread, or with it kept out.
    void deliverCompleted()
    {
        WAVEHDR* h = nullptr;
        while (core.takeCompleted(h)) {
            if (capture)
                inProc(this, WIM_DATA, instance, reinterpret_cast<uintptr_t>(h), 0);
            else
                outProc(this, WOM_DONE, instance, reinterpret_cast<uintptr_t>(h), 0);
        }
    }
};

namespace {

JackWaveService::Device* AsIn(HWAVEIN h) { return h ? static_cast<JackWaveService::Device*>(h) : nullptr; }
JackWaveService::Device* AsOut(HWAVEOUT h) { return h ? static_cast<JackWaveService::Device*>(h) : nullptr; }

// Connects our port to the chosen physical port, or with none chosen to the first `count`.
void ConnectPhysical(jack_client_t* client, const char* ours, unsigned long flags, int count, bool ourIsSource,
                     const std::string& chosen)
{
    auto connect = [&](const char* theirs) {
        if (ourIsSource)
            jack_connect(client, ours, theirs);
        else
            jack_connect(client, theirs, ours);
    };
    if (!chosen.empty()) {
        connect(chosen.c_str());
        return;
    }
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | flags);
    if (!ports)
        return;
    for (int i = 0; i < count && ports[i]; ++i)
        connect(ports[i]);
    jack_free(ports);
}

} // namespace

uint32_t JackWaveService::ResamplerDelay(uint32_t fromRate, uint32_t toRate)
{
    Resampler r;
    if (r.setup(fromRate, toRate, 1, kResamplerHalfLength) != 0)
        return 0;
    return static_cast<uint32_t>(r.inpsize() / 2 - 1);
}

JackWaveService::JackWaveService(bool connectPorts)
{
    jack_set_error_function(&Quiet);
    jack_set_info_function(&Quiet);
    jack_status_t status{};
    client_ = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!client_) {
        connectError_ = (status & JackServerFailed) ? "no JACK server is running" : "the JACK server refused the client";
        return;
    }
    onPipeWire_ = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
    inPort_ = jack_port_register(client_, kInputPort, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    outPort_ = jack_port_register(client_, kOutputPort, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    serverRate_ = jack_get_sample_rate(client_);
    period_ = jack_get_buffer_size(client_);
    noticedPeriod_ = period_.load();
    shownPeriod_ = period_.load();
    scratch_.resize(kMaxPeriod * kMaxRateRatio + 8);
    samples_.resize(kMaxPeriod * kMaxRateRatio + 8);
    carry_.resize(kMaxPeriod + 8);

    jack_set_process_callback(
        client_, [](jack_nframes_t n, void* self) { return static_cast<JackWaveService*>(self)->Process(n); }, this);
    jack_set_xrun_callback(
        client_, [](void* self) { static_cast<JackWaveService*>(self)->Xrun(); return 0; }, this);
    jack_set_buffer_size_callback(
        client_, [](jack_nframes_t n, void* self) { static_cast<JackWaveService*>(self)->BufferSize(n); return 0; },
        this);
    jack_set_sample_rate_callback(
        client_, [](jack_nframes_t r, void* self) { static_cast<JackWaveService*>(self)->SampleRate(r); return 0; },
        this);
    jack_set_latency_callback(
        client_, [](jack_latency_callback_mode_t mode, void* self) { static_cast<JackWaveService*>(self)->Latency(mode); },
        this);
    jack_on_info_shutdown(
        client_,
        [](jack_status_t, const char* reason, void* self) {
            static_cast<JackWaveService*>(self)->Shutdown(reason ? reason : "");
        },
        this);

    if (!inPort_ || !outPort_ || jack_activate(client_) != 0) {
        connectError_ = "the JACK server did not take the client's ports";
        jack_client_close(client_);
        client_ = nullptr;
        return;
    }
    connectPorts_ = connectPorts;
}

std::vector<DeviceChoice> JackWaveService::devices(bool capture) const
{
    std::vector<DeviceChoice> list;
    if (!client_ || dead_.load())
        return list;
    // The ports a device sends from are where our input listens, and the other way round.
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsPhysical | (capture ? JackPortIsOutput : JackPortIsInput));
    if (!ports)
        return list;
    for (int i = 0; ports[i]; ++i)
        list.push_back({ports[i], ports[i]});
    jack_free(ports);
    return list;
}

JackWaveService::~JackWaveService()
{
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    delete in_.exchange(nullptr);
    delete out_.exchange(nullptr);
}

std::string JackWaveService::clientName() const
{
    return client_ ? jack_get_client_name(client_) : "";
}

template <typename Fn>
void JackWaveService::WithAudioThreadOut(Fn&& fn)
{
    // Both sides write their own flag, then read the other's (sequentially consistent): the
    // callback either sees the block and leaves, or is seen inside and waited out.
    blocked_.store(true);
    while (inside_.load())
        std::this_thread::yield();
    fn();
    blocked_.store(false);
}

int JackWaveService::Process(uint32_t frames)
{
    auto* inBuf = static_cast<const float*>(jack_port_get_buffer(inPort_, frames));
    auto* outBuf = static_cast<float*>(jack_port_get_buffer(outPort_, frames));
    cycles_.fetch_add(1, std::memory_order_relaxed);
    inside_.store(true);
    if (blocked_.load() || dead_.load(std::memory_order_acquire) || frames > kMaxPeriod) {
        inside_.store(false, std::memory_order_release);
        std::fill(outBuf, outBuf + frames, 0.0f);
        return 0;
    }
    Device* in = in_.load(std::memory_order_acquire);
    Device* out = out_.load(std::memory_order_acquire);
    if (in && in->started.load(std::memory_order_acquire)) {
        if (!led_ && out) {
            // The phase between capture and playback is set once, at the first cycle: a block
            // is then never late, and the output waits no longer than that needs.
            const uint32_t block = std::max<uint32_t>(blockHint_ / 2, 1);
            const bool resampled = serverRate_.load() != rate_;
            out->core.lead(2 * (resampled ? block - 1 : block - std::gcd(block, frames)));
            led_ = true;
        }
        if (const uint32_t extra = extraLead_.exchange(0); extra > 0 && out)
            out->core.lead(2 * extra);
        CaptureCycle(in, inBuf, frames);
        in->deliverCompleted();
    }
    if (out) {
        PlaybackCycle(out, outBuf, frames);
        out->deliverCompleted();
    } else {
        std::fill(outBuf, outBuf + frames, 0.0f);
    }
    inside_.store(false, std::memory_order_release);
    return 0;
}

void JackWaveService::CaptureCycle(Device* in, const float* port, uint32_t frames)
{
    const float* source = port;
    uint32_t count = frames;
    if (captureResampler_) {
        Resampler& r = *captureResampler_;
        r.inp_count = frames;
        r.inp_data = const_cast<float*>(port);
        r.out_count = static_cast<unsigned>(scratch_.size());
        r.out_data = scratch_.data();
        r.process();
        source = scratch_.data();
        count = static_cast<uint32_t>(scratch_.size()) - r.out_count;
    }
    for (uint32_t i = 0; i < count; ++i)
        samples_[i] = ToSample(source[i]);
    in->core.capture(reinterpret_cast<const uint8_t*>(samples_.data()), count * 2);
}

void JackWaveService::PlaybackCycle(Device* out, float* port, uint32_t frames)
{
    if (!playbackResampler_) {
        out->core.play(reinterpret_cast<uint8_t*>(samples_.data()), frames * 2);
        for (uint32_t i = 0; i < frames; ++i)
            port[i] = ToFloat(samples_[i]);
        return;
    }
    Resampler& r = *playbackResampler_;
    const uint32_t serverRate = serverRate_.load();
    r.out_count = frames;
    r.out_data = port;
    while (r.out_count > 0) {
        if (carried_ == 0) {
            // What the rest of the cycle needs at the settings' rate, and one more frame.
            const uint64_t need = uint64_t(r.out_count) * rate_ / serverRate + 2;
            const auto pull = static_cast<uint32_t>(std::min<uint64_t>(need, carry_.size()));
            out->core.play(reinterpret_cast<uint8_t*>(samples_.data()), pull * 2);
            for (uint32_t i = 0; i < pull; ++i)
                carry_[i] = ToFloat(samples_[i]);
            carried_ = pull;
            carryAt_ = 0;
        }
        r.inp_count = carried_;
        r.inp_data = carry_.data() + carryAt_;
        r.process();
        carryAt_ += carried_ - r.inp_count;
        carried_ = r.inp_count;
    }
}

void JackWaveService::Xrun()
{
    xruns_.fetch_add(1, std::memory_order_relaxed);
}

void JackWaveService::BufferSize(uint32_t frames)
{
    const uint32_t before = period_.exchange(frames);
    noticedPeriod_.store(frames, std::memory_order_release);
    if (before == frames || before == 0 || serverRate_.load() != rate_ || blockHint_ < 2)
        return;
    // A longer period may need more silence ahead of the blocks than the first one set.
    const uint32_t block = blockHint_ / 2;
    const uint32_t was = block - std::gcd(block, before);
    const uint32_t now = block - std::gcd(block, frames);
    if (now > was) {
        extraLead_.fetch_add(now - was);
        ownLatency_.fetch_add(now - was);
    }
}

void JackWaveService::SampleRate(uint32_t rate)
{
    const uint32_t before = serverRate_.load();
    if (before == 0 || before == rate)
        return;
    Fault("The JACK server changed its sample rate from " + std::to_string(before) + " to " + std::to_string(rate) +
          " Hz. The sound has stopped; restart Vobblix to play at the new rate.");
}

void JackWaveService::Shutdown(const std::string& reason)
{
    Fault("The JACK server dropped Vobblix (" + (reason.empty() ? std::string("no reason given") : reason) +
          "). The sound has stopped; restart Vobblix once the server runs again.");
}

void JackWaveService::Fault(const std::string& text)
{
    {
        std::lock_guard lock(faultLock_);
        if (dead_.load())
            return;
        fault_ = text;
        dead_.store(true, std::memory_order_release);
    }
    // Every buffer goes back, so that the stop never waits for a server that is gone.
    WithAudioThreadOut([this] {
        for (Device* d : {in_.load(), out_.load()}) {
            if (!d)
                continue;
            d->core.handBack();
            d->deliverCompleted();
        }
    });
}

double JackWaveService::latencyMs() const
{
    const uint32_t rate = serverRate_.load(std::memory_order_relaxed);
    if (!client_ || !outPort_ || rate == 0 || dead_.load(std::memory_order_acquire))
        return -1.0;
    // The output port's capture latency runs from the physical input to here, its playback
    // latency from here to the physical output.
    jack_latency_range_t upstream{};
    jack_latency_range_t downstream{};
    jack_port_get_latency_range(outPort_, JackCaptureLatency, &upstream);
    jack_port_get_latency_range(outPort_, JackPlaybackLatency, &downstream);
    return 1000.0 * double(upstream.max + downstream.max) / rate;
}

void JackWaveService::Latency(int mode)
{
    const uint32_t own = ownLatency_.load(std::memory_order_acquire);
    jack_latency_range_t range{};
    if (mode == JackCaptureLatency) {
        jack_port_get_latency_range(inPort_, JackCaptureLatency, &range);
        range.min += own;
        range.max += own;
        jack_port_set_latency_range(outPort_, JackCaptureLatency, &range);
    } else {
        jack_port_get_latency_range(outPort_, JackPlaybackLatency, &range);
        range.min += own;
        range.max += own;
        jack_port_set_latency_range(inPort_, JackPlaybackLatency, &range);
    }
}

void JackWaveService::UpdateLatency()
{
    const uint32_t server = serverRate_.load();
    const uint32_t block = std::max<uint32_t>(blockHint_ / 2, 1);
    uint32_t own = 0;
    if (server == rate_) {
        own = block - std::gcd(block, period_.load());
    } else {
        // At the settings' rate: the block's lead and the playback resampler's delay; the
        // capture resampler's delay is at the server's rate already.
        const double atSettingsRate = double(block - 1) + double(ResamplerDelay(rate_, server));
        own = ResamplerDelay(server, rate_) +
              static_cast<uint32_t>(std::lround(atSettingsRate * double(server) / double(rate_)));
    }
    ownLatency_.store(own, std::memory_order_release);
    if (!client_)
        return;
    // pipewire-jack stops calling the process callback for good once a recompute asked for
    // here has run the latency callback; there the ports' latency is set directly.
    if (onPipeWire_) {
        Latency(JackCaptureLatency);
        Latency(JackPlaybackLatency);
    } else {
        jack_recompute_total_latencies(client_);
    }
}

void JackWaveService::WatchCycles()
{
    if (!client_ || dead_.load(std::memory_order_acquire))
        return;
    const auto now = std::chrono::steady_clock::now();
    const uint64_t cycles = cycles_.load(std::memory_order_relaxed);
    if (cycles != seenCycles_ || seenAt_ == std::chrono::steady_clock::time_point{}) {
        seenCycles_ = cycles;
        seenAt_ = now;
    } else if (now - seenAt_ >= std::chrono::seconds(kStallSeconds)) {
        Fault("The JACK server stopped running Vobblix (no cycle for " + std::to_string(kStallSeconds) +
              " seconds). The sound has stopped; restart Vobblix once the server runs again.");
    }
}

std::string JackWaveService::takeFault()
{
    WatchCycles();
    std::lock_guard lock(faultLock_);
    return std::exchange(fault_, std::string());
}

std::string JackWaveService::takeNotice()
{
    const uint32_t now = noticedPeriod_.load(std::memory_order_acquire);
    if (now == shownPeriod_)
        return {};
    const uint32_t before = std::exchange(shownPeriod_, now);
    return "the JACK server changed its period from " + std::to_string(before) + " to " + std::to_string(now) +
           " frames; a glitch may be heard at the change";
}

WaveCounters JackWaveService::counters() const
{
    WaveCounters c;
    counts_.into(c);
    // An xrun is a cycle the client missed as a whole: the card played what was there.
    c.underruns += xruns_.load(std::memory_order_relaxed);
    return c;
}

MMRESULT JackWaveService::Open(bool capture, void* handle, const PCMWAVEFORMAT& format, uint32_t flags, Device** out)
{
    if (!client_ || dead_.load())
        return MMSYSERR_NODRIVER;
    if (!IsSupportedFormat(format))
        return WAVERR_BADFORMAT;
    const uint32_t server = serverRate_.load();
    if (format.nSamplesPerSec > uint64_t(server) * kMaxRateRatio)
        return WAVERR_BADFORMAT;
    if (format.nSamplesPerSec != server) {
        Resampler probe;
        if (probe.setup(server, format.nSamplesPerSec, 1, kResamplerHalfLength) != 0)
            return WAVERR_BADFORMAT;
    }
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (!handle)
        return MMSYSERR_INVALPARAM;
    if ((capture ? in_.load() : out_.load()) != nullptr)
        return MMSYSERR_ALLOCATED;

    rate_ = format.nSamplesPerSec;
    const uint32_t blockBytes = std::max<uint32_t>(blockHint_ & ~1u, 2);
    const uint32_t perSecond = format.nAvgBytesPerSec / blockBytes + 1;
    auto d = std::make_unique<Device>(capture, std::max(kMinQueueCapacity, perSecond * kQueueSeconds), counts_);

    std::unique_ptr<Resampler> resampler;
    if (rate_ != server) {
        resampler = std::make_unique<Resampler>();
        if (capture)
            resampler->setup(server, rate_, 1, kResamplerHalfLength);
        else
            resampler->setup(rate_, server, 1, kResamplerHalfLength);
    }
    WithAudioThreadOut([&] {
        if (capture) {
            captureResampler_ = std::move(resampler);
        } else {
            playbackResampler_ = std::move(resampler);
            carried_ = 0;
            carryAt_ = 0;
        }
        led_ = false;
        (capture ? in_ : out_).store(d.get(), std::memory_order_release);
    });
    UpdateLatency();
    // Patched when opened, so that the devices chosen for this run are the ones heard.
    if (connectPorts_) {
        if (capture)
            ConnectPhysical(client_, jack_port_name(inPort_), JackPortIsOutput, 1, false, inputDevice());
        else
            ConnectPhysical(client_, jack_port_name(outPort_), JackPortIsInput, kPlaybackPortsConnected, true,
                            outputDevice());
    }
    *out = d.release();
    return MMSYSERR_NOERROR;
}

MMRESULT JackWaveService::waveInOpen(HWAVEIN* handle, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                     uintptr_t instance, uint32_t flags)
{
    Device* d = nullptr;
    if (flags & WAVE_FORMAT_QUERY)
        return Open(true, handle, format, flags, &d);
    if (!callback)
        return MMSYSERR_INVALPARAM;
    if (MMRESULT r = Open(true, handle, format, flags, &d))
        return r;
    d->inProc = callback;
    d->instance = instance;
    *handle = d;
    return MMSYSERR_NOERROR;
}

MMRESULT JackWaveService::waveOutOpen(HWAVEOUT* handle, uint32_t, const PCMWAVEFORMAT& format, WaveOutProc callback,
                                      uintptr_t instance, uint32_t flags)
{
    Device* d = nullptr;
    if (flags & WAVE_FORMAT_QUERY)
        return Open(false, handle, format, flags, &d);
    if (!callback)
        return MMSYSERR_INVALPARAM;
    if (MMRESULT r = Open(false, handle, format, flags, &d))
        return r;
    d->outProc = callback;
    d->instance = instance;
    *handle = d;
    return MMSYSERR_NOERROR;
}

MMRESULT JackWaveService::waveInPrepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return AsIn(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackWaveService::waveInUnprepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return AsIn(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackWaveService::waveInAddBuffer(HWAVEIN h, WAVEHDR* header)
{
    Device* d = AsIn(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    return dead_.load(std::memory_order_acquire) ? MMSYSERR_NODRIVER : d->core.enqueue(header);
}

MMRESULT JackWaveService::waveInStart(HWAVEIN h)
{
    Device* d = AsIn(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (dead_.load())
        return MMSYSERR_NODRIVER;
    d->started.store(true, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

MMRESULT JackWaveService::waveInReset(HWAVEIN h)
{
    return Reset(AsIn(h));
}

MMRESULT JackWaveService::waveInClose(HWAVEIN h)
{
    return Close(AsIn(h));
}

MMRESULT JackWaveService::waveOutPrepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return AsOut(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackWaveService::waveOutUnprepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return AsOut(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackWaveService::waveOutWrite(HWAVEOUT h, WAVEHDR* header)
{
    Device* d = AsOut(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    return dead_.load(std::memory_order_acquire) ? MMSYSERR_NODRIVER : d->core.enqueue(header);
}

MMRESULT JackWaveService::waveOutReset(HWAVEOUT h)
{
    return Reset(AsOut(h));
}

MMRESULT JackWaveService::waveOutClose(HWAVEOUT h)
{
    return Close(AsOut(h));
}

MMRESULT JackWaveService::Reset(Device* d)
{
    if (!d)
        return MMSYSERR_INVALHANDLE;
    WithAudioThreadOut([d] {
        d->started.store(false, std::memory_order_release);
        d->core.handBack();
        d->deliverCompleted();
    });
    return MMSYSERR_NOERROR;
}

MMRESULT JackWaveService::Close(Device* d)
{
    if (!d)
        return MMSYSERR_INVALHANDLE;
    bool busy = false;
    WithAudioThreadOut([&] {
        busy = d->core.busy();
        if (!busy)
            (d->capture ? in_ : out_).store(nullptr, std::memory_order_release);
    });
    if (busy)
        return WAVERR_STILLPLAYING;
    if (d->capture)
        d->inProc(d, WIM_CLOSE, d->instance, 0, 0);
    else
        d->outProc(d, WOM_CLOSE, d->instance, 0, 0);
    delete d;
    return MMSYSERR_NOERROR;
}

} // namespace wave
