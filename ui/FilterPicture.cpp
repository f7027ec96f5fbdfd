#include "ui/FilterPicture.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace {

constexpr double kLowestHz = 20.0;
// The level axis: room for the highest resonance's peak (Q 10 is +20 dB) above, and enough
// below to see the slope two octaves past the cutoff.
constexpr double kTopDb = 24.0;
constexpr double kBottomDb = -36.0;
constexpr double kGridHz[] = {100.0, 1000.0, 10000.0};
constexpr double kGridDb[] = {-24.0, -12.0, 12.0};
constexpr int kWidthHint = 220;
constexpr int kHeightHint = 72;
constexpr double kKiloHz = 1000.0;
constexpr double kTwoPi = 2.0 * 3.14159265358979323846;

// Equal as stored: the picture redraws on any change, however small.
bool Same(const fx::Coefficients& a, const fx::Coefficients& b)
{
    return a.B0 == b.B0 && a.B1 == b.B1 && a.B2 == b.B2 && a.A0 == b.A0 && a.A1 == b.A1 && a.A2 == b.A2;
}

QString HzText(double hz)
{
    return hz >= kKiloHz ? QString::asprintf("%.1f kHz", hz / kKiloHz) : QString::asprintf("%.0f Hz", hz);
}

} // namespace

FilterPicture::FilterPicture(QWidget* parent) : QWidget(parent)
{
    setToolTip("The filter's response as it sounds now: level in dB over frequency, the cutoff marked");
    setAccessibleName("Filter response");
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize FilterPicture::sizeHint() const
{
    return {kWidthHint, kHeightHint};
}

double FilterPicture::MagnitudeDb(const fx::Coefficients& c, double hz, double sampleRate)
{
    const std::complex<double> z1 = std::polar(1.0, -kTwoPi * hz / sampleRate);
    const std::complex<double> z2 = z1 * z1;
    const double num = std::abs(c.B0 + c.B1 * z1 + c.B2 * z2);
    const double den = std::abs(c.A0 + c.A1 * z1 + c.A2 * z2);
    if (num == 0.0)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(num / den);
}

double FilterPicture::CutoffHz(const fx::Coefficients& c, double sampleRate)
{
    // A1 = -2 cos w0 and A0 + A2 = 2 in units of the same scale, whatever the normalisation.
    const double sum = c.A0 + c.A2;
    if ((c.A1 == 0.0 && c.A2 == 0.0) || !(sum != 0.0) || !(sampleRate > 0.0))
        return -1.0;
    const double cs = std::clamp(-c.A1 / sum, -1.0, 1.0);
    return std::acos(cs) / kTwoPi * sampleRate;
}

bool FilterPicture::showResponse(const fx::Coefficients& c, double sampleRate)
{
    if (Same(c, shown_) && sampleRate == sampleRate_ && !curve_.empty())
        return false;
    shown_ = c;
    sampleRate_ = sampleRate;
    Recompute();
    update();
    return true;
}

double FilterPicture::xFor(double hz) const
{
    const double top = sampleRate_ / 2.0;
    if (!(top > kLowestHz))
        return 0.0;
    return (width() - 1) * std::log(hz / kLowestHz) / std::log(top / kLowestHz);
}

double FilterPicture::yFor(double db) const
{
    const double clamped = std::clamp(db, kBottomDb, kTopDb);
    return (height() - 1) * (kTopDb - clamped) / (kTopDb - kBottomDb);
}

void FilterPicture::Recompute()
{
    curve_.clear();
    cutoffHz_ = CutoffHz(shown_, sampleRate_);
    const double top = sampleRate_ / 2.0;
    const int columns = width();
    if (!(top > kLowestHz) || columns < 2)
        return;
    curve_.reserve(size_t(columns));
    const double ratio = top / kLowestHz;
    for (int x = 0; x < columns; ++x) {
        const double hz = kLowestHz * std::pow(ratio, double(x) / (columns - 1));
        curve_.push_back({hz, MagnitudeDb(shown_, hz, sampleRate_)});
    }
}

void FilterPicture::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Recompute();
}

void FilterPicture::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    QColor grid = pal.color(QPalette::Mid);
    p.setPen(QPen(grid, 0, Qt::DotLine));
    for (double hz : kGridHz)
        if (hz < sampleRate_ / 2.0)
            p.drawLine(QPointF(xFor(hz), 0), QPointF(xFor(hz), height()));
    for (double db : kGridDb)
        p.drawLine(QPointF(0, yFor(db)), QPointF(width(), yFor(db)));
    p.setPen(QPen(grid, 0, Qt::SolidLine));
    p.drawLine(QPointF(0, yFor(0.0)), QPointF(width(), yFor(0.0)));

    if (cutoffHz_ >= kLowestHz && cutoffHz_ <= sampleRate_ / 2.0) {
        const double x = xFor(cutoffHz_);
        p.setPen(QPen(pal.color(QPalette::Highlight), 0, Qt::DashLine));
        p.drawLine(QPointF(x, 0), QPointF(x, height()));
        const QString text = HzText(cutoffHz_);
        const int textWidth = p.fontMetrics().horizontalAdvance(text);
        // The figure stays inside the picture, on the side of the line with room for it.
        const double left = x + 3 + textWidth < width() ? x + 3 : x - 3 - textWidth;
        p.setPen(pal.color(QPalette::Text));
        p.drawText(QPointF(left, p.fontMetrics().ascent() + 1), text);
    }

    if (curve_.empty())
        return;
    QPainterPath path;
    for (size_t i = 0; i < curve_.size(); ++i) {
        const QPointF at(double(i), yFor(curve_[i].db));
        if (i == 0)
            path.moveTo(at);
        else
            path.lineTo(at);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(pal.color(QPalette::Text), 1.5));
    p.drawPath(path);
}
