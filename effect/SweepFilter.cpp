#include "effect/SweepFilter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace fx {

namespace {

constexpr double kGlideScale = 100.0;
constexpr double kGlideDivisor = 99.0;
constexpr double kSweepOctaves = 6.0;
constexpr double kSampleMin = -32768.0;
constexpr double kSampleMax = 32767.0;
constexpr double kIntFullScale = 32768.0;
// The program's glide steps once a block, 500 samples at 44100 Hz by default; held in seconds
// the glide keeps that pace (a time constant of about 0.106 s at a factor of 0.1).
constexpr double kGlideBlockSeconds = 500.0 / 44100.0;
constexpr double kHeldFadeSeconds = 0.01;
constexpr uint32_t kFallbackRate = 44100;
constexpr double kLfoSlowest = 0.05;
constexpr double kLfoFastest = 20.0;
constexpr double kSecond = 1e9;
constexpr double kSilence = 1e-30;

// An unordered pair counts as equal: a NaN never triggers a recomputation or a glide.
bool Differs(double a, double b) { return std::islessgreater(a, b); }

} // namespace

Coefficients CoefficientsFor(double freqOffset, double resonance, double depth, double w0Scale, bool capAtNyquist)
{
    if (!(resonance > 0.0))
        return {};
    const double g = (1.0 - freqOffset) * depth + freqOffset;
    double w0 = kCircle * std::exp((g - 1.0) * kSweepOctaves) * w0Scale;
    if (capAtNyquist && w0 > kCircle)
        w0 = kCircle;
    const double sn = std::sin(w0);
    const double cs = std::cos(w0);
    const double alpha = sn / (2.0 * resonance);
    Coefficients c;
    c.B0 = (1.0 - cs) / 2.0;
    c.B1 = 1.0 - cs;
    c.B2 = (1.0 - cs) / 2.0;
    c.A0 = 1.0 + alpha;
    c.A1 = -2.0 * cs;
    c.A2 = 1.0 - alpha;
    return c;
}

void SweepFilter::Process(int16_t* samples, int32_t count)
{
    Run(samples, samples, count > 0 ? uint32_t(count) : 0u);
}

void SweepFilter::Process(const float* in, float* out, uint32_t count)
{
    Run(in, out, count);
}

void SweepFilter::Tap()
{
    TapAt(clock_());
}

void SweepFilter::TapAt(int64_t nowNs)
{
    const uint32_t slot = tapHead_.fetch_add(1, std::memory_order_relaxed) % kTapSlots;
    // 0 marks an empty slot.
    taps_[slot].store(nowNs != 0 ? nowNs : 1, std::memory_order_release);
}

bool SweepFilter::GlidedInLastBlock(double& depth) const
{
    if (glided_)
        depth = glidedTo_;
    return glided_;
}

void SweepFilter::Reset()
{
    state_ = State{};
    envelope_.Reset();
    oscillator_.Restart();
    tempo_.Reset();
    switchless_.Reset();
    grid_ = 0;
    samplesRun_ = 0;
    glided_ = false;
    drawnStale_ = true;
    configuredRate_ = 0;
    for (auto& t : taps_)
        t.store(0, std::memory_order_relaxed);
    tapTail_ = tapHead_.load(std::memory_order_relaxed);
}

void SweepFilter::TakeTaps()
{
    for (;;) {
        const int64_t at = taps_[tapTail_ % kTapSlots].exchange(0, std::memory_order_acquire);
        if (at == 0)
            return;
        ++tapTail_;
        if (tempo_.Tap(at))
            LfoRate.store(std::clamp(1.0 / tempo_.PeriodSeconds(), kLfoSlowest, kLfoFastest), std::memory_order_relaxed);
        oscillator_.Restart();
    }
}

