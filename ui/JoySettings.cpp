#include "ui/JoySettings.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "pedal/Pedal.h"
#include "platform/wave/Wave.h"
#include "ui/DeviceChoices.h"
#include "ui/Main.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>

TfrmJoySetup* frmJoySetup = nullptr;

namespace {

constexpr int kWidth = 289;
// The designed 273 pixels and the footswitch's group below the axis; the MIDI group then goes
// where the designed window put its buttons, and the window grows by its height.
constexpr int kFootswitchRoom = 64;
constexpr int kHeight = 273 + kFootswitchRoom;
constexpr int kMidiTop = 240 + kFootswitchRoom;
constexpr int kGap = 7;
constexpr int kButtonsHeight = 25;
constexpr int kMargin = 8;
constexpr int kGroupWidth = 273;
constexpr int kMaxButton = int(settings::kLargestFootswitchButton);
constexpr const char* kLearn = "Learn";
constexpr const char* kLearning = "Press a button...";
constexpr const char* kLearnNeedsPedal =
    "Learn reads the pedal's joystick, which is open while the pedal drives the depth.";
constexpr int kLeft = 380;
constexpr int kTop = 182;
constexpr int kFontPoints = 8;
// What MIDI Learn caught is looked for this often, only while it listens.
constexpr int kLearnPollMs = 50;
constexpr const char* kListening = "Move it";
constexpr const char* kNeedsServer = "A MIDI pedal needs PipeWire or JACK.";
constexpr const char* kCalibrate = "Calibrate";
constexpr const char* kCalibrating = "Done";
constexpr const char* kCalibrateTip = "Press, rock the pedal heel to toe a few times, press again: the lowest "
                                      "and highest readings become the pedal's ends";
constexpr const char* kCalibrateNeedsPedal =
    "Calibrate reads the pedal that drives the depth, which must be open (a MIDI pedal needs PipeWire or JACK).";
// The live readout looks this often, only while the window is open.
constexpr int kReadingMs = 50;
constexpr int kLearnTap = int(midi::LearnFor::Tap);
// A MIDI pedal's readings and calibrated ends are 7-bit steps.
constexpr uint32_t kLargestMidiStep = uint32_t(midi::kLargestNumber);

// Places a control at its designed spot; a caption longer than the designed width on this
// system's font widens it, within its parent, rather than being cut.
template <typename W>
W* Place(W* w, QWidget* parent, int left, int top, int width, int height)
{
    w->setParent(parent);
    const int room = parent->width() - left - 4;
    w->setGeometry(left, top, std::max(width, std::min(w->sizeHint().width(), room)), height);
    return w;
}

// "Any", then the channels 1 to 16: the index is the stored value.
QComboBox* ChannelBox()
{
    auto* box = new QComboBox;
    box->addItem("Any");
    for (int c = 1; c <= midi::kChannels; ++c)
        box->addItem(QString::number(c));
    return box;
}

QSpinBox* NumberBox()
{
    auto* box = new QSpinBox;
    box->setRange(0, midi::kLargestNumber);
    return box;
}

} // namespace

