#include "platform/wave/PulseDevice.h"

#include "platform/thread/SteadyClock.h"
#include "platform/thread/ThreadPriority.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace wave {
namespace {

constexpr const char* kAppName = "Vobblix";
constexpr const char* kIconName = "vobblix";
// The smallest fragment the server is asked for, in bytes.
constexpr uint32_t kMinFragmentBytes = 64;
// The record stream's fragment as a part of a block: a sound card hands its input over in
// pieces about this long, so that a block waits at most that much past its last sample.
constexpr uint32_t kFragmentsPerBlock = 4;
// The silence ahead of the first block in quarters of a block: the margin a late wake-up of the
// loop's thread has before the server plays silence. Every frame of it is on a click's way.
// After a wake-up later than that the server played silence, and the output keeps the longer
// margin that lateness gave it, up to the slack below.
constexpr uint32_t kMarginQuarters = 3;
// The output's queue may run this part of a block past the margin and a block before the
// excess is won back in quiet stretches.
constexpr uint32_t kSlackDivisor = 4;
// Past this many blocks (or the largest piece of input, if longer) the excess can only be
// input a stall held back, and it is left unplayed at once: a jump, heard right after the
// silence the stall made, where waiting for quiet would keep every note that late.
constexpr uint32_t kHardTrimBlocks = 2;
// Sound the output owes back after a late wake-up is taken from stretches this long whose
// every sample is within this level (about -54 dBFS): unheard, and never from a note.
constexpr uint32_t kTrimWindow = 32;
constexpr int16_t kQuietLevel = 64;
// What the output's queue is taken to hold at most, in frames: a longer figure is a clock
// that jumped.
constexpr uint64_t kMaxQueuedFrames = 1u << 20;
// A timing update older than this, in microseconds, no longer tells where the server reads.
constexpr pa_usec_t kFreshTimingUs = 20'000;
// A quarter of a second of input kept by the server, as the stream keeps at most.
constexpr uint32_t kRecordMaxDivisor = 4;
// The loop's thread carries the sound: realtime where the system allows, so that the rest of
// a busy machine cannot make the guitar drop out.
constexpr int32_t kLoopPriority = 2;
// The latency shown is the average of this many writes' (well under a second's), and moves only
// by at least this much, in microseconds: each write's figure wanders by a few milliseconds
// with when the input came, and the status line would flicker.
constexpr int64_t kLatencyAveraging = 64;
constexpr int64_t kLatencyStepUs = 1000;
// The longest a device list waits for the server.
constexpr auto kListWait = std::chrono::seconds(2);

struct Collector {
    std::vector<DeviceChoice> list;
    bool done = false;
};

// Called on the listing's own main loop, on the UI thread.
template <typename Info>
void OnInfo(pa_context*, const Info* info, int eol, void* user)
{
    auto* c = static_cast<Collector*>(user);
    if (eol != 0 || !info) {
        c->done = true;
        return;
    }
    const char* description = info->description && *info->description ? info->description : info->name;
    c->list.push_back({info->name, description});
}

// Called on the main loop's thread.
void OnContextState(pa_context* c, void* user)
{
    auto* d = static_cast<PulseDevice*>(user);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_FAILED)
        d->Failed(PulseDevice::Failure::Connection, pa_context_errno(c));
    d->Signal();
}

// Called on the main loop's thread.
template <PulseDevice::Failure kSide>
void OnStreamState(pa_stream* s, void* user)
{
    auto* d = static_cast<PulseDevice*>(user);
    if (pa_stream_get_state(s) == PA_STREAM_FAILED) {
        pa_context* c = pa_stream_get_context(s);
        // Streams fail with the connection too: the cause is told, not its consequence.
        const bool lost = !PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
        d->Failed(lost ? PulseDevice::Failure::Connection : kSide, pa_context_errno(c));
    }
    d->Signal();
}

