#include "platform/wave/PipeWireDevice.h"

#include "platform/thread/Doorbell.h"

#include "platform/midi/PipeWirePedalPort.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace wave {
namespace {

// The period asked of the graph follows the buffer, within what PipeWire accepts.
constexpr uint32_t kMinLatencyFrames = 32;
constexpr uint32_t kMaxLatencyFrames = 8192;
constexpr size_t kPodBytes = 1024;
constexpr const char* kAppName = "Vobblix";
constexpr const char* kIconName = "vobblix";
// PipeWire's configuration for realtime clients: it loads the module that raises the data
// thread to realtime priority (through RTKit on a desktop), so that the rest of a busy
// machine cannot make the guitar drop out.
constexpr const char* kClientConfig = "client-rt.conf";
// Frames a resampling adapter's requests may stray from the captured total, either way.
constexpr uint32_t kResamplerSlack = 2;
// The longest the device lists wait for the server's answer.
constexpr int kListWaitSeconds = 2;
// How often a wait for the realtime thread looks again should a wake-up be missed.
constexpr auto kInvokeLook = std::chrono::milliseconds(100);
// How often a server that went away is looked for: its return is heard within this.
constexpr long kRetryNs = 100'000'000;

// Boot time goes on through a suspend, as the engine's clock does.
uint64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

} // namespace

struct PipeWireDevice::Listener {
    spa_hook hook{};
    pw_core_events events{};
};

struct PipeWireDevice::RegistryListener {
    spa_hook hook{};
    pw_registry_events events{};
};

struct PipeWireDevice::Stream {
    Stream(PipeWireDevice& owner, bool isCapture) : device(owner), capture(isCapture) {}

    PipeWireDevice& device;
    const bool capture;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    pw_stream_events events{};
};

namespace {

// One call handed to the realtime thread; the caller waits until it has run, since the
// invoke's own blocking can return before the data loop has run it. The doorbell is the
// device's: the call's frame may be gone by the time it rings.
template <typename Fn>
struct AudioCall {
    Fn* fn;
    thread::Doorbell* ran;
    std::atomic<bool> done{false};

    static int Run(spa_loop*, bool, uint32_t, const void*, size_t, void* user)
    {
        auto* call = static_cast<AudioCall*>(user);
        thread::Doorbell* ran = call->ran;
        (*call->fn)();
        call->done.store(true, std::memory_order_release);
        ran->ring();
        return 0;
    }
};

// Called on PipeWire's realtime thread.
void OnCaptureProcess(void* data)
{
    static_cast<PipeWireDevice::Stream*>(data)->device.Process();
}

// Called on PipeWire's realtime thread.
void OnPlaybackProcess(void* data)
{
    static_cast<PipeWireDevice::Stream*>(data)->device.Play();
}

// Called on PipeWire's loop thread.
void OnStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error)
{
    auto* d = static_cast<PipeWireDevice::Stream*>(data);
    if (state == PW_STREAM_STATE_ERROR)
        d->device.Fault(std::string("The PipeWire sound server stopped the Vobblix ") +
                         (d->capture ? "input" : "output") + " stream (" + (error ? error : "no reason given") +
                         "). The sound has stopped; restart Vobblix to play again.");
    // Our own close stops listening first: a stream that falls back to unconnected was
    // removed from the graph by someone else, and no buffer would ever come back from it.
    else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
        d->device.Fault(std::string("The Vobblix ") + (d->capture ? "input" : "output") +
                         " stream was removed from the PipeWire graph. The sound has stopped; restart Vobblix to "
                         "play again.");
}

// Called on PipeWire's loop thread.
void OnCoreError(void* data, uint32_t id, int, int res, const char*)
{
    if (id == PW_ID_CORE && res == -EPIPE)
        static_cast<PipeWireDevice*>(data)->Lost();
}