TfrmJoySetup::TfrmJoySetup()
{
    setWindowTitle("Joystick Setup");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    QFont font("MS Sans Serif", kFontPoints);
    setFont(font);
    resize(kWidth, kHeight);
    setBackgroundRole(QPalette::Window);
    setAutoFillBackground(true);

    GroupBox2 = new QGroupBox("Pedal Device", this);
    GroupBox2->setGeometry(8, 8, 273, 81);
    auto* ports = new QButtonGroup(this);
    rbPort0 = Place(new QRadioButton("Use joystick on port 0 (Default)"), GroupBox2, 16, 24, 169, 17);
    rbPort1 = Place(new QRadioButton("Use joystick on port 1"), GroupBox2, 16, 48, 161, 17);
    ports->addButton(rbPort0);
    ports->addButton(rbPort1);
    rbPort0->setChecked(true);

    GroupBox1 = new QGroupBox("Axis", this);
    GroupBox1->setGeometry(8, 96, 273, 137);
    auto* axes = new QButtonGroup(this);
    rbX = Place(new QRadioButton("Use X Axis (Usually the steering)"), GroupBox1, 16, 24, 177, 17);
    rbY = Place(new QRadioButton("Use Y Axis (Usually the accelerator pedal)"), GroupBox1, 16, 48, 249, 17);
    rbZ = Place(new QRadioButton("Use Z Axis (Usually the brake pedal)"), GroupBox1, 16, 72, 217, 17);
    for (QRadioButton* r : {rbX, rbY, rbZ})
        axes->addButton(r);
    rbY->setChecked(true);
    cbInvertPedal = Place(new QCheckBox("Invert my pedal (Up-Down becomes Down-Up)"), GroupBox1, 16, 104, 241, 17);

    GroupBox3 = new QGroupBox("Footswitch (switches the effect on and off)", this);
    GroupBox3->setGeometry(8, 240, 273, 57);
    edtFootswitch = new QSpinBox;
    edtFootswitch->setRange(0, kMaxButton);
    edtFootswitch->setPrefix("Button ");
    edtFootswitch->setSpecialValueText("None");
    Place(edtFootswitch, GroupBox3, 16, 24, 121, 21);
    btnLearn = Place(new QPushButton(kLearn), GroupBox3, 152, 22, 105, 25);
    btnLearn->setAutoDefault(false);

    GroupBoxMidi = new QGroupBox("MIDI Pedal", this);
    auto* m = new QGridLayout(GroupBoxMidi);
    lblMidiNeedsServer = new QLabel(kNeedsServer);
    lblMidiNeedsServer->setWordWrap(true);
    lblMidiNeedsServer->hide();
    m->addWidget(lblMidiNeedsServer, 0, 0, 1, 4);
    cbMidiSource = new QComboBox;
    cbMidiSource->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbMidiSource->setMinimumContentsLength(1);
    m->addWidget(new QLabel("Source:"), 1, 0);
    m->addWidget(cbMidiSource, 1, 1, 1, 3);
    cbMidiChannel = ChannelBox();
    m->addWidget(new QLabel("Channel:"), 2, 0);
    m->addWidget(cbMidiChannel, 2, 1);
    auto* resolution = new QButtonGroup(this);
    rbMidi7Bit = new QRadioButton("7-bit");
    rbMidi14Bit = new QRadioButton("14-bit");
    resolution->addButton(rbMidi7Bit);
    resolution->addButton(rbMidi14Bit);
    rbMidi7Bit->setChecked(true);
    m->addWidget(rbMidi7Bit, 2, 2);
    m->addWidget(rbMidi14Bit, 2, 3);
    edtMidiController = NumberBox();
    btnLearnController = new QPushButton(kLearn);
    m->addWidget(new QLabel("Controller:"), 3, 0);
    m->addWidget(edtMidiController, 3, 1);
    m->addWidget(btnLearnController, 3, 2, 1, 2);
    cbFootswitch = new QComboBox;
    cbFootswitch->addItems({"None", "Controller", "Note"});
    edtFootswitchNumber = NumberBox();
    btnLearnFootswitch = new QPushButton(kLearn);
    m->addWidget(new QLabel("Switch:"), 4, 0);
    m->addWidget(cbFootswitch, 4, 1);
    m->addWidget(edtFootswitchNumber, 4, 2);
    m->addWidget(btnLearnFootswitch, 4, 3);
    cbFootswitchChannel = ChannelBox();
    m->addWidget(new QLabel("Switch ch.:"), 5, 0);
    m->addWidget(cbFootswitchChannel, 5, 1);
    m->setColumnStretch(1, 1);
    // Only controllers 0-31 have a fine part to make 14 bits with.
    connect(edtMidiController, &QSpinBox::valueChanged, this,
            [this](int n) { rbMidi14Bit->setEnabled(n < midi::kFinePartOffset && edtMidiController->isEnabled()); });
    connect(btnLearnController, &QPushButton::clicked, this, &TfrmJoySetup::btnLearnControllerClick);
    connect(btnLearnFootswitch, &QPushButton::clicked, this, &TfrmJoySetup::btnLearnFootswitchClick);
    learnTimer_ = new QTimer(this);
    connect(learnTimer_, &QTimer::timeout, this, &TfrmJoySetup::PickUpLearned);

    GroupBoxResponse = new QGroupBox("Pedal response and tap tempo", this);
    auto* r = new QGridLayout(GroupBoxResponse);
    btnCalibrate = new QPushButton(kCalibrate);
    btnCalibrate->setAutoDefault(false);
    btnCalibrate->setToolTip(kCalibrateTip);
    lblEnds = new QLabel;
    r->addWidget(btnCalibrate, 0, 0);
    r->addWidget(lblEnds, 0, 1, 1, 2);
    cbCurve = new QComboBox;
    cbCurve->addItem("Linear", QString(settings::kPedalCurves[0]));
    cbCurve->addItem("Log (more sweep early in the throw)", QString(settings::kPedalCurves[1]));
    cbCurve->addItem("Exp (more sweep late in the throw)", QString(settings::kPedalCurves[2]));
    cbCurve->setToolTip("The pedal's taper: how its throw spreads over the sweep");
    auto* curveLabel = new QLabel("C&urve:");
    curveLabel->setBuddy(cbCurve);
    r->addWidget(curveLabel, 1, 0);
    r->addWidget(cbCurve, 1, 1, 1, 2);
    lblReading = new QLabel;
    lblReading->setToolTip("What the pedal sends now, and the depth the choices above make of it");
    r->addWidget(lblReading, 2, 0, 1, 3);
    cbSwitchless = new QCheckBox("S&witchless");
    cbSwitchless->setToolTip("Rocking the pedal off its heel switches the effect on; resting at the heel "
                             "for the time given switches it off");
    edtSwitchlessMs = new QSpinBox;
    edtSwitchlessMs->setRange(int(settings::kSwitchlessRange.lowest), int(settings::kSwitchlessRange.largest));
    edtSwitchlessMs->setSuffix(" ms");
    edtSwitchlessMs->setSingleStep(50);
    edtSwitchlessMs->setToolTip("How long the pedal rests at the heel before the effect switches off");
    r->addWidget(cbSwitchless, 3, 0);
    r->addWidget(edtSwitchlessMs, 3, 1);
    edtTapButton = new QSpinBox;
    edtTapButton->setRange(0, kMaxButton);
    edtTapButton->setPrefix("Button ");
    edtTapButton->setSpecialValueText("None");
    edtTapButton->setToolTip("The joystick button that taps the LFO's tempo");
    btnLearnTap = new QPushButton(kLearn);
    btnLearnTap->setAutoDefault(false);
    btnLearnTap->setToolTip("Press, then the joystick button that should tap");
    auto* tapLabel = new QLabel("&Tap:");
    tapLabel->setBuddy(edtTapButton);
    r->addWidget(tapLabel, 4, 0);
    r->addWidget(edtTapButton, 4, 1);
    r->addWidget(btnLearnTap, 4, 2);
    lblTapMidi = new QLabel;
    btnLearnTapMidi = new QPushButton(kLearn);
    btnLearnTapMidi->setAutoDefault(false);
    btnLearnTapMidi->setToolTip("Press, then the MIDI note or controller that should tap; press twice for none");
    r->addWidget(new QLabel("Tap MIDI:"), 5, 0);
    r->addWidget(lblTapMidi, 5, 1);
    r->addWidget(btnLearnTapMidi, 5, 2);
    r->setColumnStretch(1, 1);
    connect(btnCalibrate, &QPushButton::clicked, this, &TfrmJoySetup::btnCalibrateClick);
    connect(btnLearnTap, &QPushButton::clicked, this, &TfrmJoySetup::btnLearnTapClick);
    connect(btnLearnTapMidi, &QPushButton::clicked, this, &TfrmJoySetup::btnLearnTapMidiClick);
    connect(cbCurve, &QComboBox::currentIndexChanged, this, &TfrmJoySetup::ShowReading);
    connect(cbInvertPedal, &QCheckBox::toggled, this, &TfrmJoySetup::ShowReading);
    readingTimer_ = new QTimer(this);
    connect(readingTimer_, &QTimer::timeout, this, &TfrmJoySetup::ShowReading);

    btnOK = new QPushButton("OK", this);
    btnCancel = new QPushButton("Cancel", this);
    // Neither button answers Enter or Escape.
    btnOK->setAutoDefault(false);
    btnCancel->setAutoDefault(false);

    setTabOrder(btnOK, btnCancel);
    setTabOrder(rbX, rbY);
    setTabOrder(rbY, rbZ);
    setTabOrder(rbZ, cbInvertPedal);
    setTabOrder(rbPort0, rbPort1);
    setTabOrder(edtFootswitch, btnLearn);

    connect(btnOK, &QPushButton::clicked, this, &TfrmJoySetup::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmJoySetup::btnCancelClick);
    connect(btnLearn, &QPushButton::clicked, this, &TfrmJoySetup::btnLearnClick);
    FitMidiGroup();
    move(kLeft, kTop);
    frmJoySetup = this;
}