// Called on the main loop's thread.
void OnRead(pa_stream*, size_t, void* user) { static_cast<PulseDevice*>(user)->Read(); }
void OnUnderflow(pa_stream*, void* user) { static_cast<PulseDevice*>(user)->Underflow(); }
void OnOverflow(pa_stream*, void* user) { static_cast<PulseDevice*>(user)->Overflow(); }

void Drop(pa_operation* op)
{
    if (op)
        pa_operation_unref(op);
}

// How long a sample now waits in the input, from the server's timing info: in the device, the
// transport and what was read and not yet taken.
int64_t RecordMicros(pa_stream* in)
{
    const pa_timing_info* t = in ? pa_stream_get_timing_info(in) : nullptr;
    if (!t)
        return -1;
    return int64_t(t->source_usec) + int64_t(t->transport_usec) +
           int64_t(pa_bytes_to_usec(pa_stream_readable_size(in), pa_stream_get_sample_spec(in)));
}

} // namespace

PulseDevice::Attributes PulseDevice::AttributesFor(uint32_t rate, uint32_t blockBytes)
{
    Attributes a;
    const uint32_t block = std::max(blockBytes & ~1u, 2u);
    a.fragment = std::max((block / kFragmentsPerBlock) & ~1u, kMinFragmentBytes);
    a.recordMax = std::max((rate * 2 / kRecordMaxDivisor) & ~1u, 4 * block);
    a.margin = (block * kMarginQuarters / 4) & ~1u;
    // Each write is a whole block, and the stream plays again with the first after it ran dry.
    a.prebuffer = block;
    a.target = a.margin + 2 * block;
    // With the latency adjusted, the server gives the sink's own buffer half of what the target
    // leaves beyond two requests: none here, so the sink runs at its shortest. A longer one
    // spares the server wake-ups but adds its length to every click's way.
    a.minimumRequest = a.target / 2;
    return a;
}

PulseDevice::PulseDevice()
{
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        connectError_ = "its main loop could not be made";
        return;
    }
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kAppName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kIconName);
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), kAppName, props);
    pa_proplist_free(props);
    if (!context_) {
        connectError_ = "its context could not be made";
        return;
    }
    pa_context_set_state_callback(context_, &OnContextState, this);
    pa_threaded_mainloop_lock(loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        connectError_ = pa_strerror(pa_context_errno(context_));
    } else if (pa_threaded_mainloop_start(loop_) < 0) {
        connectError_ = "its thread did not start";
    } else {
        // Named from its own thread: libpulse names the thread that asks.
        pa_threaded_mainloop_once_unlocked(
            loop_,
            [](pa_threaded_mainloop* m, void*) {
                pa_threaded_mainloop_set_name(m, "vobblix-pulse");
                thread::SetCurrentThreadPriority(kLoopPriority);
            },
            nullptr);
        pa_context_state_t state;
        while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
            pa_threaded_mainloop_wait(loop_);
        connected_ = state == PA_CONTEXT_READY;
        if (!connected_)
            connectError_ = pa_strerror(pa_context_errno(context_));
    }
    // A failure while connecting is told by connectError, not as a fault of a running stream.
    failure_.store(0);
    pa_threaded_mainloop_unlock(loop_);
}

