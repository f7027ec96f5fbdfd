#include "effect/Sources.h"

#include <algorithm>
#include <cmath>

namespace fx {

namespace {

constexpr double kTurn = 2.0 * 3.14159265358979323846;
constexpr double kMillisecond = 1e-3;
constexpr double kNanosecond = 1e-9;
constexpr int64_t kNanosPerMilli = 1'000'000;
constexpr int kTurnBits = 64;
constexpr int kDoubleBits = 53;
// Levels this small are silence; keeping them would leave the follower crawling through
// denormals after every note.
constexpr double kSilence = 1e-30;
// The share of the triangle's swing over which the square's edges turn: an eighth of a period
// each, so that even at 20 Hz an edge is a sweep of some 6 ms, not a click.
constexpr double kSquareEdge = 0.25;
// Leaving the heel takes a little more than arriving at it, so a pedal trembling on the
// band's edge does not switch the effect on.
constexpr double kLeaveBand = 0.03;

// The one-pole coefficient for a time constant in milliseconds; an unusable one follows at once.
double PoleFor(double ms, double rate)
{
    const double samples = ms * kMillisecond * rate;
    if (!(samples > 0.0) || !std::isfinite(samples))
        return 1.0;
    return 1.0 - std::exp(-1.0 / samples);
}

double SmoothStep(double t) { return t * t * (3.0 - 2.0 * t); }

} // namespace

void EnvelopeFollower::Configure(double sensitivityDb, double attackMs, double releaseMs, double rate)
{
    gain_ = std::isfinite(sensitivityDb) ? std::pow(10.0, sensitivityDb / 20.0) : 1.0;
    attack_ = PoleFor(attackMs, rate);
    release_ = PoleFor(releaseMs, rate);
}

double EnvelopeFollower::Position() const
{
    return std::min(1.0, level_ * gain_);
}

void EnvelopeFollower::Settle()
{
    if (!(level_ >= kSilence) || !std::isfinite(level_))
        level_ = 0.0;
}

void Oscillator::Configure(LfoShape shape, double rateHz, double sampleRate)
{
    const double turnsPerSample = rateHz / sampleRate;
    increment_ = turnsPerSample > 0.0 && turnsPerSample < 1.0
                     ? static_cast<uint64_t>(std::ldexp(turnsPerSample, kTurnBits))
                     : 0;
    if (shape == LfoShape::Random && shape_ != LfoShape::Random)
        NextRandomLevel();
    shape_ = shape;
}

void Oscillator::Advance(uint64_t samples)
{
    const uint64_t before = phase_;
    phase_ += increment_ * samples;
    // A step is far under a turn (at most 20 Hz times a block), so a smaller phase is one wrap.
    if (phase_ < before && shape_ == LfoShape::Random)
        NextRandomLevel();
}

void Oscillator::Restart()
{
    phase_ = 0;
}

double Oscillator::Phase() const
{
    // The top 53 bits, all a double holds.
    return std::ldexp(static_cast<double>(phase_ >> (kTurnBits - kDoubleBits)), -kDoubleBits);
}

double Oscillator::ShapeAt(LfoShape shape, double phase)
{
    switch (shape) {
    case LfoShape::Sine: return 0.5 + 0.5 * std::cos(kTurn * phase);
    case LfoShape::Triangle: return std::fabs(1.0 - 2.0 * phase);
    // The rising ramp's peak is its edge: a tap lands where it drops to the bottom.
    case LfoShape::SawUp: return phase;
    case LfoShape::SawDown: return 1.0 - phase;
    case LfoShape::Square: {
        const double t = (std::fabs(1.0 - 2.0 * phase) - 0.5) / kSquareEdge + 0.5;
        return SmoothStep(std::clamp(t, 0.0, 1.0));
    }
    case LfoShape::Random: return SmoothStep(phase);
    }
    return 0.0;
}

double Oscillator::Position() const
{
    const double v = ShapeAt(shape_, Phase());
    return shape_ == LfoShape::Random ? from_ + (to_ - from_) * v : v;
}

void Oscillator::NextRandomLevel()
{
    // xorshift64: no allocation, no lock, the same levels from the same start.
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 7;
    seed_ ^= seed_ << 17;
    from_ = to_;
    to_ = std::ldexp(static_cast<double>(seed_ >> 11), -53);
}

bool TapTempo::Tap(int64_t nowNs)
{
    const bool startOver = !any_ || nowNs <= last_ || nowNs - last_ > kTapTimeoutNs;
    if (startOver) {
        count_ = 0;
    } else {
        if (count_ == kIntervals)
            std::rotate(intervals_.begin(), intervals_.begin() + 1, intervals_.end());
        else
            ++count_;
        intervals_[size_t(count_ - 1)] = nowNs - last_;
    }
    any_ = true;
    last_ = nowNs;
    if (count_ == 0)
        return false;
    const double a = double(intervals_[0]);
    const double b = double(intervals_[1]);
    const double c = double(intervals_[2]);
    const double median = count_ == 1   ? a
                          : count_ == 2 ? 0.5 * (a + b)
                                        : std::max(std::min(a, b), std::min(std::max(a, b), c));
    period_ = median * kNanosecond;
    return true;
}

void TapTempo::Reset()
{
    *this = TapTempo{};
}

Switchless::Action Switchless::Step(double depth, int64_t nowNs, bool effectOn, uint32_t holdMs)
{
    if (std::isnan(depth))
        return Action::None;
    const bool wasAtHeel = atHeel_;
    const bool atHeel = wasAtHeel ? depth <= kLeaveBand * kDepthTop : depth <= kHeelBand * kDepthTop;
    if (!known_ || (atHeel && !wasAtHeel)) {
        const bool first = !known_;
        known_ = true;
        atHeel_ = atHeel;
        heelSince_ = nowNs;
        released_ = false;
        if (!first || !atHeel)
            return Action::None;
    }
    if (!atHeel) {
        atHeel_ = false;
        return wasAtHeel && !effectOn ? Action::SwitchOn : Action::None;
    }
    if (!released_ && nowNs - heelSince_ >= int64_t(holdMs) * kNanosPerMilli) {
        released_ = true;
        return effectOn ? Action::SwitchOff : Action::None;
    }
    return Action::None;
}

void Switchless::Reset()
{
    *this = Switchless{};
}

} // namespace fx
