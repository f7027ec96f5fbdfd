#include "ui/Settings.h"

#include "audio/Waves.h"
#include "platform/wave/Wave.h"
#include "config/Settings.h"
#include "pedal/Pedal.h"
#include "platform/report/Report.h"
#include "ui/DeviceChoices.h"
#include "ui/JoySettings.h"
#include "ui/Main.h"
#include "ui/Program.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

#include <charconv>

TfrmSettings* frmSettings = nullptr;

namespace {

constexpr int kWidth = 282;
constexpr int kHeight = 369;
constexpr int kFontPoints = 8;
constexpr int kMargin = 4;
constexpr int kSpacing = 2;
constexpr const char* kSystemDefault = "System default";
constexpr const char* kRestart = "You need to restart the application for the new settings to take effect.";

QRadioButton* Radio(const char* text, QButtonGroup* group, QLayout* layout)
{
    auto* r = new QRadioButton(text);
    group->addButton(r);
    layout->addWidget(r);
    return r;
}

} // namespace

TfrmSettings::TfrmSettings()
{
    setWindowTitle("Vobblix Settings");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    // The window is small; the designed 8-point font keeps every caption whole.
    setFont(QFont("MS Sans Serif", kFontPoints));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(kSpacing);
    GroupBox1 = new QGroupBox("Input Device");
    auto* g1 = new QVBoxLayout(GroupBox1);
    g1->setSpacing(kSpacing);
    auto* source = new QButtonGroup(this);
    rbMouse = Radio("I'm using my mouse", source, g1);
    rbPedal = Radio("I'm using my pc wheel pedal joystick", source, g1);
    rbMidi = Radio("I'm using a MIDI expression pedal", source, g1);
    rbMouse->setChecked(true);
    btnSetupPedal = new QPushButton("Setup my pedal");
    g1->addWidget(btnSetupPedal, 0, Qt::AlignLeft);
    column->addWidget(GroupBox1);

    GroupBox2 = new QGroupBox("Performance");
    auto* g2 = new QGridLayout(GroupBox2);
    g2->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    GroupBox3 = new QGroupBox("Sound Quality");
    auto* g3 = new QVBoxLayout(GroupBox3);
    g3->setSpacing(kSpacing);
    auto* rates = new QButtonGroup(this);
    rb44100 = Radio("44100 Hz", rates, g3);
    rb22050 = Radio("22050 Hz", rates, g3);
    rb11025 = Radio("11025 Hz", rates, g3);
    rb44100->setChecked(true);
    GroupBox4 = new QGroupBox("Application's Priority");
    auto* g4 = new QVBoxLayout(GroupBox4);
    g4->setSpacing(kSpacing);
    auto* priorities = new QButtonGroup(this);
    rbnormal = Radio("Normal", priorities, g4);
    rbhigh = Radio("High", priorities, g4);
    rbrealtime = Radio("Realtime", priorities, g4);
    g2->addWidget(GroupBox3, 0, 0);
    g2->addWidget(GroupBox4, 0, 1);

    Label3 = new QLabel("Buffer Size:");
    edtBufferSize = new QLineEdit("500");
    Label5 = new QLabel("Bytes.");
    btnSetBS = new QPushButton("Set");
    auto* size = new QHBoxLayout;
    size->addWidget(Label3);
    size->addWidget(edtBufferSize);
    size->addWidget(Label5);
    size->addWidget(btnSetBS);
    g2->addLayout(size, 1, 0, 1, 2);
    Label4 = new QLabel("Theoretical Latency:");
    lblTL = new QLabel;
    auto* latency = new QHBoxLayout;
    latency->addWidget(Label4);
    latency->addWidget(lblTL, 1);
    g2->addLayout(latency, 2, 0, 1, 2);
    Label7 = new QLabel("Note: If you are experiencing sound problems, try to lower the sound quality and increase "
                        "the buffer size.");
    Label7->setWordWrap(true);
    g2->addWidget(Label7, 3, 0, 1, 2);
    column->addWidget(GroupBox2);

    GroupBoxDevices = new QGroupBox("Sound Devices");
    auto* devices = new QGridLayout(GroupBoxDevices);
    devices->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    devices->setVerticalSpacing(kSpacing);
    cbInputDevice = new QComboBox;
    cbOutputDevice = new QComboBox;
    for (QComboBox* box : {cbInputDevice, cbOutputDevice}) {
        // Long device names are cut in the box, shown whole in its list.
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(1);
    }
    devices->addWidget(new QLabel("Input:"), 0, 0);
    devices->addWidget(cbInputDevice, 0, 1);
    devices->addWidget(new QLabel("Output:"), 1, 0);
    devices->addWidget(cbOutputDevice, 1, 1);
    devices->setColumnStretch(1, 1);
    column->addWidget(GroupBoxDevices);

    btnOK = new QPushButton("OK");
    btnCancel = new QPushButton("Cancel");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnOK);
    buttons->addStretch();
    buttons->addWidget(btnCancel);
    column->addLayout(buttons);

    connect(rbMouse, &QRadioButton::clicked, this, &TfrmSettings::rbMouseClick);
    connect(rbPedal, &QRadioButton::clicked, this, &TfrmSettings::rbPedalClick);
    connect(rbMidi, &QRadioButton::clicked, this, &TfrmSettings::rbMidiClick);
    connect(btnSetupPedal, &QPushButton::clicked, this, &TfrmSettings::btnSetupPedalClick);
    for (QRadioButton* r : {rb44100, rb22050, rb11025})
        connect(r, &QRadioButton::clicked, this, &TfrmSettings::UpdateLatency);
    connect(btnSetBS, &QPushButton::clicked, this, &TfrmSettings::btnSetBSClick);
    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmSettings::btnCancelClick);

    UpdateLatency();
    // The devices and the third source come on top of the window's designed height, and
    // nothing more.
    setFixedSize(kWidth, kHeight + GroupBoxDevices->sizeHint().height() + rbMidi->sizeHint().height() + 2 * kSpacing);
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    frmSettings = this;
}

