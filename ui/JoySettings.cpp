#include "ui/JoySettings.h"

#include "config/Settings.h"
#include "pedal/Pedal.h"
#include "ui/Main.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

TfrmJoySetup* frmJoySetup = nullptr;

namespace {

constexpr int kWidth = 289;
// The designed 273 pixels and the footswitch's group below the axis.
constexpr int kFootswitchRoom = 64;
constexpr int kHeight = 273 + kFootswitchRoom;
constexpr int kButtonsTop = 240 + kFootswitchRoom;
constexpr int kMaxButton = 64;
constexpr const char* kLearn = "Learn";
constexpr const char* kLearning = "Press a button...";
constexpr const char* kLearnNeedsPedal =
    "Learn reads the pedal's joystick, which is open while the pedal drives the depth.";
constexpr int kLeft = 380;
constexpr int kTop = 182;
constexpr int kFontPoints = 8;

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

} // namespace

TfrmJoySetup::TfrmJoySetup()
{
    setWindowTitle("Joystick Setup");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    QFont font("MS Sans Serif", kFontPoints);
    setFont(font);
    setFixedSize(kWidth, kHeight);
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

    btnOK = new QPushButton("OK", this);
    btnOK->setGeometry(208, kButtonsTop, 75, 25);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setGeometry(8, kButtonsTop, 75, 25);
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
    move(kLeft, kTop);
    frmJoySetup = this;
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
    edtFootswitch->setValue(int(std::min<uint32_t>(Settings.FootswitchButton, kMaxButton)));
    // The buttons reach the program only through the captured joystick.
    btnLearn->setEnabled(PedalCaptured());
    btnLearn->setToolTip(PedalCaptured() ? QString() : kLearnNeedsPedal);
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
    if (frmMain)
        frmMain->SaveSettings();
    hide();
}

void TfrmJoySetup::btnCancelClick()
{
    StopLearning();
    hide();
}

void TfrmJoySetup::btnLearnClick()
{
    if (LearningFootswitch()) {
        StopLearning();
        return;
    }
    btnLearn->setText(kLearning);
    LearnFootswitch([this](int32_t button) {
        edtFootswitch->setValue(std::min(button, kMaxButton));
        btnLearn->setText(kLearn);
    });
}

void TfrmJoySetup::StopLearning()
{
    StopLearningFootswitch();
    btnLearn->setText(kLearn);
}

void TfrmJoySetup::closeEvent(QCloseEvent* event)
{
    btnCancelClick();
    event->accept();
}
