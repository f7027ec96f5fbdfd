#include "ui/Main.h"

#include "audio/Waves.h"
#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/Report.h"
#include "ui/About.h"
#include "ui/Settings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

TfrmMain* frmMain = nullptr;

namespace {

constexpr int kClientWidth = 233;
constexpr int kClientHeight = 400;
// The audio side's label texts are picked up at about the screen's pace.
constexpr int kLabelRefreshMs = 50;
constexpr int kMargin = 4;

QSlider* Slider(int min, int max, int position, bool ticks)
{
    auto* s = new QSlider(Qt::Horizontal);
    s->setRange(min, max);
    s->setValue(position);
    s->setTickPosition(ticks ? QSlider::TicksBelow : QSlider::NoTicks);
    return s;
}

QString Fixed2(const char* prefix, double value)
{
    return QString(prefix) + QString::asprintf("%.2f", value);
}

} // namespace

TfrmMain::TfrmMain()
{
    setWindowTitle("Vobblix");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    // Narrow margins: the window is only 233 pixels wide and the longest label must fit.
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);

    GroupBox1 = new QGroupBox("Vobblix");
    auto* g1 = new QVBoxLayout(GroupBox1);
    g1->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    lbldepth = new QLabel("Depth = N/A");
    TrackBar1 = Slider(1, 99, 99, false);
    g1->addWidget(lbldepth);
    g1->addWidget(TrackBar1);
    column->addWidget(GroupBox1);

    GroupBox2 = new QGroupBox("Parameters");
    auto* g2 = new QVBoxLayout(GroupBox2);
    g2->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    lblfreqofs = new QLabel("Frequency Offset = 0.10");
    TrackBar2 = Slider(0, 100, 10, true);
    lblreso = new QLabel("Resonance = 9.0");
    TrackBar3 = Slider(1, 100, 90, true);
    lblpaf = new QLabel("Pedal Acceleration Factor = 0.1");
    TrackBar4 = Slider(1, 200, 100, true);
    for (QWidget* w : {static_cast<QWidget*>(lblfreqofs), static_cast<QWidget*>(TrackBar2),
                       static_cast<QWidget*>(lblreso), static_cast<QWidget*>(TrackBar3),
                       static_cast<QWidget*>(lblpaf), static_cast<QWidget*>(TrackBar4)})
        g2->addWidget(w);
    column->addWidget(GroupBox2);

    Button2 = new QPushButton("Start record");
    Button3 = new QPushButton("Stop record");
    Button3->setEnabled(false);
    lblrectime = new QLabel("");
    column->addWidget(Button2);
    column->addWidget(Button3);
    column->addWidget(lblrectime);
    column->addStretch();
    setCentralWidget(central);

    QMenu* menu = menuBar()->addMenu("Menu");
    connect(menu->addAction("Settings"), &QAction::triggered, this, &TfrmMain::Settings1Click);
    menu->addSeparator();
    connect(menu->addAction("About"), &QAction::triggered, this, &TfrmMain::Exit2Click);
    menu->addSeparator();
    connect(menu->addAction("Exit"), &QAction::triggered, this, &TfrmMain::Exit3Click);

    connect(TrackBar1, &QSlider::valueChanged, this, &TfrmMain::TrackBar1Change);
    connect(TrackBar2, &QSlider::valueChanged, this, &TfrmMain::TrackBar2Change);
    connect(TrackBar3, &QSlider::valueChanged, this, &TfrmMain::TrackBar3Change);
    connect(TrackBar4, &QSlider::valueChanged, this, &TfrmMain::TrackBar4Change);

    setFixedSize(kClientWidth, kClientHeight);
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    labelTimer_ = new QTimer(this);
    connect(labelTimer_, &QTimer::timeout, this, &TfrmMain::PickUpAudioTexts);
    labelTimer_->start(kLabelRefreshMs);

    frmMain = this;
    FormCreate();
}

TfrmMain::~TfrmMain()
{
    if (frmMain == this)
        frmMain = nullptr;
}

void TfrmMain::FormCreate()
{
    // A value that cannot be read skips the rest of the creation; the window still opens.
    try {
        LoadSettings();
        if (report::TerminationRequested())
            return;
        TrackBar2->setValue(Settings.LastFreqofs);
        TrackBar3->setValue(Settings.LastResonance);
        TrackBar4->setValue(Settings.LastPAF);
        TrackBar2Change();
        TrackBar3Change();
        TrackBar4Change();
        ResetDepth();
        Stopping = false;
    } catch (const report::FrameworkError& e) {
        report::Unhandled(e.what());
    }
}

void TfrmMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TfrmMain::FormShow()
{
    if (waves_)
        waves_->StartCapture();
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    // A second close while the first one waits for the audio finds everything done.
    if (!closed_) {
        closed_ = true;
        FormCloseQuery();
    }
    event->accept();
    QCoreApplication::exit(0);
}

void TfrmMain::FormCloseQuery()
{
    Stopping = true;
    if (waves_)
        waves_->StopAudio();
    SaveSettings();
}

void TfrmMain::SaveSettings()
{
    try {
        ::SaveSettings({TrackBar2->value(), TrackBar3->value(), TrackBar4->value()});
    } catch (const report::FrameworkError& e) {
        report::Unhandled(e.what());
    }
}

void TfrmMain::TrackBar1Change()
{
    CurrentDepth = TrackBar1->value() / 100.0;
    lbldepth->setText(Fixed2("Depth = ", CurrentDepth));
}

void TfrmMain::TrackBar2Change()
{
    FreqOffset = TrackBar2->value() / 100.0;
    lblfreqofs->setText(Fixed2("Frequency Offset = ", FreqOffset));
}

void TfrmMain::TrackBar3Change()
{
    Resonance = TrackBar3->value() / 10.0;
    lblreso->setText(Fixed2("Resonance = ", Resonance));
}

void TfrmMain::TrackBar4Change()
{
    PedalAccelFactor = TrackBar4->value() / 1000.0;
    lblpaf->setText(Fixed2("Pedal Acceleration Factor = ", PedalAccelFactor));
}

void TfrmMain::Settings1Click()
{
    if (frmSettings)
        frmSettings->Spawn();
}

void TfrmMain::Exit2Click()
{
    if (frmAbout) {
        frmAbout->show();
        frmAbout->raise();
    }
}

void TfrmMain::Exit3Click()
{
    close();
}

void TfrmMain::PickUpAudioTexts()
{
    thread::LabelText text;
    if (DepthLabelText.take(text))
        lbldepth->setText(text.c_str());
}
