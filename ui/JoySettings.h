#pragma once
// The pedal setup window: joystick port, axis, direction and the footswitch button, and the
// MIDI pedal and footswitch. OK stores them and saves every setting at once; Cancel and the
// close box only hide it.

#include "pedal/PedalMapping.h"

#include <QWidget>

#include <string>

namespace wave { class WaveService; }

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimer;

class TfrmJoySetup : public QWidget {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    TfrmJoySetup();
    // Where the MIDI sources come from: the service the sound plays through.
    void setService(wave::WaveService* service);
    // Fills the controls from the settings and shows the window.
    void Spawn();
    void btnOKClick();
    void btnCancelClick();
    // Waits for the next joystick button to fill in the footswitch, or stops waiting.
    void btnLearnClick();
    // "Learn": the next controller that moves fills in the pedal's channel and number; the
    // next controller or note-on, the footswitch's.
    void btnLearnControllerClick();
    void btnLearnFootswitchClick();
    // Takes what Learn caught into the controls; the window's timer calls it while learning.
    void PickUpLearned();
    // "Calibrate": collects the pedal's readings until pressed again; the lowest and highest
    // seen become its ends at OK.
    void btnCalibrateClick();
    // The tap tempo's triggers: the next joystick button, or the next MIDI note or controller.
    void btnLearnTapClick();
    void btnLearnTapMidiClick();
    // The live readout: the pedal's raw reading and the depth the window's choices make of it.
    void ShowReading();

    QGroupBox* GroupBox2 = nullptr;
    QRadioButton* rbPort0 = nullptr;
    QRadioButton* rbPort1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QRadioButton* rbX = nullptr;
    QRadioButton* rbY = nullptr;
    QRadioButton* rbZ = nullptr;
    QCheckBox* cbInvertPedal = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    // The footswitch's button number; 0 shows "None".
    QSpinBox* edtFootswitch = nullptr;
    QPushButton* btnLearn = nullptr;
    QGroupBox* GroupBoxMidi = nullptr;
    QLabel* lblMidiNeedsServer = nullptr;
    QComboBox* cbMidiSource = nullptr;
    QComboBox* cbMidiChannel = nullptr;
    QSpinBox* edtMidiController = nullptr;
    QPushButton* btnLearnController = nullptr;
    QRadioButton* rbMidi7Bit = nullptr;
    QRadioButton* rbMidi14Bit = nullptr;
    QComboBox* cbFootswitch = nullptr;
    QSpinBox* edtFootswitchNumber = nullptr;
    QComboBox* cbFootswitchChannel = nullptr;
    QPushButton* btnLearnFootswitch = nullptr;
    QGroupBox* GroupBoxResponse = nullptr;
    QPushButton* btnCalibrate = nullptr;
    QLabel* lblEnds = nullptr;
    QComboBox* cbCurve = nullptr;
    QLabel* lblReading = nullptr;
    QCheckBox* cbSwitchless = nullptr;
    QSpinBox* edtSwitchlessMs = nullptr;
    // The joystick button that taps; 0 shows "None".
    QSpinBox* edtTapButton = nullptr;
    QPushButton* btnLearnTap = nullptr;
    QLabel* lblTapMidi = nullptr;
    QPushButton* btnLearnTapMidi = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FillMidiSources(const std::string& chosen);
    // The MIDI group under the footswitch's, the buttons under it, the window around them.
    void FitMidiGroup();
    void StartLearning(int what, QPushButton* button);
    // Stops every Learn, the joystick buttons' and the MIDI ones.
    void StopLearning();
    // Waits for the next joystick button and puts its number in the box given.
    void LearnButtonInto(QPushButton* learn, QSpinBox* number);

    // The ends shown and stored at OK: the store's, or what the last calibration collected.
    void ShowEnds();
    // What the running calibration has seen of the pedal being calibrated.
    const pedal::Calibration& Collected() const;

    wave::WaveService* service_ = nullptr;
    QTimer* readingTimer_ = nullptr;
    // Whether the pedal calibrated and read out is the MIDI one (else the game pedal).
    bool midiSource_ = false;
    pedal::Calibration midiCalibration_;
    uint32_t endLow_ = 0;
    uint32_t endHigh_ = 0;
    // The MIDI tap trigger as the store writes it; empty: none.
    std::string tapMidi_;
    QTimer* learnTimer_ = nullptr;
    int learningFor_ = 0; // a midi::LearnFor
};

extern TfrmJoySetup* frmJoySetup;
