#include "ui/Main.h"

#include "audio/Waves.h"
#include "config/Settings.h"
#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "pedal/Pedal.h"
#include "platform/joystick/Joystick.h"
#include "platform/report/Report.h"
#include "recorder/SaveToFile.h"
#include "ui/About.h"
#include "ui/FilterPicture.h"
#include "ui/LevelMeter.h"
#include "ui/SaveDialog.h"
#include "ui/Settings.h"
#include "ui/SweepGroup.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QHBoxLayout>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <filesystem>

TfrmMain* frmMain = nullptr;

namespace {

constexpr int kClientWidth = 233;
constexpr int kClientHeight = 400;
// One timer picks up the audio side's texts and moves the meters, fast enough that a short
// peak is seen as it happens; one wake-up for both keeps an idle program nearly free.
constexpr int kScreenRefreshMs = 25;
// At rest (silence in, the meters at their floor, no text new) it looks this seldom, once
// this many looks in a row found nothing.
constexpr int kScreenRestMs = 500;
constexpr int kQuietLooks = 8;
constexpr int kMargin = 4;
// The depth the screen tells apart: finer than the label's two decimals, so the slider and
// label never lag a step behind the sound.
constexpr double kDepthShownSteps = 1000.0;
constexpr int kMaxProposal = 100;
constexpr const char* kWavExtension = ".wav";

// Wakes a screen at rest: rung by the capture callback when sound comes, and by whatever
// read a footswitch or the MIDI pedal. It lives as long as the process, so that a port that
// still feeds the pedal after the window closed never rings one that is gone.
thread::Doorbell& ScreenBell()
{
    static thread::Doorbell bell;
    return bell;
}

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

TfrmMain::TfrmMain(joystick::JoystickService& joysticks) : joysticks_(joysticks)
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
    cbEffectOn = new QCheckBox("Effect on");
    cbEffectOn->setChecked(true);
    TrackBar1 = Slider(1, 99, 99, false);
    // The box shares the depth label's row, so the window keeps its designed height.
    auto* depthRow = new QHBoxLayout;
    depthRow->addWidget(lbldepth, 1);
    depthRow->addWidget(cbEffectOn);
    g1->addLayout(depthRow);
    g1->addWidget(TrackBar1);
    column->addWidget(GroupBox1);

    GroupBoxSweep = new SweepGroup;
    column->addWidget(GroupBoxSweep);

    GroupBox2 = new QGroupBox("Parameters");
    auto* g2 = new QVBoxLayout(GroupBox2);
    g2->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    lblfreqofs = new QLabel("Frequency Offset = 0.10");
    TrackBar2 = Slider(settings::kFreqofsRange.lowest, settings::kFreqofsRange.largest, 10, true);
    lblreso = new QLabel("Resonance = 9.0");
    TrackBar3 = Slider(settings::kResonanceRange.lowest, settings::kResonanceRange.largest, 90, true);
    lblpaf = new QLabel("Pedal Acceleration Factor = 0.1");
    TrackBar4 = Slider(settings::kPafRange.lowest, settings::kPafRange.largest, 100, true);
    for (QWidget* w : {static_cast<QWidget*>(lblfreqofs), static_cast<QWidget*>(TrackBar2),
                       static_cast<QWidget*>(lblreso), static_cast<QWidget*>(TrackBar3),
                       static_cast<QWidget*>(lblpaf), static_cast<QWidget*>(TrackBar4)})
        g2->addWidget(w);
    column->addWidget(GroupBox2);
    Picture = new FilterPicture;
    column->addWidget(Picture);

    Button2 = new QPushButton("Start record");
    Button3 = new QPushButton("Stop record");
    Button3->setEnabled(false);
    lblrectime = new QLabel("");
    column->addWidget(Button2);
    column->addWidget(Button3);
    column->addWidget(lblrectime);

    GroupBoxLevels = new QGroupBox("Levels");
    auto* levels = new QVBoxLayout(GroupBoxLevels);
    levels->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    InputMeter = new LevelMeter("In");
    OutputMeter = new LevelMeter("Out");
    lblstatus = new QLabel(StatusText("none", -1.0, {}));
    levels->addWidget(InputMeter);
    levels->addWidget(OutputMeter);
    levels->addWidget(lblstatus);
    column->addWidget(GroupBoxLevels);
    column->addStretch();
    setCentralWidget(central);