// Called on PipeWire's loop thread.
void OnRetry(void* data, uint64_t)
{
    static_cast<PipeWireDevice*>(data)->Retry();
}

// Called on PipeWire's loop thread.
void OnCoreDone(void* data, uint32_t id, int seq)
{
    if (id == PW_ID_CORE)
        static_cast<PipeWireDevice*>(data)->Synced(seq);
}

// Called on PipeWire's loop thread.
void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
{
    if (!props)
        return;
    auto* device = static_cast<PipeWireDevice*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0)
        device->NodeAdded(id, spa_dict_lookup(props, PW_KEY_MEDIA_CLASS), spa_dict_lookup(props, PW_KEY_NODE_NAME),
                          spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION));
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0)
        device->PortAdded(id, props);
}

// Called on PipeWire's loop thread.
void OnGlobalRemove(void* data, uint32_t id)
{
    static_cast<PipeWireDevice*>(data)->NodeRemoved(id);
}

} // namespace

PipeWireDevice::PipeWireDevice()
{
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("vobblix-pipewire", nullptr);
    if (!loop_) {
        connectError_ = std::strerror(errno);
        return;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, kClientConfig, PW_KEY_APP_NAME, kAppName,
                                                PW_KEY_APP_ICON_NAME, kIconName, nullptr),
                              0);
    if (!context_) {
        connectError_ = std::strerror(errno);
        return;
    }
    dataLoop_ = pw_context_get_data_loop(context_);
    if (pw_thread_loop_start(loop_) != 0) {
        connectError_ = "its thread did not start";
        return;
    }
    pw_thread_loop_lock(loop_);
    coreListener_ = new Listener;
    registryListener_ = new RegistryListener;
    retry_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &OnRetry, this);
    connected_ = Connect();
    if (!connected_)
        connectError_ = std::strerror(errno);
    pw_thread_loop_unlock(loop_);
}

bool PipeWireDevice::Connect()
{
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_)
        return false;
    *coreListener_ = Listener{};
    coreListener_->events.version = PW_VERSION_CORE_EVENTS;
    coreListener_->events.error = &OnCoreError;
    coreListener_->events.done = &OnCoreDone;
    pw_core_add_listener(core_, &coreListener_->hook, &coreListener_->events, this);
    // The devices, for the settings window's lists and the check of a chosen one.
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) {
        *registryListener_ = RegistryListener{};
        registryListener_->events.version = PW_VERSION_REGISTRY_EVENTS;
        registryListener_->events.global = &OnGlobal;
        registryListener_->events.global_remove = &OnGlobalRemove;
        pw_registry_add_listener(registry_, &registryListener_->hook, &registryListener_->events, this);
    }
    pedal_ = std::make_unique<midi::PipeWirePedalPort>(loop_, core_, kAppName);
    if (midiSink_)
        pedal_->setInput(midiSink_, midiSource_);
    return true;
}

void PipeWireDevice::Disconnect()
{
    pedal_.reset();
    if (registry_) {
        spa_hook_remove(&registryListener_->hook);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&coreListener_->hook);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    std::lock_guard lock(nodesLock_);
    nodes_.clear();
}

PipeWireDevice::~PipeWireDevice()
{

    if (loop_) {
        pw_thread_loop_lock(loop_);
        for (Stream* d : {in_.exchange(nullptr), out_.exchange(nullptr)}) {
            if (d && d->stream)
                pw_stream_destroy(d->stream);
            delete d;
        }
        Disconnect();
        if (retry_)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retry_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
    }
    delete coreListener_;
    delete registryListener_;
    if (context_)
        pw_context_destroy(context_);
    if (loop_)
        pw_thread_loop_destroy(loop_);
    pw_deinit();
}

