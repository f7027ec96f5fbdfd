#pragma once
// The filter's magnitude response, in dB over a log-frequency axis from 20 Hz to half the
// sample rate, with the cutoff marked. It is drawn from the coefficients it is given, which
// the main window takes from what the audio thread publishes, so it shows what is heard.

#include "effect/FX.h"

#include <QWidget>

#include <vector>

class FilterPicture : public QWidget {
    Q_OBJECT

public:
    // One point of the curve as drawn.
    struct Point {
        double hz;
        double db;
    };

    // UI thread only (every member below too).
    explicit FilterPicture(QWidget* parent = nullptr);

    // Takes new coefficients and the rate they run at. Recomputes and repaints only when
    // either differs from what is shown; true when it did.
    bool showResponse(const fx::Coefficients& c, double sampleRate);

    // The curve as last computed, lowest frequency first, one point per pixel column.
    const std::vector<Point>& curve() const { return curve_; }
    // The cutoff in Hz read back from the coefficients; below zero when they pass everything.
    double cutoffHz() const { return cutoffHz_; }

    // The response of c at the frequency given, in dB; -inf at a zero of the response.
    static double MagnitudeDb(const fx::Coefficients& c, double hz, double sampleRate);
    // The frequency, in Hz, where the band of a lowpass biquad made the usual way (shared
    // poles, cos w0 in A1) turns; below zero for coefficients that pass everything.
    static double CutoffHz(const fx::Coefficients& c, double sampleRate);

    // The axes: x in pixels from the left for a frequency, y from the top for a level.
    double xFor(double hz) const;
    double yFor(double db) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Recompute();

    fx::Coefficients shown_;
    double sampleRate_ = 0.0;
    double cutoffHz_ = -1.0;
    std::vector<Point> curve_;
};
