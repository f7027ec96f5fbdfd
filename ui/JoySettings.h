#pragma once
// The pedal setup window: joystick port, axis, direction and the footswitch button. OK
// stores them and saves every setting at once; Cancel and the close box only hide it.

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QSpinBox;

class TfrmJoySetup : public QWidget {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    TfrmJoySetup();
    // Fills the controls from the settings and shows the window.
    void Spawn();
    void btnOKClick();
    void btnCancelClick();
    // Waits for the next joystick button to fill in the footswitch, or stops waiting.
    void btnLearnClick();

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
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void StopLearning();
};

extern TfrmJoySetup* frmJoySetup;
