#pragma once
// The pedal setup window: joystick port, axis, direction and the footswitch button, and the
// MIDI pedal and footswitch. OK stores them and saves every setting at once; Cancel and the
// close box only hide it.

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
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FillMidiSources(const std::string& chosen);
    // The MIDI group under the footswitch's, the buttons under it, the window around them.
    void FitMidiGroup();
    void StartLearning(int what, QPushButton* button);
    // Stops both Learns, the joystick button's and the MIDI one.
    void StopLearning();

    wave::WaveService* service_ = nullptr;
    QTimer* learnTimer_ = nullptr;
    int learningFor_ = 0; // a midi::LearnFor
};

extern TfrmJoySetup* frmJoySetup;
