#pragma once
// One wah: a resonant low-pass biquad whose cutoff follows the depth, the parameters that
// drive it and the sources that sweep the depth by themselves. The program holds one (see
// effect/FX.h); a plugin host makes one per instance. Nothing here is process-wide.

#include "effect/Sources.h"
#include "platform/thread/LatestValue.h"
#include "platform/thread/SteadyClock.h"

#include <atomic>
#include <cstdint>

namespace fx {

inline constexpr double kCircle = 3.141592653589;
// The automatic modes compute the depth every this many samples, on a grid that runs on
// across blocks, so that any split of the input sounds the same.
inline constexpr uint32_t kDepthStep = 32;
// The rate at which the held scaling's cutoffs are the depth's own.
inline constexpr double kReferenceRate = 44100.0;

// Until the first computation the filter passes samples through, so a start-up that never
// primed the parameters (Resonance 0, nothing recomputed) plays the dry signal.
struct Coefficients {
    double B0{1.0}, B1{}, B2{}, A0{1.0}, A1{}, A2{};
};

// The coefficients for one reading of the three parameters, the cutoff's angle multiplied by
// w0Scale (1: the depth's angle per sample at any rate). A resonance that is not a usable Q
// (0 before start-up primed the sliders, negative or NaN) gives a pass-through. capAtNyquist
// keeps a scaled angle at most the circle, so the open end stays open at low rates.
Coefficients CoefficientsFor(double freqOffset, double resonance, double depth, double w0Scale = 1.0,
                             bool capAtNyquist = false);

// How the depth's cutoffs and the glide's speed relate to the rate and the block.
enum class Scaling : uint8_t {
    // The program's: the cutoff is an angle per sample whatever the rate, and the glide takes
    // one step per block.
    FollowsRate,
    // A plugin's: cutoffs in Hz as at 44100 Hz, the glide's time constant in seconds, at any
    // rate and block length.
    HeldInHzAndSeconds,
};

enum class SweepMode : uint8_t { Manual, Envelope, Lfo };

// The filter's state as it stands, for tests.
struct State {
    Coefficients c;
    double X1{}, X2{}, Y1{}, Y2{};
    double CachedFreqOffset{}, CachedResonance{}, CachedDepth{};
    // How much of the filtered signal the last sample had: 1 on, 0 off. Taken from EffectOn
    // by the first block, which plays as the switch says without a fade.
    double Wet{1.0};
    bool WetKnown{false};
};

// What the screen draws: the coefficients the audio thread filters with, the depth and rate
// that gave them.
struct InEffect {
    Coefficients c;
    double depth{};
    uint32_t rate{};
};

// A monotonic clock in nanoseconds, for the tap tempo; tests give a scripted one.
using Clock = int64_t (*)();

class SweepFilter {
public:
    constexpr explicit SweepFilter(Scaling scaling = Scaling::FollowsRate, Clock clock = &thread::SteadyNanoseconds)
        : scaling_(scaling), clock_(clock)
    {
    }
    SweepFilter(const SweepFilter&) = delete;
    SweepFilter& operator=(const SweepFilter&) = delete;

    // The parameters. Written on any thread (sliders, pedals, a host's run), read by Process;
    // each is one value loaded and stored whole.
    std::atomic<double> CurrentDepth{0.0};
    std::atomic<double> TargetDepth{0.0};
    std::atomic<double> FreqOffset{0.0};
    std::atomic<double> Resonance{0.0};
    std::atomic<double> PedalAccelFactor{0.0};
    // Off, the input plays as it came while the filter runs on beside it, so switching back
    // finds its state warm; a switch fades (over the block, or 10 ms when held in seconds).
    std::atomic<bool> EffectOn{true};
    // In Manual, whether CurrentDepth glides towards TargetDepth (a pedal drives the depth)
    // rather than being set directly (the slider).
    std::atomic<bool> Glides{false};
    // Hz; read once per block.
    std::atomic<uint32_t> SampleRate{44100};