void PipeWireDevice::exclusive(const std::function<void()>& fn)
{
    using Call = AudioCall<const std::function<void()>>;
    Call call{&fn, &invokeRan_};
    // The data loop's queue of calls takes one writer at a time: PipeWire's own thread
    // writes to it under the loop's lock, so ours does too, or the two calls mix.
    pw_thread_loop_lock(loop_);
    const int r = pw_data_loop_invoke(dataLoop_, &Call::Run, 0, nullptr, 0, true, &call);
    pw_thread_loop_unlock(loop_);
    if (r < 0 && !call.done.load()) {
        // The loop refused the call: it is not running, so nothing else touches the client.
        fn();
        return;
    }
    while (!call.done.load(std::memory_order_acquire))
        invokeRan_.wait(kInvokeLook);
}

void PipeWireDevice::Process()
{
    Stream* in = in_.load(std::memory_order_acquire);
    Stream* out = out_.load(std::memory_order_acquire);
    if (!in || !started_.load(std::memory_order_acquire))
        return;
    if (rejoining_.load(std::memory_order_acquire) && rejoining_.exchange(false, std::memory_order_acq_rel)) {
        // The first cycle since the server's return: the graph may run another period now.
        phased_ = false;
        lastTicks_ = 0;
        client_->resumed();
        backAt_.store(NowNs(), std::memory_order_release);
    }

    uint32_t frames = 0;
    if (pw_buffer* b = pw_stream_dequeue_buffer(in->stream)) {
        spa_data& d = b->buffer->datas[0];
        if (d.data && d.chunk) {
            const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const uint32_t size = std::min(d.chunk->size, d.maxsize - offset) & ~1u;
            frames = size / 2;
            pw_time t{};
            const bool timed = pw_stream_get_time_n(in->stream, &t, sizeof t) == 0 && t.rate.denom != 0;
            resampled_ = timed && t.rate.denom != rate_;
            // The graph's period, from its clock: frames per cycle vary when resampling.
            if (timed && lastTicks_ != 0 && t.ticks > lastTicks_) {
                const auto quantum = static_cast<uint32_t>(t.ticks - lastTicks_);
                if (quantum == lastQuantum_) {
                    quantum_.store(quantum, std::memory_order_relaxed);
                    graphRate_.store(t.rate.denom, std::memory_order_relaxed);
                }
                lastQuantum_ = quantum;
            }
            lastTicks_ = timed ? t.ticks : 0;
            client_->captured(static_cast<const uint8_t*>(d.data) + offset, size);
        }
        pw_stream_queue_buffer(in->stream, b);
    }

    cycleFrames_ = frames;
    // The playback stream's own process callback plays this cycle's share, so that the
    // adapter takes it in this very cycle.
    if (out)
        pw_stream_trigger_process(out->stream);
}

void PipeWireDevice::Play()
{
    Stream* out = out_.load(std::memory_order_acquire);
    if (!out)
        return;
    if (pw_buffer* b = pw_stream_dequeue_buffer(out->stream)) {
        spa_data& d = b->buffer->datas[0];
        if (d.data && d.chunk && rejoining_.load(std::memory_order_acquire)) {
            // Back from the server's absence, the output may be linked and run before the
            // input: it plays silence of its own until sound comes, rather than run dry and
            // then skip that much of the sound to keep a phase from before.
            const uint32_t bytes = std::min<uint32_t>(b->requested ? uint32_t(b->requested) * 2 : d.maxsize, d.maxsize);
            std::memset(d.data, 0, bytes);
            d.chunk->offset = 0;
            d.chunk->size = bytes;
            d.chunk->stride = 2;
        } else if (d.data && d.chunk) {
            // What the adapter needs for the graph's next period: through a resampler a cycle
            // takes a frame more or less than the capture brought, and at a period change it
            // asks once for the old period's share.
            uint32_t want = b->requested ? uint32_t(b->requested) : cycleFrames_;
            want = std::min(want, d.maxsize / 2);
            if (!phased_ && cycleFrames_ > 0) {
                // The phase between capture and playback is set once, at the first cycle that
                // captured: a block is then never late, and the output waits no longer than
                // that needs. Through resamplers the first cycle's request exceeds what the
                // capture brought by the two filters' delays (503 frames for 441 at 44100 Hz
                // on a 48 kHz graph), and the output stays that far ahead for good.
                const uint32_t ahead = want > cycleFrames_ ? want - cycleFrames_ : 0;
                client_->phase(cycleFrames_, resampled_, ahead + (resampled_ ? kResamplerSlack : 0));
                phased_ = true;
            }
            client_->play(static_cast<uint8_t*>(d.data), want * 2);
            d.chunk->offset = 0;
            d.chunk->size = want * 2;
            d.chunk->stride = 2;
        }
        pw_stream_queue_buffer(out->stream, b);
    }
}

