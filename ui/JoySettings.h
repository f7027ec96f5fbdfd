#pragma once
// The pedal setup window: joystick port, axis and direction.

#include <QWidget>

class TfrmJoySetup : public QWidget {
    Q_OBJECT

public:
    // UI thread only.
    TfrmJoySetup();
    // Fills the controls from the settings and shows the window.
    void Spawn();
};

extern TfrmJoySetup* frmJoySetup;