void TfrmJoySetup::FitMidiGroup()
{
    const int height = GroupBoxMidi->sizeHint().height();
    GroupBoxMidi->setGeometry(kMargin, kMidiTop, kGroupWidth, height);
    const int responseTop = kMidiTop + height + kGap;
    const int responseHeight = GroupBoxResponse->sizeHint().height();
    GroupBoxResponse->setGeometry(kMargin, responseTop, kGroupWidth, responseHeight);
    const int buttons = responseTop + responseHeight + kGap;
    btnOK->setGeometry(208, buttons, 75, kButtonsHeight);
    btnCancel->setGeometry(8, buttons, 75, kButtonsHeight);
    setFixedSize(kWidth, buttons + kButtonsHeight + kMargin);
}

void TfrmJoySetup::setService(wave::WaveService* service)
{
    service_ = service;
    const bool hasMidi = service_ && service_->midiPort();
    lblMidiNeedsServer->setVisible(!hasMidi);
    for (QWidget* w : GroupBoxMidi->findChildren<QWidget*>())
        if (w != lblMidiNeedsServer)
            w->setEnabled(hasMidi);
    rbMidi14Bit->setEnabled(hasMidi && edtMidiController->value() < midi::kFinePartOffset);
    btnLearnTapMidi->setEnabled(hasMidi);
    FitMidiGroup();
}