void PipeWireDevice::Fault(const std::string& text)
{
    if (!away_)
        fault_.raise(text);
}

void PipeWireDevice::Lost()
{
    if (std::exchange(away_, true))
        return;
    stale_ = true;
    backAt_.store(0, std::memory_order_relaxed);
    goneAt_.store(NowNs(), std::memory_order_release);
    timespec soon{0, kRetryNs};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &soon, nullptr, false);
}

void PipeWireDevice::Retry()
{
    // What was made on the connection that is gone goes first (not in the lost connection's
    // own callback); the realtime thread no longer runs its streams.
    if (std::exchange(stale_, false)) {
        for (Stream* d : {in_.load(), out_.load()})
            if (d && d->stream) {
                spa_hook_remove(&d->listener);
                pw_stream_destroy(d->stream);
                d->stream = nullptr;
            }
        Disconnect();
    }
    if (!core_ && !Connect()) {
        timespec later{0, kRetryNs};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &later, nullptr, false);
        return;
    }
    // A server that has just started has no devices yet, and a stream connected then would
    // be refused for want of one: the streams wait for the session manager to bring them.
    bool ready = false;
    {
        std::lock_guard lock(nodesLock_);
        bool source = false;
        bool sink = false;
        for (const auto& [id, node] : nodes_) {
            source = source || node.source;
            sink = sink || node.sink;
        }
        ready = (source || !in_.load()) && (sink || !out_.load());
    }
    // In the order of the first opens: the output, then the input that triggers it.
    for (Stream* d : {out_.load(), in_.load()})
        if (ready && d)
            ready = ConnectStream(*d);
    if (!ready) {
        timespec later{0, kRetryNs};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &later, nullptr, false);
        return;
    }
    away_ = false;
    rejoining_.store(true, std::memory_order_release);
}

std::string PipeWireDevice::takeOutageNews()
{
    const uint64_t gone = goneAt_.load(std::memory_order_acquire);
    if (gone == 0)
        return {};
    if (toldGone_ != gone) {
        toldGone_ = gone;
        return "the PipeWire sound server went away: no sound until it runs again, and Vobblix plays on by itself "
               "as soon as it does";
    }
    const uint64_t back = backAt_.load(std::memory_order_acquire);
    if (back < gone || !goneAt_.compare_exchange_strong(toldGone_, 0, std::memory_order_acq_rel))
        return {};
    toldGone_ = 0;
    char text[200];
    std::snprintf(text, sizeof text,
                  "the PipeWire sound server is back: Vobblix plays again after %.1f s without sound (a recording "
                  "holds silence for that time)",
                  double(back - gone) / 1e9);
    return text;
}

std::string PipeWireDevice::takeFault()
{
    return fault_.take();
}

std::string PipeWireDevice::takeNotice()
{
    const uint32_t now = quantum_.load(std::memory_order_relaxed);
    if (now == noticedQuantum_)
        return {};
    const uint32_t before = std::exchange(noticedQuantum_, now);
    if (before == 0)
        return {};
    return "the PipeWire graph changed its period from " + std::to_string(before) + " to " + std::to_string(now) +
           " frames; a glitch may be heard at the change";
}

