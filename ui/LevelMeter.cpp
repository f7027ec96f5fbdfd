#include "ui/LevelMeter.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kFullScale = 32768.0;
// The bar falls like a peak programme meter's, the hold mark waits before it follows.
constexpr double kFallDbPerSecond = 20.0;
constexpr double kHoldMs = 1500.0;
// Marks under the bar, in dBFS.
constexpr double kTicksDb[] = {-48.0, -36.0, -24.0, -12.0, -6.0, -3.0, 0.0};
// Above this the bar turns from green to yellow, and above the next to red.
constexpr double kWarmDb = -12.0;
constexpr double kHotDb = -3.0;
constexpr int kNameWidth = 24;
constexpr int kReadoutWidth = 36;
constexpr int kClipWidth = 14;
constexpr int kBarHeight = 10;
constexpr int kTickHeight = 3;
constexpr int kGap = 3;

} // namespace

LevelMeter::LevelMeter(const QString& name, QWidget* parent) : QWidget(parent), name_(name)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(name + " level");
    setToolTip(name + " peak level in dBFS; click the clip mark to clear it");
}

double LevelMeter::ToDb(uint32_t peak)
{
    if (peak == 0)
        return kFloorDb;
    return std::max(kFloorDb, 20.0 * std::log10(double(peak) / kFullScale));
}

bool LevelMeter::showPeak(uint32_t peak, bool clipped, double elapsedMs)
{
    const Drawn before = drawn();
    const double db = ToDb(peak);
    levelDb_ = std::max(db, levelDb_ - kFallDbPerSecond * elapsedMs / 1000.0);
    holdLeftMs_ -= elapsedMs;
    if (db >= holdDb_) {
        holdDb_ = db;
        holdLeftMs_ = kHoldMs;
    } else if (holdLeftMs_ <= 0.0) {
        // Past its hold the mark rides the falling bar.
        holdDb_ = levelDb_;
    }
    if (clipped)
        clipLit_ = true;
    const bool changed = drawn() != before;
    if (changed)
        update();
    return changed || levelDb_ > kFloorDb || holdDb_ > kFloorDb;
}

LevelMeter::Drawn LevelMeter::drawn() const
{
    // A level at the floor draws no bar and a hold there no mark, whatever pixel they map to.
    constexpr int kNone = -1;
    constexpr long kNoReadout = -10000;
    return {levelDb_ > kFloorDb ? xOf(levelDb_) : kNone, holdDb_ > kFloorDb ? xOf(holdDb_) : kNone,
            holdDb_ > kFloorDb ? std::lround(holdDb_ * 10.0) : kNoReadout, clipLit_};
}

void LevelMeter::clearClip()
{
    clipLit_ = false;
    update();
}

QSize LevelMeter::sizeHint() const
{
    return {kNameWidth + kReadoutWidth + kClipWidth + 3 * kGap + 60, kBarHeight + kTickHeight + 2};
}

QRect LevelMeter::barRect() const
{
    return {kNameWidth, 1, width() - kNameWidth - kReadoutWidth - kClipWidth - 2 * kGap, kBarHeight};
}

QRect LevelMeter::clipRect() const
{
    return {width() - kClipWidth, 1, kClipWidth, kBarHeight};
}

int LevelMeter::xOf(double db) const
{
    const QRect bar = barRect();
    const double at = (std::clamp(db, kFloorDb, 0.0) - kFloorDb) / -kFloorDb;
    return bar.left() + int(std::lround(at * (bar.width() - 1)));
}

void LevelMeter::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect bar = barRect();
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(0, 0, kNameWidth, kBarHeight + 2), Qt::AlignLeft | Qt::AlignVCenter, name_);

    p.fillRect(bar, QColor(32, 32, 32));
    const int level = xOf(levelDb_);
    if (levelDb_ > kFloorDb) {
        const int warm = xOf(kWarmDb), hot = xOf(kHotDb);
        p.fillRect(QRect(QPoint(bar.left(), bar.top()), QPoint(std::min(level, warm), bar.bottom())), QColor(40, 190, 70));
        if (level > warm)
            p.fillRect(QRect(QPoint(warm, bar.top()), QPoint(std::min(level, hot), bar.bottom())), QColor(230, 200, 40));
        if (level > hot)
            p.fillRect(QRect(QPoint(hot, bar.top()), QPoint(level, bar.bottom())), QColor(230, 50, 40));
    }
    if (holdDb_ > kFloorDb) {
        p.setPen(QColor(240, 240, 240));
        p.drawLine(xOf(holdDb_), bar.top(), xOf(holdDb_), bar.bottom());
    }
    p.setPen(palette().color(QPalette::Mid));
    for (double tick : kTicksDb)
        p.drawLine(xOf(tick), bar.bottom() + 1, xOf(tick), bar.bottom() + kTickHeight);

    p.setPen(palette().color(QPalette::WindowText));
    const Drawn shown = drawn();
    const QString readout = holdDb_ > kFloorDb ? QString::number(double(shown.readoutTenths) / 10.0, 'f', 1)
                                               : QStringLiteral("-inf");
    p.drawText(QRect(bar.right() + kGap, 0, kReadoutWidth, kBarHeight + 2), Qt::AlignRight | Qt::AlignVCenter,
               readout);

    const QRect clip = clipRect();
    p.fillRect(clip, clipLit_ ? QColor(230, 30, 30) : QColor(70, 20, 20));
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(clip.adjusted(0, 0, -1, -1));
}

void LevelMeter::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && clipLit_)
        clearClip();
    QWidget::mousePressEvent(event);
}