void TfrmSettings::Spawn()
{
    // The MIDI pedal stays the choice through a run in which the mouse stood in for it.
    const bool mouse = Settings.UsingMouse && !Settings.MidiPedal;
    (Settings.MidiPedal ? rbMidi : mouse ? rbMouse : rbPedal)->setChecked(true);
    btnSetupPedal->setEnabled(!mouse);
    switch (Settings.SampleRate) {
    case 11025: rb11025->setChecked(true); break;
    case 22050: rb22050->setChecked(true); break;
    case 44100: rb44100->setChecked(true); break;
    default: break;
    }
    switch (Settings.Priority) {
    case 0: rbnormal->setChecked(true); break;
    case 1: rbhigh->setChecked(true); break;
    case 2: rbrealtime->setChecked(true); break;
    default: break;
    }
    edtBufferSize->setText(QString::number(Settings.memBlockLength.load()));
    UpdateLatency();
    FillDevices(cbInputDevice, true, Settings.InputDevice);
    FillDevices(cbOutputDevice, false, Settings.OutputDevice);
    show();
    raise();
}

void TfrmSettings::FillDevices(QComboBox* box, bool capture, const std::string& chosen)
{
    FillChoices(box, kSystemDefault, QString(), service_ ? service_->devices(capture) : std::vector<wave::DeviceChoice>(),
                chosen);
}

void TfrmSettings::rbMouseClick()
{
    btnSetupPedal->setEnabled(false);
}

void TfrmSettings::rbPedalClick()
{
    btnSetupPedal->setEnabled(true);
}

void TfrmSettings::rbMidiClick()
{
    btnSetupPedal->setEnabled(true);
}

void TfrmSettings::btnSetBSClick()
{
    UpdateLatency();
}

void TfrmSettings::btnSetupPedalClick()
{
    if (frmJoySetup)
        frmJoySetup->Spawn();
}

std::optional<int32_t> TfrmSettings::ParsedBufferSize() const
{
    const std::string text = edtBufferSize->text().toStdString();
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    int32_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end || begin == end)
        return std::nullopt;
    return value;
}

uint32_t TfrmSettings::CheckedRate() const
{
    if (rb22050->isChecked())
        return 22050;
    if (rb11025->isChecked())
        return 11025;
    return 44100;
}

void TfrmSettings::UpdateLatency()
{
    const auto size = ParsedBufferSize();
    if (!size) {
        edtBufferSize->clear();
        return;
    }
    if (const std::string problem = settings::BlockLengthProblem(*size, CheckedRate()); !problem.empty()) {
        report::Error(problem);
        return;
    }
    const double ms = double(*size) / (double(CheckedRate()) * 2.0) * 1000.0;
    lblTL->setText(QString::asprintf("%.2f ms", ms));
}

void TfrmSettings::FocusBufferSize()
{
    edtBufferSize->setFocus();
    edtBufferSize->selectAll();
}

void TfrmSettings::btnOKClick()
{
    // Every field is read and checked before anything changes: a typo leaves the sound, a
    // running take and this window as they were, with the field to mend in focus.
    const auto size = ParsedBufferSize();
    if (!size) {
        // Appended piece by piece: gcc 12 at -O3 warns falsely (restrict) on a literal + string.
        std::string text(1, '\'');
        text.append(edtBufferSize->text().toStdString()).append("' is not a valid integer value");
        report::Unhandled(text);
        FocusBufferSize();
        return;
    }
    StartChoices chosen = CurrentStartChoices();
    chosen.SampleRate = CheckedRate();
    if (const std::string problem = settings::BlockLengthProblem(*size, chosen.SampleRate); !problem.empty()) {
        report::Error(problem);
        FocusBufferSize();
        return;
    }
    chosen.memBlockLength = static_cast<uint32_t>(*size);
    chosen.UsingMouse = rbMouse->isChecked();
    chosen.MidiPedal = rbMidi->isChecked();
    if (rbnormal->isChecked())
        chosen.Priority = 0;
    else if (rbhigh->isChecked())
        chosen.Priority = 1;
    else if (rbrealtime->isChecked())
        chosen.Priority = 2;
    chosen.InputDevice = cbInputDevice->currentData().toString().toStdString();
    chosen.OutputDevice = cbOutputDevice->currentData().toString().toStdString();
    // Saved while the sound still plays with the values it opened with. A save that failed is
    // not followed by a stop or a restart that would lose what was typed: the sound and a take
    // go on, and the window stays, so the user can fix the disk and press OK again.
    if (!frmMain->SaveSettings(AfterFailedOpen::Stay, &chosen))
        return;
    // The stop finishes a running take, as the close does; only then does the record take
    // the new values, which the next start uses.
    frmMain->StopSequence();
    ApplyStartChoices(chosen);
    report::Information(kRestart);
    report::RequestTermination();
    hide();
}

void TfrmSettings::btnCancelClick()
{
    hide();
}

void TfrmSettings::closeEvent(QCloseEvent* event)
{
    btnCancelClick();
    event->accept();
}
