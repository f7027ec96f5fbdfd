// The wah as an LV2 plugin: one filter instance per plugin instance, its parameters taken
// from the control ports at the start of every run(), the MIDI pedal's messages applied at
// their frame inside the block.

#include "effect/SweepFilter.h"
#include "pedal/PedalMapping.h"
#include "pedal/PedalMessages.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

namespace {

constexpr const char* kUri = "urn:vobblix:wah";

enum Port : uint32_t {
    kIn,
    kOut,
    kMidiIn,
    kDepthOut,
    kEnabled,
    kDepth,
    kFreqOffset,
    kResonance,
    kGlide,
    kMode,
    kSweepLow,
    kSweepHigh,
    kEnvSensitivity,
    kEnvAttack,
    kEnvRelease,
    kEnvDirection,
    kLfoShape,
    kLfoRate,
    kMidiPedal,
    kMidiChannel,
    kMidiController,
    kMidi14Bit,
    kMidiInvert,
    kMidiMin,
    kMidiMax,
    kPedalCurve,
    kTapKind,
    kTapNumber,
    kTapChannel,
    kPortCount
};

// The ranges of the bundle's ports: a host may write anything, and the filter only sees
// values it was made for.
struct Range {
    float low, high;
};
constexpr Range kRanges[kPortCount] = {
    {}, {}, {}, {}, {0, 1}, {0, 0.99f}, {0, 1}, {0.1f, 10}, {0.001f, 0.2f}, {0, 2}, {0, 0.99f}, {0, 0.99f},
    {0, 40}, {1, 100}, {10, 2000}, {0, 1}, {0, 5}, {0.05f, 20}, {0, 1}, {0, 16}, {0, 119}, {0, 1},
    {0, 1}, {0, 127}, {0, 127}, {0, 2}, {0, 2}, {0, 127}, {0, 16}};

constexpr double kNanosecondsPerSecond = 1e9;
// A status byte and two data bytes: the pedal's controller and the tap's note-on or
// controller. Running status never spans events in LV2, so a shorter event is none of them.
constexpr uint32_t kMessageSize = 3;
// No URI maps to 0, so no event has this type.
constexpr LV2_URID kNoUrid = 0;

// Denormals flushed to zero for the span of one run(), so the tail of a loud note costs
// what sound costs; the host's own setting comes back after.
class FlushDenormals {
public:
#if defined(__SSE__)
    FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~FlushDenormals() { _mm_setcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};

class Wah {
public:
    Wah(double rate, LV2_URID midiEvent)
        : rate_(rate), midiEvent_(midiEvent), filter_(fx::Scaling::HeldInHzAndSeconds)
    {
        filter_.SampleRate.store(static_cast<uint32_t>(std::lround(rate)), std::memory_order_relaxed);
    }

    // Called on the host's audio thread, between runs, or before the first.
    void connect(uint32_t port, void* data)
    {
        if (port < kPortCount)
            ports_[port] = static_cast<float*>(data);
    }

    // Called on the host's main thread, with run() stopped.
    void activate()
    {
        filter_.Reset();
        pedal_ = pedal::PedalReader{};
        tap_ = pedal::TapReader{};
        framesRun_ = 0;
        lfoRatePort_ = -1.0;
        pedalDrives_ = false;
        primed_ = false;
    }

    // Called on the host's audio thread.
    void run(uint32_t frames);

private:
    // A port's value inside its range; NaN and unconnected ports give the low end.
    double control(Port p) const
    {
        const float* v = ports_[p];
        if (v == nullptr || !(*v >= kRanges[p].low))
            return kRanges[p].low;
        return std::min(*v, kRanges[p].high);
    }
    int32_t choice(Port p) const { return static_cast<int32_t>(std::lround(control(p))); }
    bool on(Port p) const { return control(p) >= 0.5; }

    void readControls();
    void heard(const uint8_t* message, uint32_t size, uint32_t frame);

