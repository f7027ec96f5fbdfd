// The filter picture against the filter itself: a sine run through the same coefficients
// must come out at the level the curve shows, at the frequency the curve shows it.

#include "effect/FX.h"
#include "ui/FilterPicture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

constexpr double kRate = 44100.0;

// The steady-state level, in dB, of a unit sine of the frequency given after the biquad,
// measured as the peak over the last second of five.
double MeasuredDb(const fx::Coefficients& c, double hz)
{
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0, peak = 0;
    const int total = int(5 * kRate);
    for (int n = 0; n < total; ++n) {
        const double x = std::sin(2 * std::numbers::pi * hz * n / kRate);
        const double y = (c.B0 * x + c.B1 * x1 + c.B2 * x2 - c.A1 * y1 - c.A2 * y2) / c.A0;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        if (n > total - int(kRate))
            peak = std::max(peak, std::abs(y));
    }
    return 20 * std::log10(peak);
}

// The drawn point nearest the frequency given.
FilterPicture::Point Nearest(const FilterPicture& picture, double hz)
{
    FilterPicture::Point best = picture.curve().front();
    for (const auto& p : picture.curve())
        if (std::abs(std::log(p.hz / hz)) < std::abs(std::log(best.hz / hz)))
            best = p;
    return best;
}

TEST(FilterPicture, CurveIsTheLevelASineComesOutAtAndTheCutoffIsWhereTheBandTurns)
{
    FilterPicture picture;
    picture.resize(400, 80);
    const double resonance = 4.0;
    const fx::Coefficients c = fx::CoefficientsFor(0.1, resonance, 0.6);
    ASSERT_TRUE(picture.showResponse(c, kRate));

    ASSERT_EQ(picture.curve().size(), 400u);
    EXPECT_NEAR(picture.curve().front().hz, 20.0, 1e-9);
    EXPECT_NEAR(picture.curve().back().hz, kRate / 2, 1e-6);

    // The cutoff the filter was made for: w0 = pi * e^((g - 1) * 6), g = 0.9 * depth + 0.1.
    const double w0 = std::numbers::pi * std::exp((0.9 * 0.6 + 0.1 - 1.0) * 6.0);
    const double cutoff = w0 / (2 * std::numbers::pi) * kRate;
    EXPECT_NEAR(picture.cutoffHz(), cutoff, 1e-6 * cutoff);
    // A lowpass made this way peaks at its Q right at the cutoff.
    EXPECT_NEAR(FilterPicture::MagnitudeDb(c, cutoff, kRate), 20 * std::log10(resonance), 1e-9);

    for (double hz : {50.0, 300.0, cutoff * 0.8, cutoff, cutoff * 1.25, 4000.0, 12000.0}) {
        const auto drawn = Nearest(picture, hz);
        EXPECT_NEAR(drawn.db, MeasuredDb(c, drawn.hz), 0.05) << "at " << drawn.hz << " Hz";
    }
    // The axis is the picture's width: 20 Hz at the left edge, half the rate at the right.
    EXPECT_NEAR(picture.xFor(20.0), 0.0, 1e-9);
    EXPECT_NEAR(picture.xFor(kRate / 2), 399.0, 1e-9);
    EXPECT_LT(picture.yFor(6.0), picture.yFor(0.0));
}

TEST(FilterPicture, RedrawsOnlyForChangedCoefficientsAndMarksNoCutoffWhenPassingEverything)
{
    FilterPicture picture;
    picture.resize(200, 60);
    const fx::Coefficients c = fx::CoefficientsFor(0.1, 9.0, 0.99);
    EXPECT_TRUE(picture.showResponse(c, kRate));
    EXPECT_FALSE(picture.showResponse(c, kRate));
    EXPECT_TRUE(picture.showResponse(c, 48000.0));
    fx::Coefficients nudged = c;
    nudged.B0 = std::nextafter(c.B0, 1.0);
    EXPECT_TRUE(picture.showResponse(nudged, 48000.0));

    // Before the sliders are primed the filter passes the sound as it came: a flat line.
    EXPECT_TRUE(picture.showResponse(fx::Coefficients{}, kRate));
    EXPECT_LT(picture.cutoffHz(), 0.0);
    for (const auto& p : picture.curve())
        EXPECT_NEAR(p.db, 0.0, 1e-12);
}

} // namespace