void TfrmJoySetup::FillMidiSources(const std::string& chosen)
{
    std::vector<wave::DeviceChoice> sources;
    for (const midi::Source& s : midi::MidiInput.sources())
        sources.push_back({s.id, s.description});
    FillChoices(cbMidiSource, midi::kAllSources, midi::kAllSources, sources, chosen);
}

void TfrmJoySetup::btnLearnControllerClick()
{
    StartLearning(int(midi::LearnFor::Pedal), btnLearnController);
}

void TfrmJoySetup::btnLearnFootswitchClick()
{
    StartLearning(int(midi::LearnFor::Footswitch), btnLearnFootswitch);
}

void TfrmJoySetup::StartLearning(int what, QPushButton* button)
{
    StopLearning();
    learningFor_ = what;
    button->setText(kListening);
    midi::MidiInput.learn(midi::LearnFor(what));
    learnTimer_->start(kLearnPollMs);
}

void TfrmJoySetup::StopLearning()
{
    StopLearningFootswitch();
    btnLearn->setText(kLearn);
    learnTimer_->stop();
    if (learningFor_ != int(midi::LearnFor::Nothing))
        midi::MidiInput.learn(midi::LearnFor::Nothing);
    learningFor_ = int(midi::LearnFor::Nothing);
    btnLearnController->setText(kLearn);
    btnLearnFootswitch->setText(kLearn);
    btnLearnTap->setText(kLearn);
    btnLearnTapMidi->setText(kLearn);
}

void TfrmJoySetup::PickUpLearned()
{
    const auto caught = midi::MidiInput.takeCaught();
    if (!caught)
        return;
    if (learningFor_ == int(midi::LearnFor::Pedal)) {
        cbMidiChannel->setCurrentIndex(caught->channel);
        edtMidiController->setValue(caught->number);
    } else if (learningFor_ == int(midi::LearnFor::Footswitch)) {
        cbFootswitch->setCurrentIndex(int(caught->kind));
        edtFootswitchNumber->setValue(caught->number);
        cbFootswitchChannel->setCurrentIndex(caught->channel);
    } else if (learningFor_ == kLearnTap) {
        settings::MidiTrigger trigger;
        trigger.kind = caught->kind == midi::SwitchKind::Note ? settings::MidiTrigger::Kind::Note
                                                              : settings::MidiTrigger::Kind::Controller;
        trigger.channel = uint32_t(caught->channel);
        trigger.number = uint32_t(caught->number);
        tapMidi_ = settings::MidiTriggerText(trigger);
        lblTapMidi->setText(QString::fromStdString(tapMidi_));
    }
    StopLearning();
}

