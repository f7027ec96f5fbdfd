#include "ui/About.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

TfrmAbout* frmAbout = nullptr;

namespace {

constexpr int kWidth = 330;
constexpr int kHeight = 213;
constexpr int kLogoSize = 96;

class Logo final : public QWidget {
public:
    Logo()
    {
        setFixedSize(kLogoSize, kLogoSize);
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        PaintLogo(p, QRectF(rect()));
    }
};

} // namespace

void PaintLogo(QPainter& p, const QRectF& r)
{
    p.setRenderHint(QPainter::Antialiasing);
    const double w = r.width(), h = r.height();
    auto at = [&](double x, double y) { return QPointF(r.left() + x * w, r.top() + y * h); };

    // The pedal: a tilted rounded plate on a base.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 48));
    p.drawRoundedRect(QRectF(at(0.12, 0.72), at(0.88, 0.90)), 0.04 * w, 0.04 * h);
    QPainterPath plate;
    plate.moveTo(at(0.16, 0.70));
    plate.lineTo(at(0.80, 0.46));
    plate.lineTo(at(0.86, 0.56));
    plate.lineTo(at(0.22, 0.76));
    plate.closeSubpath();
    p.setBrush(QColor(200, 60, 40));
    p.drawPath(plate);

    // The swept resonant curve above it: flat, a peak, then the roll-off.
    QPainterPath curve;
    curve.moveTo(at(0.08, 0.40));
    curve.cubicTo(at(0.35, 0.40), at(0.48, 0.38), at(0.56, 0.12));
    curve.cubicTo(at(0.60, 0.02), at(0.64, 0.20), at(0.70, 0.36));
    curve.cubicTo(at(0.76, 0.52), at(0.86, 0.58), at(0.94, 0.60));
    QPen pen(QColor(240, 170, 30), 0.05 * w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(curve);
}

TfrmAbout::TfrmAbout()
{
    setWindowTitle("About Drenmarq Vobblix v1.1");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    Label1 = new QLabel("Drenmarq Vobblix v1.1");
    QFont big = Label1->font();
    big.setPointSizeF(big.pointSizeF() * 1.2);
    big.setBold(true);
    Label1->setFont(big);
    Label1->setWordWrap(true);
    Image1 = new Logo;
    Label5 = new QLabel(QString("<a href=\"%1\">%1</a>").arg(kWebAddress));
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    Button1 = new QPushButton("Close");

    auto* top = new QHBoxLayout;
    top->addWidget(Image1);
    top->addWidget(Label1, 1);
    auto* column = new QVBoxLayout(this);
    column->addLayout(top);
    column->addWidget(Label5, 0, Qt::AlignHCenter);
    column->addStretch();
    column->addWidget(Button1, 0, Qt::AlignRight);

    connect(Label5, &QLabel::linkActivated, this, &TfrmAbout::Label5Click);
    connect(Button1, &QPushButton::clicked, this, &TfrmAbout::Button1Click);

    setFixedSize(kWidth, kHeight);
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    frmAbout = this;
}

void TfrmAbout::Label5Click()
{
    QDesktopServices::openUrl(QUrl(kWebAddress));
}

void TfrmAbout::Button1Click()
{
    hide();
}
