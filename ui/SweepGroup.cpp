#include "ui/SweepGroup.h"

#include "config/Settings.h"
#include "effect/FX.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int kMargin = 4;
constexpr int kManualPage = 0;
constexpr int kEnvelopePage = 1;
constexpr int kLfoPage = 2;
// The rate box's step: a tapped rate closer than this to the one shown changes nothing.
constexpr double kRateShown = 0.005;

// What each choice shows, in the order of the store's choices (settings::kAutoModes and the
// others), which is the order of the filter's own.
struct Choice {
    const char* shown;
    const char* tip;
};
constexpr Choice kModes[] = {
    {"Manual", "The depth slider or the pedal moves the filter, as the settings window chooses"},
    {"Envelope", "Auto-wah: how hard the strings are hit moves the filter"},
    {"LFO", "The filter sweeps by itself at the rate set, or at the tempo tapped"},
};
constexpr Choice kShapes[] = {
    {"Sine", nullptr},     {"Triangle", nullptr}, {"Saw up", nullptr},
    {"Saw down", nullptr}, {"Square", nullptr},   {"Random", nullptr},
};
constexpr Choice kDirections[] = {
    {"Up", "Harder picking opens the filter"},
    {"Down", "Harder picking closes the filter"},
};

template <size_t N>
QComboBox* ChoiceBox(const Choice (&choices)[N], const char* const* stored)
{
    auto* box = new QComboBox;
    for (size_t i = 0; i < N; ++i) {
        box->addItem(choices[i].shown, QString(stored[i]));
        if (choices[i].tip)
            box->setItemData(int(i), QString(choices[i].tip), Qt::ToolTipRole);
    }
    return box;
}

// Selects the item stored as the text given; the load has already replaced an unknown one.
void Select(QComboBox* box, const std::string& stored)
{
    const int at = box->findData(QString::fromStdString(stored));
    if (at >= 0)
        box->setCurrentIndex(at);
}

std::string Stored(const QComboBox* box)
{
    return box->currentData().toString().toStdString();
}

QDoubleSpinBox* DepthBox(const QString& tip)
{
    auto* box = new QDoubleSpinBox;
    box->setRange(settings::kSweepRange.lowest, settings::kSweepRange.largest);
    box->setDecimals(2);
    box->setSingleStep(0.01);
    box->setToolTip(tip);
    return box;
}

QSpinBox* WholeBox(const settings::NumberRange& range, const char* prefix, const char* suffix, const QString& tip)
{
    auto* box = new QSpinBox;
    box->setRange(int(range.lowest), int(range.largest));
    box->setPrefix(prefix);
    box->setSuffix(suffix);
    box->setToolTip(tip);
    return box;
}

} // namespace