void TfrmJoySetup::Spawn()
{
    switch (Settings.PedalDevice) {
    case 0: rbPort0->setChecked(true); break;
    case 1: rbPort1->setChecked(true); break;
    default: break;
    }
    switch (Settings.PedalAxis) {
    case 0: rbX->setChecked(true); break;
    case 1: rbY->setChecked(true); break;
    case 2: rbZ->setChecked(true); break;
    default: break;
    }
    cbInvertPedal->setChecked(Settings.InvertPedal);
    StopLearning();
    FillMidiSources(Settings.MidiSource);
    cbMidiChannel->setCurrentIndex(Settings.MidiChannel);
    edtMidiController->setValue(Settings.MidiController);
    (Settings.Midi14Bit ? rbMidi14Bit : rbMidi7Bit)->setChecked(true);
    cbFootswitch->setCurrentIndex(Settings.MidiFootswitch);
    edtFootswitchNumber->setValue(Settings.MidiFootswitchNumber);
    cbFootswitchChannel->setCurrentIndex(Settings.MidiFootswitchChannel);
    edtFootswitch->setValue(int(std::min<uint32_t>(Settings.FootswitchButton, kMaxButton)));
    // The buttons reach the program only through the captured joystick.
    btnLearn->setEnabled(PedalCaptured());
    btnLearn->setToolTip(PedalCaptured() ? QString() : kLearnNeedsPedal);
    StopPedalCalibration();
    btnCalibrate->setText(kCalibrate);
    // Calibrated is the pedal that drives the depth: the MIDI one, or else the game pedal.
    midiSource_ = Settings.MidiPedal;
    const bool open = midiSource_ ? service_ && service_->midiPort() : PedalCaptured();
    btnCalibrate->setEnabled(open);
    btnCalibrate->setToolTip(open ? kCalibrateTip : kCalibrateNeedsPedal);
    endLow_ = midiSource_ ? Settings.MidiMin : Settings.PedalCalMin;
    endHigh_ = midiSource_ ? Settings.MidiMax : Settings.PedalCalMax;
    ShowEnds();
    const int curve = cbCurve->findData(QString::fromStdString(Settings.PedalCurve));
    cbCurve->setCurrentIndex(curve >= 0 ? curve : 0);
    cbSwitchless->setChecked(Settings.Switchless);
    edtSwitchlessMs->setValue(int(Settings.SwitchlessMs));
    edtTapButton->setValue(int(std::min<uint32_t>(Settings.TapButton, kMaxButton)));
    tapMidi_ = Settings.TapMidi;
    lblTapMidi->setText(tapMidi_.empty() ? QString("None") : QString::fromStdString(tapMidi_));
    ShowReading();
    readingTimer_->start(kReadingMs);
    show();
    raise();
    activateWindow();
}

void TfrmJoySetup::btnOKClick()
{
    if (rbPort0->isChecked())
        Settings.PedalDevice = 0;
    else if (rbPort1->isChecked())
        Settings.PedalDevice = 1;
    if (rbX->isChecked())
        Settings.PedalAxis = 0;
    else if (rbY->isChecked())
        Settings.PedalAxis = 1;
    else if (rbZ->isChecked())
        Settings.PedalAxis = 2;
    Settings.InvertPedal = cbInvertPedal->isChecked();
    StopLearning();
    Settings.FootswitchButton = uint32_t(edtFootswitch->value());
    Settings.MidiSource = cbMidiSource->currentData().toString().toStdString();
    Settings.MidiChannel = cbMidiChannel->currentIndex();
    Settings.MidiController = edtMidiController->value();
    Settings.Midi14Bit = rbMidi14Bit->isChecked() && rbMidi14Bit->isEnabled();
    Settings.MidiFootswitch = cbFootswitch->currentIndex();
    Settings.MidiFootswitchNumber = edtFootswitchNumber->value();
    Settings.MidiFootswitchChannel = cbFootswitchChannel->currentIndex();
    // A calibration still collecting counts as finished.
    if (btnCalibrate->text() == kCalibrating)
        btnCalibrateClick();
    (midiSource_ ? Settings.MidiMin : Settings.PedalCalMin) = endLow_;
    (midiSource_ ? Settings.MidiMax : Settings.PedalCalMax) = endHigh_;
    Settings.PedalCurve = cbCurve->currentData().toString().toStdString();
    Settings.Switchless = cbSwitchless->isChecked();
    Settings.SwitchlessMs = uint32_t(edtSwitchlessMs->value());
    Settings.TapButton = uint32_t(edtTapButton->value());
    Settings.TapMidi = tapMidi_;
    fx::ApplySweepSettings();
    readingTimer_->stop();
    // The pedal listens the new way from its next message, and to the new source at once.
    midi::MidiInput.configure(MidiConfigFromSettings());
    LinkMidiSource();
    if (frmMain)
        frmMain->SaveSettings();
    hide();
}