    QMenu* menu = menuBar()->addMenu("Menu");
    connect(menu->addAction("Settings"), &QAction::triggered, this, &TfrmMain::Settings1Click);
    menu->addSeparator();
    connect(menu->addAction("About"), &QAction::triggered, this, &TfrmMain::Exit2Click);
    menu->addSeparator();
    connect(menu->addAction("Exit"), &QAction::triggered, this, &TfrmMain::Exit3Click);

    connect(Button2, &QPushButton::clicked, this, &TfrmMain::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TfrmMain::Button3Click);
    SaveDialog1 = std::make_unique<QtSaveDialog>();

    connect(TrackBar1, &QSlider::valueChanged, this, &TfrmMain::TrackBar1Change);
    connect(TrackBar2, &QSlider::valueChanged, this, &TfrmMain::TrackBar2Change);
    connect(TrackBar3, &QSlider::valueChanged, this, &TfrmMain::TrackBar3Change);
    connect(TrackBar4, &QSlider::valueChanged, this, &TfrmMain::TrackBar4Change);
    connect(cbEffectOn, &QCheckBox::clicked, this, &TfrmMain::cbEffectOnClick);
    // The picture follows a moved control at the screen's pace, not after a rest's look.
    for (QSlider* s : {TrackBar1, TrackBar2, TrackBar3, TrackBar4})
        connect(s, &QSlider::valueChanged, this, &TfrmMain::WakeScreen);
    connect(GroupBoxSweep, &SweepGroup::changed, this, &TfrmMain::SweepChanged);
    // The LFO's tap tempo from the keyboard, wherever the focus is in the window.
    auto* tap = new QShortcut(QKeySequence(Qt::Key_T), this);
    connect(tap, &QShortcut::activated, GroupBoxSweep->btnTap, &QPushButton::click);

    // The levels, the sweep and the picture come on top of the window's designed height.
    int added = 0;
    for (QWidget* w : {static_cast<QWidget*>(GroupBoxLevels), static_cast<QWidget*>(GroupBoxSweep),
                       static_cast<QWidget*>(Picture)})
        added += w->sizeHint().height() + column->spacing();
    setFixedSize(kClientWidth, kClientHeight + added);
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    screenTimer_ = new QTimer(this);
    connect(screenTimer_, &QTimer::timeout, this, &TfrmMain::LookAtTheAudio);
    screenTimer_->start(kScreenRefreshMs);
    // Sound coming in, a footswitch or the MIDI pedal wakes a screen at rest at once.
    auto* wake = new QSocketNotifier(ScreenBell().fd(), QSocketNotifier::Read, this);
    connect(wake, &QSocketNotifier::activated, this, [this] {
        ScreenBell().clear();
        WakeScreen();
    });

    frmMain = this;
    FormCreate();
}

TfrmMain::~TfrmMain()
{
    ControlsMoved.watch(nullptr);
    if (frmMain == this)
        frmMain = nullptr;
}

void TfrmMain::FormCreate()
{
    // What the load and the pedal say waits until the sound plays: a box open now would hold
    // the whole start. A store that cannot be made ends the program, so that box shows at once.
    report::HeldBoxes held;
    LoadSettings();
    if (report::TerminationRequested()) {
        report::Show(held.take());
        return;
    }
    EffectOn = Settings.EffectOn;
    cbEffectOn->setChecked(Settings.EffectOn);
    GroupBoxSweep->Fill();
    SweepChanged();
    try {
        // The service reads the pedal's events as they come, with nothing on a timer.
        OpenPedal(joysticks_, [this](int32_t position) { TrackBar1->setValue(position); });
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
    startUpBoxes_ = held.take();
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
    // The start's boxes come from the event loop, with the sound already playing.
    if (!startUpBoxes_.empty())
        QTimer::singleShot(0, this, [this] { report::Show(std::exchange(startUpBoxes_, {})); });
}

void TfrmMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Back from the task bar: the picture catches up with what it missed.
    if (event->type() == QEvent::WindowStateChange && !isMinimized())
        WakeScreen();
}

void TfrmMain::SweepChanged()
{
    // In the automatic modes the slider shows the depth; the sweep moves it.
    TrackBar1->setEnabled(!GroupBoxSweep->automatic());
    WakeScreen();
}

void TfrmMain::WakeScreen()
{
    quietLooks_ = 0;
    if (screenTimer_ && screenTimer_->interval() != kScreenRefreshMs)
        screenTimer_->start(kScreenRefreshMs);
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    Quit();
    event->accept();
}

