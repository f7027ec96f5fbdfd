#pragma once
// The main window: the depth slider, the three parameter sliders, the record buttons and the
// menu; it loads the settings, primes the filter, starts capture when first shown and runs
// the orderly stop when it closes.

#include "config/Settings.h"
#include "effect/SweepFilter.h"
#include "platform/report/Report.h"

#include <QMainWindow>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class FilterPicture;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;
class TfrmWaves;
class SaveDialog;
class LevelMeter;
class SweepGroup;
namespace joystick { class JoystickService; }
namespace wave { struct WaveCounters; }

class TfrmMain : public QMainWindow {
    Q_OBJECT

public:
    // UI thread only (every member below too).
    explicit TfrmMain(joystick::JoystickService& joysticks);
    ~TfrmMain() override;

    // The stream, created after this window.
    void setWaves(TfrmWaves* waves) { waves_ = waves; }

    void FormCreate();
    void FormShow();
    void FormCloseQuery();
    // The one way the sound stops, whatever ends the program (the close box, Exit, signals,
    // settings OK, termination requests): sets the stop flag, stops and closes both devices,
    // finishes a running recording and lets the pedal go. Runs once; later calls return.
    void StopSequence();
    // The close without a close event, for ends that come from outside: the stop sequence,
    // the save, and the event loop's end.
    void Quit();
    // Writes the settings with the current slider positions, and the start choices given in
    // place of the record's; failures are reported. False when nothing could be saved.
    bool SaveSettings(AfterFailedOpen after = AfterFailedOpen::End, const StartChoices* choices = nullptr);

    void TrackBar1Change();
    void TrackBar2Change();
    void TrackBar3Change();
    void TrackBar4Change();
    // The "Effect on" box: the effect is heard or the sound passes as it came.
    void cbEffectOnClick();
    // "Start record" and "Stop record".
    void Button2Click();
    void Button3Click();
    // The dialog "Start record" runs; tests put in their own.
    void setSaveDialog(std::unique_ptr<SaveDialog> dialog);
    void Settings1Click();
    void Exit2Click();
    void Exit3Click();

    // Read by the audio callbacks, which never wait for this window.
    std::atomic<bool> Stopping{false};

    QGroupBox* GroupBox1 = nullptr;
    QLabel* lbldepth = nullptr;
    QCheckBox* cbEffectOn = nullptr;
    QSlider* TrackBar1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* lblfreqofs = nullptr;
    QSlider* TrackBar2 = nullptr;
    QLabel* lblreso = nullptr;
    QSlider* TrackBar3 = nullptr;
    QLabel* lblpaf = nullptr;
    QSlider* TrackBar4 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QLabel* lblrectime = nullptr;
    QGroupBox* GroupBoxLevels = nullptr;
    LevelMeter* InputMeter = nullptr;
    LevelMeter* OutputMeter = nullptr;
    QLabel* lblstatus = nullptr;
    SweepGroup* GroupBoxSweep = nullptr;
    FilterPicture* Picture = nullptr;

    // Shows the texts the audio side published since the last look, where a MIDI pedal and
    // footswitch left the depth and the effect, and returns to idle when a recording ended
    // by itself. True when something shown changed or a recording runs.
    bool PickUpAudioTexts();
    // Takes the coefficients and the depth the filter last used: the picture shows them while
    // it can be seen, and in the automatic modes the depth slider and label follow. True
    // when something shown changed by more than a hair.
    bool PickUpFilter();
    // The screen looks fast again at once (a control moved, the window came back).
    void WakeScreen();
    // The sweep's choice changed: the depth slider drives the depth only in Manual.
    void SweepChanged();
    // Takes the levels the audio side gathered into the meters, which fall back by the time
    // given, and refreshes the status line. True while a meter moves.
    bool RefreshLevels(double elapsedMs);
    // The screen timer's look: the texts and the meters, fast while something moves, seldom
    // at rest. UI thread only.
    void LookAtTheAudio();
    // How often the screen looks now, in milliseconds.
    int screenLookMs() const;
    // The status line: the sound's road, its latency (below zero: not known), whether the
    // effect is off, whether the pedal switches it (switchless), and its glitches.
    static QString StatusText(const char* backend, double latencyMs, const wave::WaveCounters& counters,
                              bool effectOn = true, bool switchless = false);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ReturnToIdle();

    std::unique_ptr<SaveDialog> SaveDialog1;
    // The dialog's file name: the proposal, or the path chosen last time.
    std::string dialogFileName_;
    TfrmWaves* waves_ = nullptr;
    // What the start had to say, shown once the sound plays.
    std::vector<report::Box> startUpBoxes_;
    joystick::JoystickService& joysticks_;
    QTimer* screenTimer_ = nullptr;
    int quietLooks_ = 0;
    // What the filter last said it filters with.
    fx::InEffect inEffect_;
    bool inEffectShown_ = true;
    // The depth last shown from the filter, in thousandths; below zero before the first.
    long shownDepth_ = -1;
    double notedLatencyMs_ = -1.0; // the latency last told on standard error
    bool shown_ = false;
    bool closed_ = false;
    bool soundStopped_ = false;
};

extern TfrmMain* frmMain;