void TfrmJoySetup::btnCancelClick()
{
    StopLearning();
    StopPedalCalibration();
    readingTimer_->stop();
    hide();
}

void TfrmJoySetup::btnCalibrateClick()
{
    if (btnCalibrate->text() != kCalibrating) {
        midiCalibration_.Reset();
        if (!midiSource_)
            StartPedalCalibration();
        btnCalibrate->setText(kCalibrating);
        return;
    }
    StopPedalCalibration();
    btnCalibrate->setText(kCalibrate);
    // A pedal that never moved keeps the ends it had.
    const pedal::Calibration& seen = Collected();
    if (seen.Usable()) {
        endLow_ = seen.Lowest();
        endHigh_ = seen.Highest();
    }
    ShowEnds();
    ShowReading();
}

const pedal::Calibration& TfrmJoySetup::Collected() const
{
    return midiSource_ ? midiCalibration_ : PedalCalibration();
}

void TfrmJoySetup::ShowEnds()
{
    lblEnds->setText(endHigh_ > endLow_ ? QString("Ends %1 to %2").arg(endLow_).arg(endHigh_)
                                        : QString("Ends: the device's own"));
}

void TfrmJoySetup::ShowReading()
{
    uint32_t reading = 0;
    bool seen = false;
    if (midiSource_) {
        const int32_t midiReading = midi::MidiInput.reading();
        seen = midiReading >= 0;
        reading = uint32_t(std::max(midiReading, 0));
        // The MIDI pedal is read on the audio thread: its ends are collected here, at the
        // readout's pace, which a pedal held at heel and toe for a moment cannot slip past.
        if (seen && btnCalibrate->text() == kCalibrating)
            midiCalibration_.Add(reading);
    } else {
        seen = LatestPedalReading(&reading);
    }
    if (!seen) {
        lblReading->setText(btnCalibrate->isEnabled() ? "Move the pedal to see its reading" : "No pedal open");
        return;
    }
    pedal::PedalMapping mapping;
    mapping.lowest = endLow_;
    mapping.highest = endHigh_;
    // While collecting, the ends as far as they go.
    if (btnCalibrate->text() == kCalibrating && Collected().Usable()) {
        mapping.lowest = Collected().Lowest();
        mapping.highest = Collected().Highest();
    }
    mapping.curve = pedal::PedalCurve(std::max(0, cbCurve->currentIndex()));
    mapping.invert = cbInvertPedal->isChecked();
    QString text = QString("Reads %1").arg(reading);
    const uint32_t deviceMin = midiSource_ ? 0 : Settings.PedalMin;
    const uint32_t deviceMax = midiSource_ ? kLargestMidiStep : Settings.PedalMax;
    if (deviceMax != 0)
        text += QString::asprintf(": depth %.2f", mapping.Map(reading, deviceMin, deviceMax).depth);
    lblReading->setText(text);
}

void TfrmJoySetup::btnLearnTapClick()
{
    LearnButtonInto(btnLearnTap, edtTapButton);
}

void TfrmJoySetup::btnLearnTapMidiClick()
{
    // A second press while listening clears the trigger.
    if (learningFor_ == kLearnTap) {
        StopLearning();
        tapMidi_.clear();
        lblTapMidi->setText("None");
        return;
    }
    StartLearning(kLearnTap, btnLearnTapMidi);
}

void TfrmJoySetup::btnLearnClick()
{
    LearnButtonInto(btnLearn, edtFootswitch);
}

void TfrmJoySetup::LearnButtonInto(QPushButton* learn, QSpinBox* number)
{
    // A second press stops waiting; a press while another Learn listens takes over from it.
    const bool waiting = LearningFootswitch();
    StopLearning();
    if (waiting)
        return;
    learn->setText(kLearning);
    LearnFootswitch([learn, number](int32_t button) {
        number->setValue(std::min(button, kMaxButton));
        learn->setText(kLearn);
    });
}

void TfrmJoySetup::closeEvent(QCloseEvent* event)
{
    btnCancelClick();
    event->accept();
}