void TfrmMain::Quit()
{
    // A second close while the first one waits for the audio finds everything done.
    if (!closed_) {
        closed_ = true;
        FormCloseQuery();
    }
    QCoreApplication::exit(0);
}

void TfrmMain::FormCloseQuery()
{
    StopSequence();
    SaveSettings();
}

void TfrmMain::StopSequence()
{
    if (soundStopped_)
        return;
    soundStopped_ = true;
    Stopping = true;
    if (waves_)
        waves_->StopAudio();
    // A recording still running keeps everything it got.
    if (Button3->isEnabled())
        Button3Click();
    ReleasePedal();
}

bool TfrmMain::SaveSettings(AfterFailedOpen after, const StartChoices* choices)
{
    Settings.EffectOn = EffectOn.load();
    // A tempo tapped while the window was out of sight is kept too.
    GroupBoxSweep->FollowTappedRate();
    try {
        const SliderPositions sliders{TrackBar2->value(), TrackBar3->value(), TrackBar4->value()};
        return ::SaveSettings(sliders, choices ? *choices : CurrentStartChoices(), after);
    } catch (const report::FrameworkError& e) {
        report::Unhandled(e.what());
        return false;
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

void TfrmMain::cbEffectOnClick()
{
    EffectOn = cbEffectOn->isChecked();
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

void TfrmMain::LookAtTheAudio()
{
    const bool texts = PickUpAudioTexts();
    const bool moved = PickUpFilter() || texts;
    const bool moving = RefreshLevels(screenTimer_->interval());
    if (moved || moving) {
        quietLooks_ = 0;
        if (screenTimer_->interval() != kScreenRefreshMs)
            screenTimer_->start(kScreenRefreshMs);
        return;
    }
    // Nothing it shows has changed for a while: the screen looks twice a second (for the
    // status line's figures), until sound comes in or a control moves.
    if (++quietLooks_ == kQuietLooks && waves_) {
        waves_->InputLevel.watch(&ScreenBell());
        ControlsMoved.watch(&ScreenBell());
        // A control that moved since the look above, before the watch, would wait a whole
        // rest: it is picked up now.
        if (PickUpAudioTexts()) {
            quietLooks_ = 0;
            return;
        }
        screenTimer_->start(kScreenRestMs);
    }
}

int TfrmMain::screenLookMs() const
{
    return screenTimer_->interval();
}

bool TfrmMain::PickUpFilter()
{
    if (fx::Program().TakeInEffect(inEffect_))
        inEffectShown_ = false;
    // Minimised or hidden, nothing is drawn and the screen may rest, even with the LFO running;
    // the latest values wait for the window to come back.
    if (inEffectShown_ || !Picture->isVisible() || isMinimized())
        return false;
    inEffectShown_ = true;
    Picture->showResponse(inEffect_.c, inEffect_.rate);
    const bool automatic = GroupBoxSweep->automatic();
    if (GroupBoxSweep->lfo())
        GroupBoxSweep->FollowTappedRate();
    // The envelope's tail creeps on in bits no one sees: only a visible step keeps the screen
    // looking fast.
    const long depth = std::lround(inEffect_.depth * kDepthShownSteps);
    if (depth == shownDepth_)
        return false;
    shownDepth_ = depth;
    if (automatic) {
        const QSignalBlocker quiet(TrackBar1);
        TrackBar1->setValue(int(std::lround(inEffect_.depth * 100)));
        lbldepth->setText(Fixed2("Depth = ", inEffect_.depth));
    }
    return true;
}

bool TfrmMain::PickUpAudioTexts()
{
    bool moved = false;
    thread::LabelText text;
    if (DepthLabelText.take(text)) {
        lbldepth->setText(text.c_str());
        moved = true;
    }
    // Only the latest of however many pedal messages came: the slider shows where the pedal
    // stands. It does not set the depth itself, so the sound moves by the glide alone,
    // never by the slider's coarser steps.
    PedalScaled midiDepth;
    if (midi::MidiInput.takeDepth(midiDepth)) {
        const QSignalBlocker quiet(TrackBar1);
        TrackBar1->setValue(midiDepth.slider);
        moved = true;
    }
    // A footswitch may have switched the effect.
    if (cbEffectOn->isChecked() != EffectOn.load()) {
        cbEffectOn->setChecked(EffectOn.load());
        moved = true;
    }
    // A text that arrives after "Stop record" belongs to the recording that ended.
    if (RecordTimeText.take(text) && Button3->isEnabled()) {
        lblrectime->setText(text.c_str());
        moved = true;
    }
    if (recorder::EndedByItself.load() != recorder::Ended::No && Button3->isEnabled())
        ReturnToIdle();
    if (waves_)
        waves_->DeliverReports();
    // A recording runs its clock: the screen keeps looking while it does.
    return moved || Settings.Recording.load();
}

bool TfrmMain::RefreshLevels(double elapsedMs)
{
    if (!waves_)
        return false;
    const bool in = InputMeter->showPeak(waves_->InputLevel.takePeak(), waves_->InputLevel.takeClip(), elapsedMs);
    const bool out = OutputMeter->showPeak(waves_->OutputLevel.takePeak(), waves_->OutputLevel.takeClip(), elapsedMs);
    const wave::WaveService& service = waves_->service();
    const double latency = service.latencyMs();
    // Switchless acts only where a pedal drives the depth by hand.
    const fx::SweepFilter& filter = fx::Program();
    const bool switchless =
        filter.Switchless.load() && filter.Glides.load() && filter.Mode.load() == fx::SweepMode::Manual;
    const QString status = StatusText(service.name(), latency, service.counters(), EffectOn.load(), switchless);
    if (status != lblstatus->text())
        lblstatus->setText(status);
    // Told on standard error too, once known and after each change the line shows.
    if (latency >= 0 && std::lround(latency * 10) != std::lround(notedLatencyMs_ * 10)) {
        notedLatencyMs_ = latency;
        report::Note(QString::asprintf("%s, latency %.1f ms", service.name(), latency).toStdString());
    }
    return in || out;
}

QString TfrmMain::StatusText(const char* backend, double latencyMs, const wave::WaveCounters& counters,
                             bool effectOn, bool switchless)
{
    const QString latency =
        latencyMs < 0 ? QStringLiteral("latency not known") : QString::asprintf("latency %.1f ms", latencyMs);
    const char* effect = switchless ? (effectOn ? "\nSwitchless: on, " : "\nSwitchless: off, ")
                                    : (effectOn ? "\n" : "\nEffect off, ");
    return QString::asprintf("%s, ", backend) + latency + effect +
           QString::asprintf("%llu underruns, %llu overruns", static_cast<unsigned long long>(counters.underruns),
                             static_cast<unsigned long long>(counters.overruns));
}

void TfrmMain::setSaveDialog(std::unique_ptr<SaveDialog> dialog)
{
    SaveDialog1 = std::move(dialog);
}

namespace {

// The folder part of a path without its final separator; the root keeps it.
std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// From the last "." after the last "/", that dot included; empty when there is none.
std::string ExtensionOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return path.substr(dot);
}

} // namespace

void TfrmMain::Button2Click()
{
    const std::string initialDir = Settings.LastPATH;
    for (int n = 1; n <= kMaxProposal; ++n) {
        const std::string name = "Vobblix-" + std::to_string(n) + kWavExtension;
        std::error_code ec;
        // A folder of that name does not count.
        if (!std::filesystem::is_regular_file(Settings.LastPATH + "/" + name, ec)) {
            dialogFileName_ = name;
            break;
        }
    }
    const auto chosen = SaveDialog1->Execute(initialDir, dialogFileName_);
    if (!chosen)
        return;
    dialogFileName_ = *chosen;
    std::string fileName = *chosen;
    if (ExtensionOf(fileName) != kWavExtension) {
        fileName += kWavExtension;
        // The dialog asked about the name it returned, not about this one.
        std::error_code ec;
        if (std::filesystem::exists(fileName, ec) && !SaveDialog1->ConfirmOverwrite(fileName))
            return;
    }
    // Only a choice the user went through with moves the proposed folder.
    Settings.LastPATH = FolderOf(*chosen);
    Settings.RecordFileName = fileName;
    Button2->setEnabled(false);
    Button3->setEnabled(true);
    try {
        StartRecordFile();
    } catch (const report::FrameworkError& e) {
        // Nothing was created: back to idle at once, so nothing waits on a missing file.
        Button2->setEnabled(true);
        Button3->setEnabled(false);
        report::Unhandled(e.what());
        return;
    }
    Settings.Recording = true;
}

void TfrmMain::Button3Click()
{
    Settings.Recording = false;
    RecordBlock(nullptr, 0, true);
    ReturnToIdle();
}

void TfrmMain::ReturnToIdle()
{
    Settings.Recording = false;
    Button2->setEnabled(true);
    lblrectime->setText("");
    CloseRecordFile();
    Button3->setEnabled(false);
    recorder::EndedByItself = recorder::Ended::No;
}