void PipeWireDevice::NodeAdded(uint32_t id, const char* mediaClass, const char* name, const char* description)
{
    if (!name)
        return;
    const std::string_view kind(mediaClass ? mediaClass : "");
    const bool source = kind == "Audio/Source" || kind == "Audio/Source/Virtual" || kind == "Audio/Duplex";
    const bool sink = kind == "Audio/Sink" || kind == "Audio/Duplex";
    std::lock_guard lock(nodesLock_);
    nodes_[id] = Node{name, description && *description ? description : name, source, sink, kind == "Midi/Bridge"};
}

void PipeWireDevice::PortAdded(uint32_t id, const spa_dict* props)
{
    const char* nodeId = spa_dict_lookup(props, PW_KEY_NODE_ID);
    if (!pedal_ || !nodeId)
        return;
    Node owner;
    {
        std::lock_guard lock(nodesLock_);
        const auto it = nodes_.find(uint32_t(std::strtoul(nodeId, nullptr, 10)));
        if (it == nodes_.end())
            return;
        owner = it->second;
    }
    pedal_->PortAdded(id, props, owner.name, owner.midiBridge);
}

void PipeWireDevice::NodeRemoved(uint32_t id)
{
    {
        std::lock_guard lock(nodesLock_);
        nodes_.erase(id);
    }
    if (pedal_)
        pedal_->Removed(id);
}

void PipeWireDevice::setInput(midi::MidiSink* sink, const std::string& source)
{
    if (!connected_)
        return;
    pw_thread_loop_lock(loop_);
    midiSink_ = sink;
    midiSource_ = source;
    if (pedal_)
        pedal_->setInput(sink, source);
    pw_thread_loop_unlock(loop_);
}

void PipeWireDevice::Sync() const
{
    // One round trip, so that what the registry told holds everything the server had when asked.
    pw_thread_loop_lock(loop_);
    if (core_ && registry_) {
        syncAsked_ = pw_core_sync(core_, PW_ID_CORE, syncAsked_);
        while (syncDone_ != syncAsked_ && !fault_.raised() && !away_)
            if (pw_thread_loop_timed_wait(loop_, kListWaitSeconds) != 0)
                break;
    }
    pw_thread_loop_unlock(loop_);
}

std::vector<midi::Source> PipeWireDevice::sources() const
{
    std::vector<midi::Source> list;
    if (!connected_)
        return list;
    Sync();
    pw_thread_loop_lock(loop_);
    if (pedal_)
        list = pedal_->sources();
    pw_thread_loop_unlock(loop_);
    return list;
}

void PipeWireDevice::Synced(int seq)
{
    syncDone_ = seq;
    pw_thread_loop_signal(loop_, false);
}

std::vector<DeviceChoice> PipeWireDevice::devices(bool capture) const
{
    if (!connected_)
        return {};
    Sync();

    std::vector<DeviceChoice> list;
    std::lock_guard lock(nodesLock_);
    for (const auto& [id, node] : nodes_)
        if (capture ? node.source : node.sink)
            list.push_back({node.name, node.description});
    return list;
}

double PipeWireDevice::latencyMs(uint32_t leadFrames) const
{
    const uint32_t quantum = quantum_.load(std::memory_order_relaxed);
    const uint32_t graphRate = graphRate_.load(std::memory_order_relaxed);
    if (quantum == 0 || graphRate == 0 || rate_ == 0)
        return -1.0;
    return 1000.0 * (double(leadFrames) / rate_ + double(quantum) / graphRate);
}

