#pragma once
// The main window's "Sweep" group: what moves the depth (the slider or pedal by hand, the
// playing's envelope, or an LFO), the range the automatic modes sweep, the envelope's and the
// LFO's settings, and the LFO's tap tempo.

#include <QGroupBox>

class QComboBox;
class QDoubleSpinBox;
class QPushButton;
class QSpinBox;
class QStackedWidget;

class SweepGroup : public QGroupBox {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    explicit SweepGroup(QWidget* parent = nullptr);

    // Shows the stored choices and hands them to the filter. Nothing is signalled.
    void Fill();
    // Whether the depth moves by itself (Envelope or LFO).
    bool automatic() const;
    // Whether the LFO runs, the one mode whose depth moves with silence in.
    bool lfo() const;
    // Shows and stores the rate a tap tempo set on the audio side.
    void FollowTappedRate();

    QComboBox* cbSweep = nullptr;
    QDoubleSpinBox* edtLow = nullptr;
    QDoubleSpinBox* edtHigh = nullptr;
    QStackedWidget* pages = nullptr;
    QSpinBox* edtSensitivity = nullptr;
    QSpinBox* edtAttack = nullptr;
    QSpinBox* edtRelease = nullptr;
    QComboBox* cbDirection = nullptr;
    QComboBox* cbShape = nullptr;
    QDoubleSpinBox* edtRate = nullptr;
    QPushButton* btnTap = nullptr;

signals:
    // A choice changed: stored in the record and handed to the filter already.
    void changed();

private:
    // Takes every control into the record and the filter.
    void Store();
    void ShowPage();
};
