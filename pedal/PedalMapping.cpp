#include "pedal/PedalMapping.h"

#include "effect/Sources.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint32_t kReadingScale = 99;
constexpr long double kPercent = 100.0L;
// The taper's steepness: Log is log10(1 + 9 u), so its middle sits at 0.74 and Exp's at 0.24.
constexpr double kTaper = 9.0;
constexpr double kTaperBase = 10.0;

PedalScaled WithSlider(double depth)
{
    PedalScaled out;
    out.depth = depth;
    out.slider = static_cast<int32_t>(std::trunc(static_cast<long double>(depth) * kPercent));
    return out;
}

} // namespace

PedalScaled ScalePedalReading(uint32_t reading, uint32_t pedalMin, uint32_t pedalMax, bool invert)
{
    if (reading > pedalMax)
        reading = pedalMax;
    else if (reading < pedalMin)
        reading = pedalMin;
    if (invert)
        reading = reading > pedalMax ? reading - pedalMax : pedalMax - reading;
    // Extended precision, rounded once to the nearest double.
    const long double quotient =
        static_cast<long double>(uint64_t(reading) * kReadingScale) / static_cast<long double>(pedalMax) / kPercent;
    return WithSlider(static_cast<double>(quotient));
}

namespace pedal {

PedalCurve CurveNamed(const std::string& name)
{
    if (name == "Log")
        return PedalCurve::Log;
    if (name == "Exp")
        return PedalCurve::Exp;
    return PedalCurve::Linear;
}

double ApplyCurve(PedalCurve curve, double throwFraction)
{
    const double u = std::clamp(throwFraction, 0.0, 1.0);
    switch (curve) {
    case PedalCurve::Linear: return u;
    case PedalCurve::Log: return std::log10(1.0 + kTaper * u);
    case PedalCurve::Exp: return (std::pow(kTaperBase, u) - 1.0) / kTaper;
    }
    return u;
}

PedalScaled PedalMapping::Map(uint32_t reading, uint32_t deviceMin, uint32_t deviceMax) const
{
    if (!Calibrated()) {
        const PedalScaled scaled = ScalePedalReading(reading, deviceMin, deviceMax, invert);
        if (curve == PedalCurve::Linear)
            return scaled;
        return WithSlider(ApplyCurve(curve, scaled.depth / fx::kDepthTop) * fx::kDepthTop);
    }
    const uint32_t clamped = std::clamp(reading, lowest, highest);
    double u = double(clamped - lowest) / double(highest - lowest);
    if (invert)
        u = 1.0 - u;
    return WithSlider(ApplyCurve(curve, u) * fx::kDepthTop);
}

void Calibration::Add(uint32_t reading)
{
    lowest_ = seen_ ? std::min(lowest_, reading) : reading;
    highest_ = seen_ ? std::max(highest_, reading) : reading;
    seen_ = true;
    ++count_;
}

} // namespace pedal