    const double rate_;
    const LV2_URID midiEvent_;
    float* ports_[kPortCount]{};
    fx::SweepFilter filter_;
    pedal::PedalReader pedal_;
    pedal::TapReader tap_;
    // A fine part pairs only when the port says the pedal sends one; mode messages are no
    // controls.
    pedal::MessageChoices choices_;
    pedal::PedalMapping mapping_;
    uint64_t framesRun_ = 0;
    // The LFO's rate as the port last said it: a tap tempo sets the rate in between, and
    // only a move of the port takes it back.
    double lfoRatePort_ = -1.0;
    bool pedalDrives_ = false;
    bool primed_ = false;
};

void Wah::readControls()
{
    fx::SweepFilter& f = filter_;
    f.EffectOn.store(on(kEnabled), std::memory_order_relaxed);
    f.FreqOffset.store(control(kFreqOffset), std::memory_order_relaxed);
    f.Resonance.store(control(kResonance), std::memory_order_relaxed);
    f.PedalAccelFactor.store(control(kGlide), std::memory_order_relaxed);
    const auto mode = static_cast<fx::SweepMode>(choice(kMode));
    f.Mode.store(mode, std::memory_order_relaxed);
    f.SweepLow.store(control(kSweepLow), std::memory_order_relaxed);
    f.SweepHigh.store(control(kSweepHigh), std::memory_order_relaxed);
    f.EnvSensitivityDb.store(control(kEnvSensitivity), std::memory_order_relaxed);
    f.EnvAttackMs.store(control(kEnvAttack), std::memory_order_relaxed);
    f.EnvReleaseMs.store(control(kEnvRelease), std::memory_order_relaxed);
    f.EnvDirectionOf.store(static_cast<fx::EnvDirection>(choice(kEnvDirection)), std::memory_order_relaxed);
    f.Shape.store(static_cast<fx::LfoShape>(choice(kLfoShape)), std::memory_order_relaxed);
    const double lfoRate = control(kLfoRate);
    if (lfoRate != lfoRatePort_) {
        lfoRatePort_ = lfoRate;
        f.LfoRate.store(lfoRate, std::memory_order_relaxed);
    }

    choices_.channel = choice(kMidiChannel);
    choices_.controller = choice(kMidiController);
    choices_.pairsFinePart = on(kMidi14Bit);
    choices_.tapKind = static_cast<pedal::MidiKind>(choice(kTapKind));
    choices_.tapNumber = choice(kTapNumber);
    choices_.tapChannel = choice(kTapChannel);
    mapping_.invert = on(kMidiInvert);
    mapping_.curve = static_cast<pedal::PedalCurve>(choice(kPedalCurve));
    // The pedal's ends as the program stores them, in 7-bit steps; equal ends are no
    // calibration, and the mapping is the program's uncalibrated one exactly.
    mapping_.lowest = static_cast<uint32_t>(choice(kMidiMin));
    mapping_.highest = static_cast<uint32_t>(choice(kMidiMax));

    if (!primed_) {
        // The first block starts where the depth control stands, not gliding up from 0.
        primed_ = true;
        f.CurrentDepth.store(control(kDepth), std::memory_order_relaxed);
        f.TargetDepth.store(control(kDepth), std::memory_order_relaxed);
    }
    const bool pedalDrives = on(kMidiPedal);
    if (pedalDrives && !pedalDrives_) {
        // The pedal takes over from where the depth stands, until it is first moved.
        f.TargetDepth.store(f.CurrentDepth.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    pedalDrives_ = pedalDrives;
    f.Glides.store(pedalDrives, std::memory_order_relaxed);
    if (!pedalDrives && mode == fx::SweepMode::Manual) {
        const double depth = control(kDepth);
        f.CurrentDepth.store(depth, std::memory_order_relaxed);
        f.TargetDepth.store(depth, std::memory_order_relaxed);
    }
}

void Wah::heard(const uint8_t* message, uint32_t size, uint32_t frame)
{
    if (size < kMessageSize)
        return;
    if (tap_.tapped(message[0], message[1], message[2], choices_)) {
        // The instance's clock counts frames, so a tap is timed where it stands in the sound.
        const double seconds = static_cast<double>(framesRun_ + frame) / rate_;
        filter_.TapAt(static_cast<int64_t>(seconds * kNanosecondsPerSecond));
    }
    const pedal::MidiReading r = pedal_.read(message[0], message[1], message[2], choices_);
    if (!r.heard || !pedalDrives_)
        return;
    const double depth = pedal::MapMidiReading(mapping_, r.value, r.largest > pedal::kLargestMidiEnd).depth;
    filter_.TargetDepth.store(depth, std::memory_order_relaxed);
}

void Wah::run(uint32_t frames)
{
    const float* in = ports_[kIn];
    float* out = ports_[kOut];
    if (in == nullptr || out == nullptr)
        return;
    const FlushDenormals flush;
    readControls();
    uint32_t done = 0;
    const auto* events = reinterpret_cast<const LV2_Atom_Sequence*>(ports_[kMidiIn]);
    if (events != nullptr && midiEvent_ != kNoUrid) {
        LV2_ATOM_SEQUENCE_FOREACH (events, ev) {
            if (ev->body.type != midiEvent_)
                continue;
            // Events come in time order; one outside the block counts at its end.
            const auto at = static_cast<uint32_t>(std::clamp<int64_t>(ev->time.frames, done, frames));
            filter_.Process(in + done, out + done, at - done);
            done = at;
            heard(static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&ev->body)), ev->body.size, at);
        }
    }
    filter_.Process(in + done, out + done, frames - done);
    framesRun_ += frames;
    if (float* depthOut = ports_[kDepthOut])
        *depthOut = static_cast<float>(filter_.CurrentDepth.load(std::memory_order_relaxed));
}

// The host's main thread, as are Activate and Cleanup; ConnectPort and Run come on its audio thread.
LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features)
{
    if (!(rate > 0.0))
        return nullptr;
    // A host that maps no URIs cannot send MIDI either (lv2apply): the wah then plays from its
    // controls alone.
    LV2_URID_Map* map = nullptr;
    lv2_features_query(features, LV2_URID__map, &map, false, nullptr);
    const LV2_URID midiEvent = map != nullptr ? map->map(map->handle, LV2_MIDI__MidiEvent) : kNoUrid;
    return new (std::nothrow) Wah(rate, midiEvent);
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) { static_cast<Wah*>(instance)->connect(port, data); }
void Activate(LV2_Handle instance) { static_cast<Wah*>(instance)->activate(); }
void Run(LV2_Handle instance, uint32_t frames) { static_cast<Wah*>(instance)->run(frames); }
void Cleanup(LV2_Handle instance) { delete static_cast<Wah*>(instance); }
const void* ExtensionData(const char*) { return nullptr; }

constexpr LV2_Descriptor kDescriptor = {kUri, Instantiate, ConnectPort, Activate, Run, nullptr, Cleanup, ExtensionData};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &kDescriptor : nullptr;
}