void SweepFilter::Configure(uint32_t rate)
{
    const double sensitivity = EnvSensitivityDb.load(std::memory_order_relaxed);
    const double attack = EnvAttackMs.load(std::memory_order_relaxed);
    const double release = EnvReleaseMs.load(std::memory_order_relaxed);
    const double lfoRate = LfoRate.load(std::memory_order_relaxed);
    const LfoShape shape = Shape.load(std::memory_order_relaxed);
    const double accel = PedalAccelFactor.load(std::memory_order_relaxed);
    const bool newRate = rate != configuredRate_;
    if (newRate || sensitivity != configuredSensitivity_ || attack != configuredAttack_ ||
        release != configuredRelease_) {
        envelope_.Configure(sensitivity, attack, release, rate);
        configuredSensitivity_ = sensitivity;
        configuredAttack_ = attack;
        configuredRelease_ = release;
    }
    if (newRate || lfoRate != configuredLfoRate_ || shape != configuredShape_) {
        oscillator_.Configure(shape, std::clamp(lfoRate, kLfoSlowest, kLfoFastest), rate);
        configuredLfoRate_ = lfoRate;
        configuredShape_ = shape;
    }
    if (scaling_ == Scaling::HeldInHzAndSeconds && (newRate || accel != configuredAccel_)) {
        // The program's step per block as a share of the gap, kept at one step per grid cell.
        const double perBlock = std::clamp(accel * kGlideScale / kGlideDivisor, 0.0, 1.0);
        heldGlideFactor_ = 1.0 - std::pow(1.0 - perBlock, double(kDepthStep) / (double(rate) * kGlideBlockSeconds));
        if (!std::isfinite(heldGlideFactor_))
            heldGlideFactor_ = 0.0;
        configuredAccel_ = accel;
    }
    configuredRate_ = rate;
}

void SweepFilter::BlockGlide()
{
    double current = CurrentDepth.load(std::memory_order_relaxed);
    const double target = TargetDepth.load(std::memory_order_relaxed);
    if (!Differs(target, current) || !Glides.load(std::memory_order_relaxed))
        return;
    const double accel = PedalAccelFactor.load(std::memory_order_relaxed);
    const double next = current + ((target * kGlideScale - current * kGlideScale) * accel) / kGlideDivisor;
    // A slider move that lands between the read and the write wins; the next block glides on.
    if (!CurrentDepth.compare_exchange_strong(current, next, std::memory_order_relaxed))
        return;
    glided_ = true;
    glidedTo_ = next;
}

