#include "platform/wave/JackDevice.h"

#include "platform/wave/Engine.h"

#include <jack/jack.h>
#include <zita-resampler/resampler.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cmath>
#include <numeric>
#include <string_view>
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
// Half the resampler's filter length: zita-resampler's lowest recommended quality, which
// keeps its delay under half a millisecond.
constexpr unsigned kResamplerHalfLength = 16;
// Two physical playback ports: the left and right of a stereo pair.
constexpr int kPlaybackPortsConnected = 2;
constexpr float kFullScale = 32768.0f;
// A server that runs no cycle for this long is gone, whatever it said: no period or driver
// restart of a live server takes that long, and the stop must not wait for it.
constexpr int kStallSeconds = 2;

// Boot time goes on through a suspend, as the engine's clock does.
uint64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

int16_t ToSample(float v)
{
    const float scaled = std::nearbyint(v * kFullScale);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

float ToFloat(int16_t s) { return static_cast<float>(s) / kFullScale; }

// libjack's own lines would say what our reports say, worse: a missing server is normal.
void Quiet(const char*) {}

} // namespace

namespace {

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

uint32_t JackDevice::ResamplerDelay(uint32_t fromRate, uint32_t toRate)
{
    Resampler r;
    if (r.setup(fromRate, toRate, 1, kResamplerHalfLength) != 0)
        return 0;
    return static_cast<uint32_t>(r.inpsize() / 2 - 1);
}

JackDevice::JackDevice(bool connectPorts)
{
    jack_set_error_function(&Quiet);
    jack_set_info_function(&Quiet);
    scratch_.resize(kMaxPeriod * kMaxRateRatio + 8);
    samples_.resize(kMaxPeriod * kMaxRateRatio + 8);
    carry_.resize(kMaxPeriod + 8);
    if (!Join())
        return;
    shownPeriod_ = period_.load();
    connectPorts_ = connectPorts;
}

bool JackDevice::Join()
{
    jack_status_t status{};
    client_ = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!client_) {
        connectError_ = (status & JackServerFailed) ? "no JACK server is running" : "the JACK server refused the client";
        return false;
    }
    onPipeWire_ = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
    inPort_ = jack_port_register(client_, kInputPort, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    outPort_ = jack_port_register(client_, kOutputPort, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    pedal_.open(client_);
    serverRate_ = jack_get_sample_rate(client_);
    period_ = jack_get_buffer_size(client_);
    noticedPeriod_ = period_.load();

    jack_set_process_callback(
        client_, [](jack_nframes_t n, void* self) { return static_cast<JackDevice*>(self)->Process(n); }, this);
    jack_set_xrun_callback(
        client_, [](void* self) { static_cast<JackDevice*>(self)->Xrun(); return 0; }, this);
    jack_set_buffer_size_callback(
        client_, [](jack_nframes_t n, void* self) { static_cast<JackDevice*>(self)->BufferSize(n); return 0; },
        this);
    jack_set_sample_rate_callback(
        client_, [](jack_nframes_t r, void* self) { static_cast<JackDevice*>(self)->SampleRate(r); return 0; },
        this);
    jack_set_latency_callback(
        client_, [](jack_latency_callback_mode_t mode, void* self) { static_cast<JackDevice*>(self)->Latency(mode); },
        this);
    jack_set_port_registration_callback(
        client_, [](jack_port_id_t, int, void* self) { static_cast<JackDevice*>(self)->pedal_.PortsChanged(); }, this);
    jack_on_info_shutdown(
        client_, [](jack_status_t, const char*, void* self) { static_cast<JackDevice*>(self)->Shutdown(); }, this);

    if (!inPort_ || !outPort_ || jack_activate(client_) != 0) {
        connectError_ = "the JACK server did not take the client's ports";
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }
    return true;
}

void JackDevice::Rejoin()
{
    // The client the server dropped is closed here, not in its own callback.
    if (client_)
        jack_client_close(client_);
    client_ = nullptr;
    const uint32_t rate = serverRate_.load();
    // Before the first cycle can run: it tells the engine of the return.
    rejoining_.store(true, std::memory_order_release);
    if (!Join())
        return;
    if (serverRate_.load() != rate)
        SampleRate(serverRate_.load(), rate);
    // Patched as at the start, to the devices chosen for this run.
    if (connectPorts_) {
        if (captureOpen_)
            ConnectPhysical(client_, jack_port_name(inPort_), JackPortIsOutput, 1, false, devices_[0]);
        if (playbackOpen_)
            ConnectPhysical(client_, jack_port_name(outPort_), JackPortIsInput, kPlaybackPortsConnected, true,
                            devices_[1]);
    }
    if (midiSink_)
        pedal_.setInput(midiSink_, midiSource_, connectPorts_);
    gone_.store(false, std::memory_order_release);
}

std::vector<DeviceChoice> JackDevice::devices(bool capture) const
{
    std::vector<DeviceChoice> list;
    if (!client_ || fault_.raised() || gone_.load())
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

JackDevice::~JackDevice()
{
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

void JackDevice::exclusive(const std::function<void()>& fn)
{
    // Both sides write their own flag, then read the other's (sequentially consistent): the
    // callback either sees the block and leaves, or is seen inside and waited out.
    blocked_.store(true);
    while (inside_.load())
        std::this_thread::yield();
    fn();
    blocked_.store(false);
}

int JackDevice::Process(uint32_t frames)
{
    auto* inBuf = static_cast<const float*>(jack_port_get_buffer(inPort_, frames));
    auto* outBuf = static_cast<float*>(jack_port_get_buffer(outPort_, frames));
    // The pedal first, so that this cycle's sound already glides toward where it is.
    pedal_.Read(frames);
    cycles_.fetch_add(1, std::memory_order_relaxed);
    inside_.store(true);
    if (blocked_.load() || fault_.raised() || frames > kMaxPeriod) {
        inside_.store(false, std::memory_order_release);
        std::fill(outBuf, outBuf + frames, 0.0f);
        return 0;
    }
    if (rejoining_.load(std::memory_order_acquire) && rejoining_.exchange(false, std::memory_order_acq_rel)) {
        // The first cycle since the server's return, which may run another period now.
        phasedPeriod_ = 0;
        if (audio_ && capturing_.load(std::memory_order_acquire))
            audio_->resumed();
        backAt_.store(NowNs(), std::memory_order_release);
    }
    const bool playing = playing_.load(std::memory_order_acquire);
    if (capturing_.load(std::memory_order_acquire)) {
        // The engine sets the phase between capture and playback at the first cycle, and
        // again should a longer period need more.
        if (playing && frames > phasedPeriod_) {
            audio_->phase(frames * rate_ / serverRate_.load(std::memory_order_relaxed),
                          serverRate_.load(std::memory_order_relaxed) != rate_);
            phasedPeriod_ = frames;
        }
        CaptureCycle(inBuf, frames);
    }
    if (playing)
        PlaybackCycle(outBuf, frames);
    else
        std::fill(outBuf, outBuf + frames, 0.0f);
    inside_.store(false, std::memory_order_release);
    return 0;
}

void JackDevice::CaptureCycle(const float* port, uint32_t frames)
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
    audio_->captured(reinterpret_cast<const uint8_t*>(samples_.data()), count * 2);
}

void JackDevice::PlaybackCycle(float* port, uint32_t frames)
{
    if (!playbackResampler_) {
        audio_->play(reinterpret_cast<uint8_t*>(samples_.data()), frames * 2);
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
            // What the rest of the cycle needs at the stream's rate, and one more frame.
            const uint64_t need = uint64_t(r.out_count) * rate_ / serverRate + 2;
            const auto pull = static_cast<uint32_t>(std::min<uint64_t>(need, carry_.size()));
            audio_->play(reinterpret_cast<uint8_t*>(samples_.data()), pull * 2);
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

void JackDevice::Xrun()
{
    xruns_.fetch_add(1, std::memory_order_relaxed);
}

void JackDevice::BufferSize(uint32_t frames)
{
    period_.store(frames);
    noticedPeriod_.store(frames, std::memory_order_release);
    // A longer period may need more silence ahead of the blocks, which the ports then report.
    if (serverRate_.load() == rate_ && blockBytes_ >= 2) {
        const uint32_t own = WaveEngine::LeadFrames(blockBytes_ / 2, frames, false);
        if (own > ownLatency_.load())
            ownLatency_.store(own, std::memory_order_release);
    }
}

void JackDevice::SampleRate(uint32_t rate, uint32_t before)
{
    if (before == 0)
        before = serverRate_.load();
    if (before == 0 || before == rate)
        return;
    Fault("The JACK server changed its sample rate from " + std::to_string(before) + " to " + std::to_string(rate) +
          " Hz. The sound has stopped; restart Vobblix to play at the new rate.");
}

void JackDevice::Shutdown()
{
    goneAt_.store(NowNs(), std::memory_order_release);
    gone_.store(true, std::memory_order_release);
}

std::string JackDevice::takeOutageNews()
{
    if (gone_.load(std::memory_order_acquire)) {
        const uint64_t gone = goneAt_.load(std::memory_order_acquire);
        if (toldGone_ != gone) {
            toldGone_ = gone;
            return "the JACK server went away: no sound until it runs again, and Vobblix plays on by itself as soon "
                   "as it does";
        }
        // The UI looks a few times a second: each look tries once.
        if (!fault_.raised())
            Rejoin();
        return {};
    }
    const uint64_t back = backAt_.load(std::memory_order_acquire);
    if (toldGone_ == 0 || back == 0)
        return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "the JACK server is back: Vobblix plays again after %.1f s without sound (a recording holds "
                  "silence for that time)",
                  double(back - toldGone_) / 1e9);
    toldGone_ = 0;
    backAt_.store(0, std::memory_order_relaxed);
    return text;
}

void JackDevice::Fault(const std::string& text)
{
    fault_.raise(text);
}

double JackDevice::latencyMs(uint32_t) const
{
    const uint32_t rate = serverRate_.load(std::memory_order_relaxed);
    if (!client_ || !outPort_ || rate == 0 || fault_.raised() || gone_.load())
        return -1.0;
    // The output port's capture latency runs from the physical input to here, its playback
    // latency from here to the physical output.
    jack_latency_range_t upstream{};
    jack_latency_range_t downstream{};
    jack_port_get_latency_range(outPort_, JackCaptureLatency, &upstream);
    jack_port_get_latency_range(outPort_, JackPlaybackLatency, &downstream);
    return 1000.0 * double(upstream.max + downstream.max) / rate;
}

void JackDevice::Latency(int mode)
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

void JackDevice::UpdateLatency()
{
    const uint32_t server = serverRate_.load();
    const uint32_t block = std::max<uint32_t>(blockBytes_ / 2, 1);
    uint32_t own = 0;
    if (server == rate_) {
        own = WaveEngine::LeadFrames(block, period_.load(), false);
    } else {
        // At the stream's rate: the block's lead and the playback resampler's delay; the
        // capture resampler's delay is at the server's rate already.
        const double atStreamRate =
            double(WaveEngine::LeadFrames(block, 0, true)) + double(ResamplerDelay(rate_, server));
        own = ResamplerDelay(server, rate_) +
              static_cast<uint32_t>(std::lround(atStreamRate * double(server) / double(rate_)));
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

void JackDevice::WatchCycles()
{
    if (!client_ || fault_.raised() || gone_.load())
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

std::string JackDevice::takeFault()
{
    WatchCycles();
    return fault_.take();
}

std::string JackDevice::takeNotice()
{
    // The UI looks here a few times a second: a chosen MIDI source that has appeared since
    // is connected now (JACK takes no connection from its own notification thread).
    if (client_ && !fault_.raised() && !gone_.load())
        pedal_.follow();
    const uint32_t now = noticedPeriod_.load(std::memory_order_acquire);
    if (now == shownPeriod_)
        return {};
    const uint32_t before = std::exchange(shownPeriod_, now);
    return "the JACK server changed its period from " + std::to_string(before) + " to " + std::to_string(now) +
           " frames; a glitch may be heard at the change";
}

std::vector<midi::Source> JackDevice::sources() const
{
    if (client_ && !fault_.raised() && !gone_.load())
        return pedal_.sources();
    return {};
}

void JackDevice::setInput(midi::MidiSink* sink, const std::string& source)
{
    midiSink_ = sink;
    midiSource_ = source;
    if (!gone_.load())
        pedal_.setInput(sink, source, client_ && connectPorts_);
}

void JackDevice::addCounters(WaveCounters& c) const
{
    c.underruns += xruns_.load(std::memory_order_relaxed);
}

bool JackDevice::supports(uint32_t rate) const
{
    const uint32_t server = serverRate_.load();
    if (!client_ || rate == 0 || rate > uint64_t(server) * kMaxRateRatio)
        return false;
    Resampler probe;
    return rate == server || probe.setup(server, rate, 1, kResamplerHalfLength) == 0;
}

MMRESULT JackDevice::open(Side side, const StreamFormat& format, AudioClient& client)
{
    if (!client_ || fault_.raised())
        return MMSYSERR_NODRIVER;
    const bool capture = side == Side::Capture;
    const uint32_t server = serverRate_.load();
    rate_ = format.rate;
    blockBytes_ = format.blockBytes;

    std::unique_ptr<Resampler> resampler;
    if (rate_ != server) {
        resampler = std::make_unique<Resampler>();
        if (capture)
            resampler->setup(server, rate_, 1, kResamplerHalfLength);
        else
            resampler->setup(rate_, server, 1, kResamplerHalfLength);
    }
    exclusive([&] {
        audio_ = &client;
        if (capture) {
            captureResampler_ = std::move(resampler);
        } else {
            playbackResampler_ = std::move(resampler);
            carried_ = 0;
            carryAt_ = 0;
            playing_.store(true, std::memory_order_release);
        }
        phasedPeriod_ = 0;
    });
    UpdateLatency();
    (capture ? captureOpen_ : playbackOpen_) = true;
    devices_[capture ? 0 : 1] = format.device;
    // Patched when opened, so that the devices chosen for this run are the ones heard.
    if (connectPorts_) {
        if (capture)
            ConnectPhysical(client_, jack_port_name(inPort_), JackPortIsOutput, 1, false, format.device);
        else
            ConnectPhysical(client_, jack_port_name(outPort_), JackPortIsInput, kPlaybackPortsConnected, true,
                            format.device);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT JackDevice::start()
{
    if (fault_.raised())
        return MMSYSERR_NODRIVER;
    capturing_.store(true, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

void JackDevice::stop()
{
    exclusive([this] { capturing_.store(false, std::memory_order_release); });
}

void JackDevice::close(Side side)
{
    exclusive([&] { (side == Side::Capture ? capturing_ : playing_).store(false, std::memory_order_release); });
}

} // namespace wave
