#pragma once
// The program's windows, created in their fixed order: the main window (which loads the
// settings), the about, settings and pedal setup windows, and last the stream, which opens
// the sound devices with the loaded settings.

#include "audio/Waves.h"
#include "ui/About.h"
#include "ui/JoySettings.h"
#include "ui/Main.h"
#include "ui/Settings.h"

#include <memory>

namespace wave { class WaveService; }
namespace joystick { class JoystickService; }

class Program {
public:
    // UI thread only; a QApplication must exist.
    Program(wave::WaveService& service, joystick::JoystickService& joysticks);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The pump with which the stop sequence serves the event loop while it waits.
    static UiPump QtPump();

    std::unique_ptr<TfrmMain> main;
    std::unique_ptr<TfrmAbout> about;
    std::unique_ptr<TfrmSettings> settings;
    std::unique_ptr<TfrmJoySetup> joySetup;
    std::unique_ptr<TfrmWaves> waves;
};

extern TfrmWaves* frmWaves;

// Catches SIGTERM, SIGINT and SIGHUP from the first instruction on, keeping them for the
// event loop. Once, first thing, before any other thread starts.
void CatchSignals();
// Makes the caught signals close the main window as its close box does. Before the start-up
// is finished a signal closes its boxes and is kept for EndRequestedDuringStartUp; while the
// way out is already under way, a further signal ends the event loop at once.
// UI thread only, once, with the application made.
void CloseMainWindowOnSignals();
// UI thread only.
void StartUpFinished();
// UI thread only.
bool EndRequestedDuringStartUp();

// What a termination request does in the program: the stop sequence, then the event loop's
// end. UI thread only.
void EndThroughTheStopSequence();

// Ignores SIGPIPE and puts /dev/null on any closed standard stream. Once, first thing.
void GuardStandardStreams();