void SweepFilter::GridStep(SweepMode mode, uint32_t rate)
{
    samplesRun_ += kDepthStep;
    const double low = SweepLow.load(std::memory_order_relaxed);
    const double high = SweepHigh.load(std::memory_order_relaxed);
    switch (mode) {
    case SweepMode::Manual: {
        if (!Glides.load(std::memory_order_relaxed))
            return;
        if (scaling_ == Scaling::HeldInHzAndSeconds) {
            double current = CurrentDepth.load(std::memory_order_relaxed);
            const double target = TargetDepth.load(std::memory_order_relaxed);
            if (Differs(target, current))
                CurrentDepth.compare_exchange_strong(current, current + (target - current) * heldGlideFactor_,
                                                     std::memory_order_relaxed);
        }
        if (!Switchless.load(std::memory_order_relaxed))
            return;
        const bool on = EffectOn.load(std::memory_order_relaxed);
        const auto now = static_cast<int64_t>(double(samplesRun_) * kSecond / double(rate));
        const auto action = switchless_.Step(TargetDepth.load(std::memory_order_relaxed), now, on,
                                             SwitchlessMs.load(std::memory_order_relaxed));
        if (action != Switchless::Action::None) {
            EffectOn.store(action == Switchless::Action::SwitchOn, std::memory_order_relaxed);
            SwitchlessFlips.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    case SweepMode::Envelope: {
        envelope_.Settle();
        double position = envelope_.Position();
        if (EnvDirectionOf.load(std::memory_order_relaxed) == EnvDirection::Down)
            position = 1.0 - position;
        CurrentDepth.store(low + (high - low) * position, std::memory_order_relaxed);
        return;
    }
    case SweepMode::Lfo:
        CurrentDepth.store(low + (high - low) * oscillator_.Position(), std::memory_order_relaxed);
        oscillator_.Advance(kDepthStep);
        return;
    }
}

void SweepFilter::UpdateCoefficients(double wScale)
{
    const double freqOffset = FreqOffset.load(std::memory_order_relaxed);
    const double resonance = Resonance.load(std::memory_order_relaxed);
    const double depth = CurrentDepth.load(std::memory_order_relaxed);
    state_.c = CoefficientsFor(freqOffset, resonance, depth, wScale, scaling_ == Scaling::HeldInHzAndSeconds);
    state_.CachedFreqOffset = freqOffset;
    state_.CachedResonance = resonance;
    state_.CachedDepth = depth;
    drawnStale_ = true;
}

template <typename Sample>
void SweepFilter::Run(const Sample* in, Sample* out, uint32_t count)
{
    constexpr bool kInt = std::is_same_v<Sample, int16_t>;
    const uint32_t loaded = SampleRate.load(std::memory_order_relaxed);
    const uint32_t rate = loaded != 0 ? loaded : kFallbackRate;
    const bool held = scaling_ == Scaling::HeldInHzAndSeconds;
    // Taps first, so that a rate they set is the one this block runs at.
    TakeTaps();
    Configure(rate);
    const SweepMode mode = Mode.load(std::memory_order_relaxed);
    glided_ = false;
    if (!held && mode == SweepMode::Manual)
        BlockGlide();
    const double wScale = held ? kReferenceRate / double(rate) : 1.0;
    const double levelScale = kInt ? 1.0 / kIntFullScale : 1.0;

    auto& s = state_;
    const double wetTo = EffectOn.load(std::memory_order_relaxed) ? 1.0 : 0.0;
    if (!s.WetKnown) {
        s.Wet = wetTo;
        s.WetKnown = true;
    }
    const double wetFrom = s.Wet;
    // The program fades a switch over the block it lands in; held in seconds, over a fixed
    // time whatever the block. Either way a hard cut between dry and filtered would click.
    const bool blockFade = !held && Differs(wetFrom, wetTo) && count > 0;
    const double wetStep = blockFade ? (wetTo - wetFrom) / count : 1.0 / (kHeldFadeSeconds * double(rate));
    double wet = wetFrom;
    const bool hearing = mode == SweepMode::Envelope;
    for (uint32_t i = 0; i < count;) {
        if (grid_ == 0) {
            // A tail this small is silence; left alone it would crawl through denormals, which
            // cost many times a normal sample. Looked at on the grid, long before it gets there.
            if (std::fabs(s.Y1) < kSilence && std::fabs(s.Y2) < kSilence)
                s.Y1 = s.Y2 = 0.0;
            GridStep(mode, rate);
        }
        // Up to the next grid point, with nothing but the samples to look at.
        const uint32_t end = std::min(count, i + (kDepthStep - grid_));
        grid_ = (grid_ + (end - i)) % kDepthStep;
        for (; i < end; ++i) {
            double x = in[i];
            if constexpr (!kInt) {
                if (!std::isfinite(x))
                    x = 0.0;
            }
            if (Differs(FreqOffset.load(std::memory_order_relaxed), s.CachedFreqOffset) ||
                Differs(Resonance.load(std::memory_order_relaxed), s.CachedResonance) ||
                Differs(CurrentDepth.load(std::memory_order_relaxed), s.CachedDepth))
                UpdateCoefficients(wScale);
            double y = (s.c.B0 * x + s.c.B1 * s.X1 + s.c.B2 * s.X2 - s.c.A1 * s.Y1 - s.c.A2 * s.Y2) / s.c.A0;
            if constexpr (!kInt) {
                // Unusable parameters must not leave the history poisoned once they are mended.
                if (!std::isfinite(y)) {
                    y = 0.0;
                    s.X1 = s.X2 = s.Y1 = s.Y2 = 0.0;
                }
            }
            s.X2 = s.X1;
            s.X1 = x;
            s.Y2 = s.Y1;
            s.Y1 = y;
            if (hearing)
                envelope_.HearOne(x * levelScale);

            bool mixing;
            if (!held) {
                mixing = blockFade;
                wet = blockFade ? wetFrom + wetStep * (i + 1) : wetTo;
            } else {
                if (wet < wetTo)
                    wet = std::min(wetTo, wet + wetStep);
                else if (wet > wetTo)
                    wet = std::max(wetTo, wet - wetStep);
                mixing = wet > 0.0 && wet < 1.0;
            }
            if constexpr (kInt) {
                if (!(y >= kSampleMin))
                    y = kSampleMin;
                else if (y > kSampleMax)
                    y = kSampleMax;
                if (mixing)
                    out[i] = static_cast<int16_t>(wet * y + (1.0 - wet) * x);
                else if (wetTo > 0.0)
                    out[i] = static_cast<int16_t>(y);
                else
                    out[i] = in[i];
            } else {
                out[i] = static_cast<float>(mixing ? wet * y + (1.0 - wet) * x : (wetTo > 0.0 ? y : x));
            }
        }
    }
    s.Wet = held ? wet : wetTo;
    if (drawnStale_) {
        inEffect_.publish(InEffect{s.c, s.CachedDepth, rate});
        drawnStale_ = false;
    }
}

} // namespace fx