    // The sweep. In Envelope and LFO the audio thread writes CurrentDepth every kDepthStep
    // samples, between SweepLow and SweepHigh, and the glide rests.
    std::atomic<SweepMode> Mode{SweepMode::Manual};
    std::atomic<double> SweepLow{0.0};
    std::atomic<double> SweepHigh{kDepthTop};
    std::atomic<double> EnvSensitivityDb{20.0};
    std::atomic<double> EnvAttackMs{5.0};
    std::atomic<double> EnvReleaseMs{200.0};
    std::atomic<EnvDirection> EnvDirectionOf{EnvDirection::Up};
    std::atomic<LfoShape> Shape{LfoShape::Sine};
    // Hz, 0.05 to 20; a tap tempo writes it on the audio thread.
    std::atomic<double> LfoRate{1.5};

    // Switchless: in Manual with a gliding (pedal) depth, TargetDepth at the heel for
    // SwitchlessMs turns EffectOn off and leaving the heel turns it on; each such flip adds
    // one to SwitchlessFlips, for the status line to notice.
    std::atomic<bool> Switchless{false};
    std::atomic<uint32_t> SwitchlessMs{400};
    std::atomic<uint32_t> SwitchlessFlips{0};

    // Filters count samples in place: the program's path, truncated and clamped to 16 bits.
    // Called on the audio thread; calls must not overlap.
    void Process(int16_t* samples, int32_t count);
    // Filters count floats (full scale 1.0, no clamp); in may equal out. A NaN or infinity in
    // is heard as silence and leaves nothing behind.
    // Called on the audio thread; calls must not overlap.
    void Process(const float* in, float* out, uint32_t count);

    // A tap of the tap tempo, timed now by the instance's clock; restarts the LFO at its peak
    // and, from the second tap on, sets LfoRate. Wait-free; taken in at the next block.
    // Called on any thread.
    void Tap();
    // The same at a given time of the instance's clock. Called on any thread.
    void TapAt(int64_t nowNs);

    // The coefficients in effect, when they changed since the last take.
    // Called on one reader thread (the UI thread in the program).
    bool TakeInEffect(InEffect& out) { return inEffect_.take(out); }

    // The depth the last block's glide step reached, when it took one (FollowsRate only).
    // Called on the audio thread, after Process.
    bool GlidedInLastBlock(double& depth) const;

    // The filter's state as it stands. Called on the audio thread (or with it stopped).
    State Snapshot() const { return state_; }
    // The followed level (full scale 1.0) and the LFO's phase, for tests and meters.
    // Called on the audio thread (or with it stopped).
    double EnvelopeLevel() const { return envelope_.Level(); }
    double LfoPhase() const { return oscillator_.Phase(); }

    // Back to the state of a new instance: history, sources, grid and pending taps; the
    // parameters keep their values. Called with the audio thread stopped.
    void Reset();

private:
    static constexpr uint32_t kTapSlots = 8;

    template <typename Sample>
    void Run(const Sample* in, Sample* out, uint32_t count);
    void TakeTaps();
    void Configure(uint32_t rate);
    void BlockGlide();
    void GridStep(SweepMode mode, uint32_t rate);
    void UpdateCoefficients(double wScale);

    const Scaling scaling_;
    const Clock clock_;

    State state_{};
    EnvelopeFollower envelope_{};
    Oscillator oscillator_{};
    TapTempo tempo_{};
    fx::Switchless switchless_{};
    uint32_t grid_ = 0;
    uint64_t samplesRun_ = 0;
    bool glided_ = false;
    double glidedTo_ = 0.0;
    bool drawnStale_ = true;

    // What the sources were last configured from, so that a change is seen once.
    uint32_t configuredRate_ = 0;
    double configuredSensitivity_ = -1.0, configuredAttack_ = -1.0, configuredRelease_ = -1.0;
    double configuredLfoRate_ = -1.0;
    LfoShape configuredShape_ = LfoShape::Sine;
    double configuredAccel_ = -1.0;
    double heldGlideFactor_ = 0.0;

    std::array<std::atomic<int64_t>, kTapSlots> taps_{};
    std::atomic<uint32_t> tapHead_{0};
    uint32_t tapTail_ = 0;

    thread::LatestValue<InEffect> inEffect_{};
};

} // namespace fx
