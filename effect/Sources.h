#pragma once
// What moves the depth besides a hand or a foot: the player's own level (an envelope
// follower), a low-frequency oscillator and its tap tempo; and the switchless wah, which
// turns the effect on and off from where a pedal rests. Each is a plain value with no thread
// of its own: the filter that owns it runs it on the audio thread, tests run it on scripted
// samples and times.

#include <array>
#include <cstdint>

namespace fx {

// The depth at the toe; the sweep's range and the pedals' mappings end here.
inline constexpr double kDepthTop = 0.99;

enum class LfoShape : uint8_t { Sine, Triangle, SawUp, SawDown, Square, Random };
enum class EnvDirection : uint8_t { Up, Down };

// The envelope follower and the oscillator each give a position, 0 to 1, that their owner
// asks for on a fixed grid of samples and maps onto the sweep's range, so a source knows
// nothing of depths, filters or screens.

// A one-pole follower of the rectified input, linear in level: a step up reaches 63 % of its
// new level in the attack time, a step down falls to 37 % in the release time. The gain
// (sensitivity) sets the level that opens the sweep fully.
class EnvelopeFollower {
public:
    // sensitivityDb 0 to 40, attackMs and releaseMs above 0, rate in Hz.
    void Configure(double sensitivityDb, double attackMs, double releaseMs, double rate);
    double Position() const;

    // Each sample of input, full scale 1.0.
    void HearOne(double x)
    {
        const double rectified = x < 0.0 ? -x : x;
        level_ += (rectified - level_) * (rectified > level_ ? attack_ : release_);
    }
    // The followed level before the gain, full scale 1.0.
    double Level() const { return level_; }
    // Forgets what it heard (a NaN or a level too small to matter).
    void Settle();
    void Reset() { level_ = 0.0; }

private:
    double level_ = 0.0;
    double gain_ = 10.0;
    double attack_ = 1.0;
    double release_ = 1.0;
};

// The LFO: a 64-bit phase accumulator (one turn = 2^64), so a rate held for an evening keeps
// its phase to far under a sample. Phase 0 is every shape's peak; a tap restarts there.
class Oscillator {
public:
    void Configure(LfoShape shape, double rateHz, double sampleRate);
    double Position() const;

    // Moves the phase on by count samples.
    void Advance(uint64_t samples);
    // Back to phase 0, the shape's peak.
    void Restart();
    // The phase as a fraction of a turn, [0, 1).
    double Phase() const;
    LfoShape Shape() const { return shape_; }

    // The value of a shape with no memory at a phase in [0, 1); Random draws from its levels.
    static double ShapeAt(LfoShape shape, double phase);

private:
    void NextRandomLevel();

    uint64_t phase_ = 0;
    uint64_t increment_ = 0;
    LfoShape shape_ = LfoShape::Sine;
    // Random: the level the period started at and the one it glides to.
    double from_ = 0.5;
    double to_ = 0.5;
    uint64_t seed_ = 0x9E3779B97F4A7C15ull;
};

// The period from tapped times: the median of the last one to three intervals; a tap more
// than kTapTimeout after the one before starts over.
class TapTempo {
public:
    static constexpr int64_t kTapTimeoutNs = 2'000'000'000;

    // A tap at this time (nanoseconds on any monotonic clock). True when the taps so far give
    // a period.
    bool Tap(int64_t nowNs);
    // The period of the last Tap that gave one, seconds; 0 before any.
    double PeriodSeconds() const { return period_; }
    void Reset();

private:
    static constexpr int kIntervals = 3;
    std::array<int64_t, kIntervals> intervals_{};
    int count_ = 0;
    int64_t last_ = 0;
    bool any_ = false;
    double period_ = 0.0;
};

// The switchless wah: the pedal leaving its heel switches the effect on; resting within
// kHeelBand of the heel for the hold time switches it off, once per rest.
class Switchless {
public:
    enum class Action : uint8_t { None, SwitchOn, SwitchOff };
    // The heel band, as a fraction of the sweep's depth range 0 to 0.99.
    static constexpr double kHeelBand = 0.02;

    // One look at the pedal's depth at a time (nanoseconds); effectOn is the switch as it
    // stands. Calls need not come at any pace: a pedal at rest is looked at by a timer.
    Action Step(double depth, int64_t nowNs, bool effectOn, uint32_t holdMs);
    void Reset();

private:
    bool known_ = false;
    bool atHeel_ = false;
    bool released_ = false;
    int64_t heelSince_ = 0;
};

} // namespace fx
