#pragma once
// A pedal's raw reading to a depth: the ends it really reaches (calibrated) and a taper.
// Pure values, shared by the game pedal, the MIDI pedal and a plugin's MIDI input.

#include <cstdint>
#include <string>

struct PedalScaled {
    double depth = 0.0;
    // Before the slider's own clamp to 1..99.
    int32_t slider = 0;
};

// The mapping the pedals had before calibration: clamps against the device's bounds
// (pedalMax first), inverts, then scales with a 64-bit significand to 0..0.99 of pedalMax.
PedalScaled ScalePedalReading(uint32_t reading, uint32_t pedalMin, uint32_t pedalMax, bool invert);

namespace pedal {

enum class PedalCurve : uint8_t { Linear, Log, Exp };

// The curve of a stored name ("Linear", "Log", "Exp"); any other name is Linear.
PedalCurve CurveNamed(const std::string& name);

// The taper over the throw, 0..1 onto 0..1 with the ends kept: Log gives the first half of the
// throw most of the sweep, Exp the last half; Exp undoes Log.
double ApplyCurve(PedalCurve curve, double throwFraction);

struct PedalMapping {
    // The calibrated ends; none (lowest >= highest) keeps the device's own range.
    uint32_t lowest = 0;
    uint32_t highest = 0;
    PedalCurve curve = PedalCurve::Linear;
    bool invert = false;

    bool Calibrated() const { return highest > lowest; }
    // The depth of a reading from a device whose readings lie in [deviceMin, deviceMax]. The
    // defaults give ScalePedalReading exactly; calibrated ends map to 0 and 0.99.
    PedalScaled Map(uint32_t reading, uint32_t deviceMin, uint32_t deviceMax) const;
};

// Collects the lowest and highest readings seen while the player rocks the pedal.
class Calibration {
public:
    // Readings closer together than this are a pedal that did not move.
    static constexpr uint32_t kSmallestSpan = 2;

    void Add(uint32_t reading);
    // Whether the readings so far span enough to be a pedal's ends.
    bool Usable() const { return seen_ && highest_ >= lowest_ + kSmallestSpan; }
    uint32_t Lowest() const { return lowest_; }
    uint32_t Highest() const { return highest_; }
    uint32_t Count() const { return count_; }
    void Reset() { *this = Calibration{}; }

private:
    bool seen_ = false;
    uint32_t lowest_ = 0;
    uint32_t highest_ = 0;
    uint32_t count_ = 0;
};

} // namespace pedal
