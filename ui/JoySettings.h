#pragma once
// The pedal setup window: joystick port, axis and direction. OK stores them and saves every
// setting at once; Cancel and the close box only hide it.

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QPushButton;
class QRadioButton;

class TfrmJoySetup : public QWidget {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    TfrmJoySetup();
    // Fills the controls from the settings and shows the window.
    void Spawn();
    void btnOKClick();
    void btnCancelClick();

    QGroupBox* GroupBox2 = nullptr;
    QRadioButton* rbPort0 = nullptr;
    QRadioButton* rbPort1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QRadioButton* rbX = nullptr;
    QRadioButton* rbY = nullptr;
    QRadioButton* rbZ = nullptr;
    QCheckBox* cbInvertPedal = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TfrmJoySetup* frmJoySetup;