SweepGroup::SweepGroup(QWidget* parent) : QGroupBox("&Sweep", parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);

    cbSweep = ChoiceBox(kModes, settings::kAutoModes);
    cbSweep->setToolTip("What moves the filter: Manual (the slider or the pedal), Envelope or LFO");
    edtLow = DepthBox("The depth the automatic sweep starts from (the filter at its most closed)");
    edtHigh = DepthBox("The depth the automatic sweep reaches (the filter at its most open)");
    // One row: the choice, then the range it sweeps, which only the automatic modes use.
    auto* top = new QHBoxLayout;
    top->addWidget(cbSweep, 1);
    top->addWidget(edtLow);
    top->addWidget(new QLabel("to"));
    top->addWidget(edtHigh);
    column->addLayout(top);

    pages = new QStackedWidget;
    auto* manual = new QLabel("The depth slider or the pedal moves the filter.");
    manual->setWordWrap(true);
    pages->addWidget(manual);

    auto* envelope = new QWidget;
    auto* e = new QGridLayout(envelope);
    e->setContentsMargins(0, 0, 0, 0);
    edtSensitivity = WholeBox(settings::kEnvSensitivityRange, "Gain ", " dB",
                              "How much the playing's level is raised before it moves the filter");
    cbDirection = ChoiceBox(kDirections, settings::kEnvDirections);
    cbDirection->setToolTip("Up: harder picking opens the filter; Down: it closes it");
    edtAttack = WholeBox(settings::kEnvAttackRange, "Attack ", " ms", "How fast a pluck moves the filter");
    edtRelease = WholeBox(settings::kEnvReleaseRange, "Release ", " ms", "How slowly the filter goes back after it");
    e->addWidget(edtSensitivity, 0, 0);
    e->addWidget(cbDirection, 0, 1);
    e->addWidget(edtAttack, 1, 0);
    e->addWidget(edtRelease, 1, 1);
    pages->addWidget(envelope);

    auto* lfo = new QWidget;
    auto* l = new QGridLayout(lfo);
    l->setContentsMargins(0, 0, 0, 0);
    cbShape = ChoiceBox(kShapes, settings::kLfoShapes);
    cbShape->setToolTip("The LFO's wave shape");
    edtRate = new QDoubleSpinBox;
    edtRate->setRange(settings::kLfoRateRange.lowest, settings::kLfoRateRange.largest);
    edtRate->setDecimals(2);
    edtRate->setSingleStep(0.05);
    edtRate->setSuffix(" Hz");
    edtRate->setToolTip("The LFO's rate in sweeps a second; tapping sets it too");
    btnTap = new QPushButton("&Tap");
    btnTap->setAutoDefault(false);
    btnTap->setToolTip("Tap the tempo two to four times (or press T): the LFO follows it and restarts at its peak");
    l->addWidget(cbShape, 0, 0);
    l->addWidget(edtRate, 0, 1);
    l->addWidget(btnTap, 1, 0, 1, 2);
    pages->addWidget(lfo);
    column->addWidget(pages);

    setTabOrder(cbSweep, edtLow);
    setTabOrder(edtLow, edtHigh);
    setTabOrder(edtHigh, edtSensitivity);
    setTabOrder(edtSensitivity, cbDirection);
    setTabOrder(cbDirection, edtAttack);
    setTabOrder(edtAttack, edtRelease);
    setTabOrder(edtRelease, cbShape);
    setTabOrder(cbShape, edtRate);
    setTabOrder(edtRate, btnTap);

    for (QComboBox* box : {cbSweep, cbDirection, cbShape})
        connect(box, &QComboBox::currentIndexChanged, this, &SweepGroup::Store);
    for (QSpinBox* box : {edtSensitivity, edtAttack, edtRelease})
        connect(box, &QSpinBox::valueChanged, this, &SweepGroup::Store);
    for (QDoubleSpinBox* box : {edtLow, edtHigh, edtRate})
        connect(box, &QDoubleSpinBox::valueChanged, this, &SweepGroup::Store);
    connect(btnTap, &QPushButton::clicked, this, [] { fx::Program().Tap(); });
    ShowPage();
}

bool SweepGroup::automatic() const
{
    return cbSweep->currentIndex() != kManualPage;
}

bool SweepGroup::lfo() const
{
    return cbSweep->currentIndex() == kLfoPage;
}

void SweepGroup::ShowPage()
{
    pages->setCurrentIndex(cbSweep->currentIndex());
    edtLow->setEnabled(automatic());
    edtHigh->setEnabled(automatic());
}

void SweepGroup::Fill()
{
    {
        const QSignalBlocker quiet[] = {QSignalBlocker(cbSweep),        QSignalBlocker(edtLow),
                                        QSignalBlocker(edtHigh),        QSignalBlocker(edtSensitivity),
                                        QSignalBlocker(edtAttack),      QSignalBlocker(edtRelease),
                                        QSignalBlocker(cbDirection),    QSignalBlocker(cbShape),
                                        QSignalBlocker(edtRate)};
        Select(cbSweep, Settings.AutoMode);
        edtLow->setValue(Settings.SweepLow);
        edtHigh->setValue(Settings.SweepHigh);
        edtSensitivity->setValue(int(Settings.EnvSensitivity));
        edtAttack->setValue(int(Settings.EnvAttackMs));
        edtRelease->setValue(int(Settings.EnvReleaseMs));
        Select(cbDirection, Settings.EnvDirection);
        Select(cbShape, Settings.LfoShape);
        edtRate->setValue(Settings.LfoRate);
    }
    ShowPage();
    fx::ApplySweepSettings();
}

void SweepGroup::FollowTappedRate()
{
    const double rate = fx::Program().LfoRate.load();
    if (std::abs(rate - edtRate->value()) < kRateShown)
        return;
    const QSignalBlocker quiet(edtRate);
    edtRate->setValue(rate);
}

void SweepGroup::Store()
{
    Settings.AutoMode = Stored(cbSweep);
    Settings.SweepLow = edtLow->value();
    Settings.SweepHigh = edtHigh->value();
    Settings.EnvSensitivity = uint32_t(edtSensitivity->value());
    Settings.EnvAttackMs = uint32_t(edtAttack->value());
    Settings.EnvReleaseMs = uint32_t(edtRelease->value());
    Settings.EnvDirection = Stored(cbDirection);
    Settings.LfoShape = Stored(cbShape);
    Settings.LfoRate = edtRate->value();
    ShowPage();
    fx::ApplySweepSettings();
    emit changed();
}