MMRESULT PipeWireDevice::open(Side side, const StreamFormat& format, AudioClient& client)
{
    if (!connected_)
        return MMSYSERR_NODRIVER;
    const bool capture = side == Side::Capture;
    auto d = std::make_unique<Stream>(*this, capture);
    pw_thread_loop_lock(loop_);
    rate_ = format.rate;
    client_ = &client;
    formats_[capture ? 0 : 1] = format;
    const bool opened = core_ && ConnectStream(*d);
    if (opened) {
        if (capture)
            phased_ = false;
        else
            client.keepPhase();
        (capture ? in_ : out_).store(d.release(), std::memory_order_release);
    }
    pw_thread_loop_unlock(loop_);
    return opened ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

bool PipeWireDevice::ConnectStream(Stream& d)
{
    const StreamFormat& format = formats_[d.capture ? 0 : 1];
    const bool capture = d.capture;
    const std::string group = "vobblix-" + std::to_string(::getpid());
    const uint32_t latency = std::clamp(format.blockBytes / 2, kMinLatencyFrames, kMaxLatencyFrames);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback", PW_KEY_MEDIA_ROLE,
        "Production", PW_KEY_APP_NAME, kAppName, PW_KEY_APP_ICON_NAME, kIconName, PW_KEY_NODE_NAME,
        capture ? "vobblix.input" : "vobblix.output", PW_KEY_NODE_DESCRIPTION,
        capture ? "Vobblix guitar input" : "Vobblix wah output", PW_KEY_MEDIA_NAME,
        capture ? "Guitar input" : "Wah output", PW_KEY_NODE_GROUP, group.c_str(), PW_KEY_NODE_LINK_GROUP,
        group.c_str(), nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", latency, format.rate);
    if (!format.device.empty())
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, format.device.c_str());

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = format.rate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    uint8_t pod[kPodBytes];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, pod, sizeof pod);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    d.events = pw_stream_events{};
    d.events.version = PW_VERSION_STREAM_EVENTS;
    d.events.state_changed = &OnStateChanged;
    d.events.process = capture ? &OnCaptureProcess : &OnPlaybackProcess;
    // A capture that was started before the server went away comes back running.
    const bool inactive = capture && !started_.load(std::memory_order_acquire);
    const auto streamFlags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
        (inactive ? PW_STREAM_FLAG_INACTIVE : 0) | (capture ? 0 : PW_STREAM_FLAG_TRIGGER));

    d.stream = pw_stream_new(core_, capture ? "Vobblix input" : "Vobblix output", props);
    if (!d.stream)
        return false;
    d.listener = spa_hook{};
    pw_stream_add_listener(d.stream, &d.listener, &d.events, &d);
    if (pw_stream_connect(d.stream, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY, streamFlags, params,
                          1) < 0) {
        spa_hook_remove(&d.listener);
        pw_stream_destroy(d.stream);
        d.stream = nullptr;
        return false;
    }
    return true;
}

MMRESULT PipeWireDevice::start()
{
    Stream* in = in_.load();
    if (!in)
        return MMSYSERR_INVALHANDLE;
    started_.store(true, std::memory_order_release);
    pw_thread_loop_lock(loop_);
    // While the server is away the stream comes back running.
    const int r = in->stream ? pw_stream_set_active(in->stream, true) : 0;
    pw_thread_loop_unlock(loop_);
    return r < 0 ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

void PipeWireDevice::stop()
{
    Stream* in = in_.load();
    if (!in)
        return;
    started_.store(false, std::memory_order_release);
    pw_thread_loop_lock(loop_);
    if (in->stream)
        pw_stream_set_active(in->stream, false);
    pw_thread_loop_unlock(loop_);
}

void PipeWireDevice::close(Side side)
{
    std::atomic<Stream*>& slot = side == Side::Capture ? in_ : out_;
    // Out of the realtime thread's sight first, then gone from the graph.
    Stream* d = nullptr;
    exclusive([&] { d = slot.exchange(nullptr, std::memory_order_acq_rel); });
    if (!d)
        return;
    pw_thread_loop_lock(loop_);
    if (d->stream) {
        spa_hook_remove(&d->listener);
        pw_stream_destroy(d->stream);
    }
    pw_thread_loop_unlock(loop_);
    delete d;
}

} // namespace wave