PulseDevice::~PulseDevice()
{
    if (!loop_)
        return;
    pa_threaded_mainloop_lock(loop_);
    for (pa_stream* s : {in_.exchange(nullptr), out_.exchange(nullptr)}) {
        if (!s)
            continue;
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

bool PulseDevice::supports(uint32_t rate) const
{
    return connected_ && rate > 0 && rate <= PA_RATE_MAX;
}

void PulseDevice::Underflow()
{
    // Counted with its silence at the next write: a warning told between the two would say
    // the silence without its underflow. One at the end of a stream is no glitch.
    dry_ = true;
}

void PulseDevice::Signal()
{
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseDevice::Failed(Failure what, int errnum)
{
    int none = 0;
    if (failure_.compare_exchange_strong(none, int(what), std::memory_order_acq_rel))
        failureErr_.store(errnum, std::memory_order_release);
}

std::string PulseDevice::takeFault()
{
    const auto what = Failure(failure_.load(std::memory_order_acquire));
    if (what == Failure::None || told_)
        return {};
    told_ = true;
    const std::string why = pa_strerror(failureErr_.load(std::memory_order_acquire));
    if (what == Failure::Connection)
        return "The connection to the PulseAudio sound server was lost (" + why +
               "). The sound has stopped; restart Vobblix once the server runs again.";
    return std::string("The PulseAudio sound server stopped the Vobblix ") +
           (what == Failure::Input ? "input" : "output") + " stream (" + why +
           "). The sound has stopped; restart Vobblix to play again.";
}

void PulseDevice::Read()
{
    pa_stream* in = in_.load(std::memory_order_acquire);
    if (!in)
        return;
    pa_stream* out = out_.load(std::memory_order_acquire);
    const bool started = started_.load(std::memory_order_acquire);
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(in, &data, &bytes) < 0 || bytes == 0)
            break;
        if (!started) {
            pa_stream_drop(in);
            continue;
        }
        const auto whole = uint32_t(bytes & ~size_t(1));
        largestPiece_ = std::max(largestPiece_, whole);
        if (data) {
            client_->captured(static_cast<const uint8_t*>(data), whole);
        } else {
            // A hole the server left in the input: heard as silence, in its place.
            for (uint32_t at = 0; at < whole;) {
                const auto part = std::min<uint32_t>(whole - at, uint32_t(silence_.size()));
                client_->captured(silence_.data(), part);
                at += part;
            }
        }
        pa_stream_drop(in);
        unwritten_ += whole;
        // The pieces need not meet the blocks: each block is written the moment its last
        // piece came in and it was filtered, and nothing before.
        if (out && unwritten_ >= block_) {
            const uint32_t ready = unwritten_ - unwritten_ % block_;
            unwritten_ -= ready;
            const size_t readable = pa_stream_readable_size(in);
            const auto pending = readable == size_t(-1) ? 0u : uint32_t(std::min<size_t>(readable, UINT32_MAX));
            Write(out, ready, pending);
            NoteLatency(in, out);
        }
    }
}

void PulseDevice::NoteLatency(pa_stream* in, pa_stream* out)
{
    // Right after a write, a sample just filtered has the whole queue ahead of it, as every
    // sample has: between writes the figure would fall with the queue.
    const int64_t record = RecordMicros(in);
    const int64_t playback = PlaybackMicros(out);
    if (record < 0 || playback < 0)
        return;
    const int64_t now = record + playback;
    averageUs_ = averageUs_ < 0 ? now : averageUs_ + (now - averageUs_) / kLatencyAveraging;
    const int64_t shown = latencyUs_.load(std::memory_order_relaxed);
    if (shown < 0 || std::abs(averageUs_ - shown) >= kLatencyStepUs)
        latencyUs_.store(averageUs_, std::memory_order_relaxed);
}

uint32_t PulseDevice::QueuedBytes(uint64_t now) const
{
    const uint64_t frames = runsOutNs_ > now ? (runsOutNs_ - now) * rate_ / 1'000'000'000u : 0;
    return uint32_t(std::min<uint64_t>(frames, kMaxQueuedFrames)) * 2;
}

void PulseDevice::Resync(pa_stream* out, uint64_t now)
{
    // The server's read position from a timing update just in, moved on by the time since: a
    // sound card whose clock runs apart from this machine's is then not taken for a queue that
    // grows or shrinks. An older one is not used: the server may have stopped reading since,
    // having run dry.
    const pa_timing_info* t = pa_stream_get_timing_info(out);
    if (!t || !t->playing || t->write_index_corrupt || t->read_index_corrupt)
        return;
    const uint64_t stamp = uint64_t(t->timestamp.tv_sec) * PA_USEC_PER_SEC + uint64_t(t->timestamp.tv_usec);
    const pa_usec_t age = pa_timeval_age(&t->timestamp);
    if (stamp == timingStampUs_ || age > kFreshTimingUs)
        return;
    timingStampUs_ = stamp;
    const int64_t held = (t->write_index - t->read_index) / 2 - int64_t(age * rate_ / PA_USEC_PER_SEC);
    runsOutNs_ = now + uint64_t(std::max<int64_t>(held, 0)) * 1'000'000'000u / rate_;
}

int64_t PulseDevice::PlaybackMicros(pa_stream* out) const
{
    // The client's own estimate of the read position is not used: it runs ahead of a sink
    // that rendered ahead, and the latency then reads as none.
    const pa_timing_info* t = out ? pa_stream_get_timing_info(out) : nullptr;
    if (!t)
        return -1;
    const uint32_t queued = QueuedBytes(uint64_t(thread::SteadyNanoseconds()));
    return int64_t(queued / 2) * int64_t(PA_USEC_PER_SEC) / rate_ + int64_t(t->sink_usec);
}

void PulseDevice::Write(pa_stream* out, uint32_t bytes, uint32_t pending)
{
    const auto now = uint64_t(thread::SteadyNanoseconds());
    // The server played silence from when the last write ran out until this one, by the
    // clock; at least a frame, so that the warnings tell it. The output is that much later
    // from now on, which shows in its queue from the next write.
    const bool wasDry = dry_;
    if (dry_) {
        const uint64_t gap = now > runsOutNs_ ? (now - runsOutNs_) * rate_ / 1'000'000'000u : 0;
        underflowFrames_.fetch_add(std::max<uint64_t>(gap, 1), std::memory_order_relaxed);
        underflows_.fetch_add(1, std::memory_order_relaxed);
        silenceAdded_ = uint32_t(std::min<uint64_t>(silenceAdded_ + 2 * gap, UINT32_MAX - 1));
        dry_ = false;
    }
    Resync(out, now);
    uint32_t queued = QueuedBytes(now);
    if (!marginSent_) {
        marginSent_ = true;
        Send(out, margin_, true);
        queued += margin_;
    }
    // A wake-up later than the margin made the server play silence and left the output that
    // much later. That is won back in quiet stretches, unheard, unless it is a stall's
    // backlog, which is left unplayed down to the usual queue in one jump: the blocks that
    // come in the meantime go too, and nothing is sent until the jump ends. The input already
    // in counts, so that the jump comes as early after the silence as can be known.
    const uint32_t usual = margin_ + block_;
    const uint64_t ahead = uint64_t(queued) + bytes + pending;
    const uint32_t excess = ahead > usual ? uint32_t(std::min<uint64_t>(ahead - usual, UINT32_MAX)) : 0;
    if (!skipping_ && excess > std::max(kHardTrimBlocks * block_, largestPiece_)) {
        skipping_ = true;
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    if (skipping_) {
        const uint32_t skip = std::min(bytes, excess & ~1u);
        for (uint32_t left = skip; left > 0;) {
            const auto part = std::min<uint32_t>(left, uint32_t(unplayed_.size()));
            client_->play(unplayed_.data(), part);
            left -= part;
        }
        droppedFrames_.fetch_add(skip / 2, std::memory_order_relaxed);
        skipping_ = skip == bytes && skip < (excess & ~1u);
        bytes -= skip;
        owed_ = 0;
        silenceAdded_ = 0;
    } else {
        // Only what a silence added is won back. The input comes a few milliseconds early or
        // late by turns as the source's clock and this one pass each other: trimmed on its way
        // up, that wander would eat the margin on its way down, and the server would run dry.
        // Never more than the queue now holds past its usual length, or the margin would go.
        if (!wasDry)
            silenceAdded_ = std::min(silenceAdded_, excess & ~1u);
        const uint32_t owable = std::min(excess, silenceAdded_) & ~1u;
        owed_ = excess > block_ / kSlackDivisor ? owable : std::min(owed_, owable);
    }
    const uint32_t sent = Send(out, bytes, false);
    runsOutNs_ = now + uint64_t(queued + sent) / 2 * 1'000'000'000u / rate_;
}

uint32_t PulseDevice::Send(pa_stream* out, uint32_t bytes, bool silence)
{
    uint32_t sent = 0;
    while (bytes > 0) {
        void* buffer = nullptr;
        size_t size = bytes;
        if (pa_stream_begin_write(out, &buffer, &size) < 0 || !buffer || size < 2)
            break;
        const auto part = uint32_t(std::min<size_t>(size, bytes) & ~size_t(1));
        auto* samples = static_cast<int16_t*>(buffer);
        uint32_t kept = part;
        if (silence) {
            std::memset(buffer, 0, part);
        } else {
            client_->play(static_cast<uint8_t*>(buffer), part);
            if (owed_ > 0) {
                const uint32_t owedBefore = owed_;
                kept = 2 * TrimQuiet(samples, part / 2, owed_);
                silenceAdded_ -= std::min(silenceAdded_, owedBefore - owed_);
            }
        }
        if (kept == 0) {
            pa_stream_cancel_write(out);
        } else if (pa_stream_write(out, buffer, kept, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            break;
        }
        sent += kept;
        bytes -= part;
    }
    return sent;
}

uint32_t PulseDevice::TrimQuiet(int16_t* samples, uint32_t count, uint32_t& owedBytes)
{
    uint32_t kept = 0;
    for (uint32_t at = 0; at < count; at += kTrimWindow) {
        const uint32_t n = std::min(kTrimWindow, count - at);
        const bool quiet = std::all_of(samples + at, samples + at + n,
                                       [](int16_t v) { return v >= -kQuietLevel && v <= kQuietLevel; });
        if (quiet && owedBytes >= 2 * n) {
            owedBytes -= 2 * n;
            continue;
        }
        std::memmove(samples + kept, samples + at, 2 * n);
        kept += n;
    }
    return kept;
}

MMRESULT PulseDevice::open(Side side, const StreamFormat& format, AudioClient& client)
{
    if (!connected_ || failure_.load() != 0)
        return MMSYSERR_NODRIVER;
    const bool capture = side == Side::Capture;
    const Attributes a = AttributesFor(format.rate, format.blockBytes);
    rate_ = format.rate;
    client_ = &client;

    const pa_sample_spec spec{PA_SAMPLE_S16LE, format.rate, 1};
    pa_channel_map map;
    pa_channel_map_init_mono(&map);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kIconName);
    pa_buffer_attr attr{};
    attr.maxlength = capture ? a.recordMax : uint32_t(-1);
    attr.fragsize = capture ? a.fragment : uint32_t(-1);
    attr.tlength = capture ? uint32_t(-1) : a.target;
    attr.prebuf = capture ? uint32_t(-1) : a.prebuffer;
    attr.minreq = capture ? uint32_t(-1) : a.minimumRequest;
    // Latency adjusted, so that the server sizes the devices' own buffers to these.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                         (capture ? PA_STREAM_START_CORKED : PA_STREAM_INTERPOLATE_TIMING));
    const char* device = format.device.empty() ? nullptr : format.device.c_str();

    pa_threaded_mainloop_lock(loop_);
    pa_stream* s =
        pa_stream_new_with_proplist(context_, capture ? "Guitar input" : "Wah output", &spec, &map, props);
    pa_proplist_free(props);
    int r = -1;
    if (s) {
        if (capture) {
            block_ = std::max(format.blockBytes & ~1u, 2u);
            margin_ = a.margin;
            silence_.assign(block_, 0);
            unplayed_.assign(block_, 0);
            unwritten_ = 0;
            largestPiece_ = 0;
            marginSent_ = false;
            owed_ = 0;
            silenceAdded_ = 0;
            skipping_ = false;
            dry_ = false;
            runsOutNs_ = 0;
            timingStampUs_ = 0;
            averageUs_ = -1;
            latencyUs_.store(-1, std::memory_order_relaxed);
            pa_stream_set_state_callback(s, &OnStreamState<Failure::Input>, this);
            pa_stream_set_read_callback(s, &OnRead, this);
            pa_stream_set_overflow_callback(s, &OnOverflow, this);
            r = pa_stream_connect_record(s, device, &attr, flags);
        } else {
            pa_stream_set_state_callback(s, &OnStreamState<Failure::Output>, this);
            pa_stream_set_underflow_callback(s, &OnUnderflow, this);
            r = pa_stream_connect_playback(s, device, &attr, flags, nullptr, nullptr);
        }
    }
    if (r == 0) {
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(s)) == PA_STREAM_CREATING)
            pa_threaded_mainloop_wait(loop_);
        r = state == PA_STREAM_READY ? 0 : -1;
    }
    if (r == 0) {
        (capture ? in_ : out_).store(s, std::memory_order_release);
    } else if (s) {
        // A chosen device the server does not have fails the stream, not the connection.
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            failure_.store(0);
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
    pa_threaded_mainloop_unlock(loop_);
    return r == 0 ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

MMRESULT PulseDevice::start()
{
    pa_stream* in = in_.load();
    if (!in)
        return MMSYSERR_INVALHANDLE;
    pa_threaded_mainloop_lock(loop_);
    started_.store(true, std::memory_order_release);
    pa_operation* op = pa_stream_cork(in, 0, nullptr, nullptr);
    pa_threaded_mainloop_unlock(loop_);
    Drop(op);
    return op ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

void PulseDevice::stop()
{
    pa_stream* in = in_.load();
    if (!in)
        return;
    pa_threaded_mainloop_lock(loop_);
    started_.store(false, std::memory_order_release);
    Drop(pa_stream_cork(in, 1, nullptr, nullptr));
    pa_threaded_mainloop_unlock(loop_);
}

void PulseDevice::close(Side side)
{
    pa_threaded_mainloop_lock(loop_);
    if (pa_stream* s = (side == Side::Capture ? in_ : out_).exchange(nullptr, std::memory_order_acq_rel)) {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
    pa_threaded_mainloop_unlock(loop_);
}

void PulseDevice::exclusive(const std::function<void()>& fn)
{
    pa_threaded_mainloop_lock(loop_);
    fn();
    pa_threaded_mainloop_unlock(loop_);
}

void PulseDevice::addCounters(WaveCounters& c) const
{
    c.underruns += underflows_.load(std::memory_order_relaxed);
    c.underrunFrames += underflowFrames_.load(std::memory_order_relaxed);
    c.overruns += overflows_.load(std::memory_order_relaxed) + dropped_.load(std::memory_order_relaxed);
    c.overrunFrames += droppedFrames_.load(std::memory_order_relaxed);
}

double PulseDevice::latencyMs(uint32_t leadFrames) const
{
    const int64_t us = latencyUs_.load(std::memory_order_relaxed);
    if (us < 0 || rate_ == 0)
        return -1.0;
    return double(us) / 1000.0 + 1000.0 * double(leadFrames) / rate_;
}

std::vector<DeviceChoice> PulseDevice::devices(bool capture) const
{
    // A connection of its own on this thread: the stream's loop thread is left to the sound.
    Collector collector;
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return {};
    pa_context* c = pa_context_new(pa_mainloop_get_api(loop), kAppName);
    const auto deadline = std::chrono::steady_clock::now() + kListWait;
    const auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
    if (c && pa_context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
        pa_context_state_t state;
        while ((state = pa_context_get_state(c)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && running())
            pa_mainloop_iterate(loop, 1, nullptr);
        pa_operation* op = nullptr;
        if (state == PA_CONTEXT_READY)
            op = capture ? pa_context_get_source_info_list(c, &OnInfo<pa_source_info>, &collector)
                         : pa_context_get_sink_info_list(c, &OnInfo<pa_sink_info>, &collector);
        while (op && !collector.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING && running())
            pa_mainloop_iterate(loop, 1, nullptr);
        Drop(op);
        pa_context_disconnect(c);
    }
    if (c)
        pa_context_unref(c);
    pa_mainloop_free(loop);
    return collector.list;
}

} // namespace wave
