#pragma once
// The settings window: depth source, sample rate, buffer size and priority, which take
// effect at the next start. Confirming checks every field, saves, then stops the audio (a
// running take finished first) and ends the program.

#include <QWidget>

#include <optional>

namespace wave { class WaveService; }

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TfrmSettings : public QWidget {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    TfrmSettings();
    // Where the device lists come from: the service the sound plays through.
    void setService(const wave::WaveService* service) { service_ = service; }
    // Fills the controls from the settings and shows the window.
    void Spawn();

    void rbMouseClick();
    void rbPedalClick();
    void rbMidiClick();
    void btnSetBSClick();
    void btnSetupPedalClick();
    void btnOKClick();
    void btnCancelClick();

    QGroupBox* GroupBox1 = nullptr;
    QRadioButton* rbMouse = nullptr;
    QRadioButton* rbPedal = nullptr;
    QRadioButton* rbMidi = nullptr;
    QPushButton* btnSetupPedal = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QRadioButton* rb44100 = nullptr;
    QRadioButton* rb22050 = nullptr;
    QRadioButton* rb11025 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QRadioButton* rbnormal = nullptr;
    QRadioButton* rbhigh = nullptr;
    QRadioButton* rbrealtime = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* edtBufferSize = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* btnSetBS = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* lblTL = nullptr;
    QLabel* Label7 = nullptr;
    QGroupBox* GroupBoxDevices = nullptr;
    QComboBox* cbInputDevice = nullptr;
    QComboBox* cbOutputDevice = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The buffer size as typed, when it is a decimal 32-bit integer.
    std::optional<int32_t> ParsedBufferSize() const;
    // Puts the cursor in the buffer size, its text selected, for the user to mend it.
    void FocusBufferSize();
    void UpdateLatency();
    uint32_t CheckedRate() const;
    // "System default", then the service's devices; a stored choice that is not connected
    // stays in the list, marked, so that OK keeps it.
    void FillDevices(QComboBox* box, bool capture, const std::string& chosen);

    const wave::WaveService* service_ = nullptr;
};

extern TfrmSettings* frmSettings;
