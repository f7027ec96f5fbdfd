#pragma once
// The settings window: depth source, sample rate, buffer size and priority, which take
// effect at the next start.

#include <QWidget>

class TfrmSettings : public QWidget {
    Q_OBJECT

public:
    // UI thread only.
    TfrmSettings();
    // Fills the controls from the settings and shows the window.
    void Spawn();
};

extern TfrmSettings* frmSettings;
