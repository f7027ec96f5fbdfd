#include "platform/wave/Engine.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <numeric>
#include <utility>

namespace wave {
namespace {

constexpr uint32_t kMinQueueCapacity = 64;
// A side holds at most this many seconds of buffers at once; more is refused as "no
// memory". Generous, since a slot is only a pointer: a stalled output must not refuse
// buffers long before anyone hears the stall.
constexpr uint32_t kQueueSeconds = 8;

// Boot time goes on through a suspend, so a laptop's sleep counts as time not run.
uint64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

} // namespace

struct WaveEngine::Port final : WaveInDevice, WaveOutDevice {
    Port(Side s, uint32_t capacity, GlitchCounts& counts) : side(s), core(s == Side::Capture, capacity, counts) {}

    const Side side;
    DeviceCore core;
    uintptr_t callback = 0;
    uintptr_t instance = 0;

    void message(uint32_t msg, uintptr_t param)
    {
        if (side == Side::Capture)
            reinterpret_cast<WaveInProc>(callback)(this, msg, instance, param, 0);
        else
            reinterpret_cast<WaveOutProc>(callback)(this, msg, instance, param, 0);
    }
};

WaveEngine::WaveEngine(std::unique_ptr<DuplexDevice> device) : device_(std::move(device)) {}

WaveEngine::~WaveEngine()
{
    // Whatever the stream left open goes before the device that calls into it.
    for (Side side : {Side::Capture, Side::Playback})
        if ((side == Side::Capture ? in_ : out_).load())
            device_->close(side);
    device_.reset();
    delete in_.exchange(nullptr);
    delete out_.exchange(nullptr);
}

uint32_t WaveEngine::LeadFrames(uint32_t blockFrames, uint32_t cycleFrames, bool cycleVaries)
{
    if (blockFrames == 0)
        return 0;
    if (cycleVaries || cycleFrames == 0)
        return blockFrames - 1;
    return blockFrames - std::gcd(blockFrames, cycleFrames);
}

void WaveEngine::Deliver(Port& port)
{
    WAVEHDR* h = nullptr;
    while (port.core.takeCompleted(h))
        port.message(port.side == Side::Capture ? WIM_DATA : WOM_DONE, reinterpret_cast<uintptr_t>(h));
}

void WaveEngine::captured(const uint8_t* src, uint32_t bytes)
{
    Port* in = in_.load(std::memory_order_acquire);
    if (!in || dead_.load(std::memory_order_acquire))
        return;
    const uint64_t now = NowNs();
    // This thread alone writes the stamp, so it reads its own last one.
    const uint64_t last = lastCycle_.load(std::memory_order_relaxed);
    const uint64_t lastNs = (last >> 16) * 1000;
    if (std::exchange(resumed_, false) && last != 0 && now > lastNs) {
        // The server was away: the time up to this cycle's sound was silence, not a program
        // that did not run.
        const uint64_t gap = (now - lastNs) * rate_.load(std::memory_order_relaxed) / 1'000'000'000u;
        outageFrames_.fetch_add(gap > bytes / 2 ? gap - bytes / 2 : 0, std::memory_order_relaxed);
        // The new graph's first cycles set the phase between input and output again.
        if (Port* out = out_.load(std::memory_order_acquire))
            out->core.rephase();
        leadFrames_.store(0, std::memory_order_relaxed);
    } else if (last != 0 && now > lastNs && now - lastNs > kPauseNs) {
        pauses_.fetch_add(1, std::memory_order_relaxed);
        pausedNs_.fetch_add(now - lastNs, std::memory_order_relaxed);
    }
    in->core.capture(src, bytes);
    // After the count it stamps: a reader that takes the stamp first never sees the output
    // closer than it is.
    lastCycle_.store((now / 1000) << 16 | std::min<uint32_t>(bytes / 2, 0xffff), std::memory_order_release);
    Deliver(*in);
}

void WaveEngine::play(uint8_t* dst, uint32_t bytes)
{
    Port* out = out_.load(std::memory_order_acquire);
    if (!out || dead_.load(std::memory_order_acquire)) {
        std::memset(dst, 0, bytes);
        return;
    }
    out->core.play(dst, bytes);
    Deliver(*out);
}

uint32_t WaveEngine::waiting() const
{
    const Port* out = out_.load(std::memory_order_acquire);
    return out && !dead_.load(std::memory_order_acquire) ? out->core.waitingFrames() : 0;
}

int64_t WaveEngine::behind() const
{
    // Read in this order, a block written or captured meanwhile can only make the distance
    // look longer for a moment, never shorter.
    const uint64_t written = counts_.writtenFrames.load(std::memory_order_acquire);
    const uint32_t queued = waiting();
    const uint64_t cycle = lastCycle_.load(std::memory_order_acquire);
    const uint64_t captured = counts_.capturedFrames.load(std::memory_order_acquire) -
                              counts_.overrunFrames.load(std::memory_order_acquire);
    // The input went on since its last cycle: counting what it took in meanwhile keeps the
    // distance from jumping by a cycle each time the two threads' wake-ups pass each other.
    const uint64_t atUs = cycle >> 16;
    const uint64_t nowUs = NowNs() / 1000;
    const uint64_t sinceUs = cycle == 0 || nowUs < atUs ? 0 : nowUs - atUs;
    const uint64_t sinceFrames =
        std::min<uint64_t>(sinceUs * rate_.load(std::memory_order_relaxed) / 1'000'000u, cycle & 0xffff);
    return int64_t(captured + sinceFrames) - int64_t(written) + int64_t(queued);
}

uint32_t WaveEngine::phase(uint32_t cycleFrames, bool varies, uint32_t ahead)
{
    const uint32_t want = LeadFrames(blockHint_ / 2, cycleFrames, varies) + ahead;
    const uint32_t have = leadFrames_.load(std::memory_order_relaxed);
    // Only ever more: silence taken out again would be a block played early, a click.
    if (want > have) {
        if (Port* out = out_.load(std::memory_order_acquire))
            out->core.lead(2 * (want - have));
        leadFrames_.store(want, std::memory_order_relaxed);
    }
    return std::max(want, have);
}

void WaveEngine::cushion(uint32_t frames)
{
    if (Port* out = out_.load(std::memory_order_acquire))
        out->core.setDryCushion(2 * frames);
}

void WaveEngine::keepPhase()
{
    if (Port* out = out_.load(std::memory_order_acquire))
        out->core.keepPhase();
}

WaveEngine::Port* WaveEngine::In(HWAVEIN handle) const
{
    Port* in = in_.load(std::memory_order_acquire);
    return handle && handle == static_cast<WaveInDevice*>(in) ? in : nullptr;
}

WaveEngine::Port* WaveEngine::Out(HWAVEOUT handle) const
{
    Port* out = out_.load(std::memory_order_acquire);
    return handle && handle == static_cast<WaveOutDevice*>(out) ? out : nullptr;
}

MMRESULT WaveEngine::Open(Side side, void** handle, const PCMWAVEFORMAT& format, uintptr_t callback,
                          uintptr_t instance, uint32_t flags)
{
    if (dead_.load())
        return MMSYSERR_NODRIVER;
    if (!IsSupportedFormat(format) || !device_->supports(format.nSamplesPerSec))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (!handle || !callback)
        return MMSYSERR_INVALPARAM;
    std::atomic<Port*>& slot = side == Side::Capture ? in_ : out_;
    if (slot.load())
        return MMSYSERR_ALLOCATED;

    const uint32_t blockBytes = std::max<uint32_t>(blockHint_ & ~1u, 2);
    const uint32_t perSecond = format.nAvgBytesPerSec / blockBytes + 1;
    auto port = std::make_unique<Port>(side, std::max(kMinQueueCapacity, perSecond * kQueueSeconds), counts_);
    port->callback = callback;
    port->instance = instance;
    // In place before the device's thread can first ask for it; the device runs nothing of
    // a side before it opens it, so no thread sees the slot change.
    if (side == Side::Playback)
        leadFrames_.store(0, std::memory_order_relaxed);
    else
        rate_.store(format.nSamplesPerSec, std::memory_order_relaxed);
    slot.store(port.get(), std::memory_order_release);
    const StreamFormat stream{format.nSamplesPerSec, blockHint_,
                              side == Side::Capture ? inputDevice() : outputDevice()};
    if (MMRESULT r = device_->open(side, stream, *this)) {
        slot.store(nullptr, std::memory_order_release);
        return r;
    }
    Port* opened = port.release();
    *handle = side == Side::Capture ? static_cast<void*>(static_cast<WaveInDevice*>(opened))
                                    : static_cast<void*>(static_cast<WaveOutDevice*>(opened));
    return MMSYSERR_NOERROR;
}

MMRESULT WaveEngine::waveInOpen(HWAVEIN* handle, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                uintptr_t instance, uint32_t flags)
{
    return Open(Side::Capture, reinterpret_cast<void**>(handle), format, reinterpret_cast<uintptr_t>(callback),
                instance, flags);
}

MMRESULT WaveEngine::waveOutOpen(HWAVEOUT* handle, uint32_t, const PCMWAVEFORMAT& format, WaveOutProc callback,
                                 uintptr_t instance, uint32_t flags)
{
    return Open(Side::Playback, reinterpret_cast<void**>(handle), format, reinterpret_cast<uintptr_t>(callback),
                instance, flags);
}

MMRESULT WaveEngine::waveInPrepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return In(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT WaveEngine::waveInUnprepareHeader(HWAVEIN h, WAVEHDR* header)
{
    return In(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT WaveEngine::waveOutPrepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return Out(h) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT WaveEngine::waveOutUnprepareHeader(HWAVEOUT h, WAVEHDR* header)
{
    return Out(h) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT WaveEngine::Enqueue(Port* port, WAVEHDR* header)
{
    if (!port)
        return MMSYSERR_INVALHANDLE;
    return dead_.load(std::memory_order_acquire) ? MMSYSERR_NODRIVER : port->core.enqueue(header);
}

MMRESULT WaveEngine::waveInAddBuffer(HWAVEIN h, WAVEHDR* header)
{
    return Enqueue(In(h), header);
}

MMRESULT WaveEngine::waveOutWrite(HWAVEOUT h, WAVEHDR* header)
{
    return Enqueue(Out(h), header);
}

MMRESULT WaveEngine::waveInStart(HWAVEIN h)
{
    if (!In(h))
        return MMSYSERR_INVALHANDLE;
    if (dead_.load())
        return MMSYSERR_NODRIVER;
    if (Port* out = out_.load())
        playbackFramesAtCaptureStart_ = out->core.frames.load();
    return device_->start();
}

MMRESULT WaveEngine::Reset(Port* port)
{
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (port->side == Side::Capture)
        device_->stop();
    device_->exclusive([&] {
        port->core.handBack();
        if (port->side == Side::Capture)
            lastCycle_.store(0, std::memory_order_release);
        Deliver(*port);
    });
    return MMSYSERR_NOERROR;
}

MMRESULT WaveEngine::waveInReset(HWAVEIN h)
{
    return Reset(In(h));
}

MMRESULT WaveEngine::waveOutReset(HWAVEOUT h)
{
    return Reset(Out(h));
}

MMRESULT WaveEngine::Close(Port* port)
{
    if (!port)
        return MMSYSERR_INVALHANDLE;
    bool busy = false;
    device_->exclusive([&] {
        busy = port->core.busy();
        if (!busy)
            (port->side == Side::Capture ? in_ : out_).store(nullptr, std::memory_order_release);
    });
    if (busy)
        return WAVERR_STILLPLAYING;
    device_->close(port->side);
    port->message(port->side == Side::Capture ? WIM_CLOSE : WOM_CLOSE, 0);
    delete port;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveEngine::waveInClose(HWAVEIN h)
{
    return Close(In(h));
}

MMRESULT WaveEngine::waveOutClose(HWAVEOUT h)
{
    return Close(Out(h));
}

std::string WaveEngine::takeFault()
{
    std::string fault = device_->takeFault();
    if (fault.empty() || dead_.exchange(true))
        return fault;
    // Every buffer goes back now: a server that is gone would never return them.
    device_->exclusive([this] {
        for (Port* port : {in_.load(), out_.load()}) {
            if (!port)
                continue;
            port->core.handBack();
            Deliver(*port);
        }
    });
    return fault;
}

double WaveEngine::latencyMs() const
{
    if (dead_.load(std::memory_order_acquire))
        return -1.0;
    return device_->latencyMs(leadFrames_.load(std::memory_order_relaxed));
}

WaveCounters WaveEngine::counters() const
{
    WaveCounters c;
    counts_.into(c);
    c.playbackFramesAtCaptureStart = playbackFramesAtCaptureStart_.load();
    c.pauses = pauses_.load(std::memory_order_relaxed);
    c.pausedNs = pausedNs_.load(std::memory_order_relaxed);
    device_->addCounters(c);
    return c;
}

uint32_t WaveEngine::held(Side side) const
{
    const Port* port = (side == Side::Capture ? in_ : out_).load(std::memory_order_acquire);
    return port ? port->core.held() : 0;
}

bool WaveEngine::takeCaptureGap(CaptureGap& gap)
{
    Port* in = in_.load(std::memory_order_acquire);
    return in && in->core.takeGap(gap);
}

} // namespace wave
