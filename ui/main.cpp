// Vobblix: a real-time guitar wah on the PC's sound card.

#include "config/Settings.h"
#include "platform/joystick/EvdevControllers.h"
#include "platform/registry/Registry.h"
#include "platform/report/QtReports.h"
#include "ui/CommandLine.h"
#include "ui/Program.h"
#include "ui/QtEventLoop.h"
#include "ui/SingleInstance.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr const char* kAlreadyRunning = "Vobblix is already running.";
}

int main(int argc, char** argv)
{
    CatchSignals();
    GuardStandardStreams();
    const CommandLine line = ParseCommandLine(argc, argv, std::getenv("VOBBLIX_AUDIO"));
    if (line.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "vobblix: %s\n\n%s", line.error.c_str(), Usage().c_str());
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Vobblix");
    QApplication::setApplicationDisplayName("Vobblix");
    QApplication::setDesktopFileName("vobblix");
    // The main window's close ends the program, whatever other window is open.
    QApplication::setQuitOnLastWindowClosed(false);

    report::QtReports reports;
    report::InstallTerminationHandler(&EndThroughTheStopSequence);
    CloseMainWindowOnSignals();

    SingleInstance instance(registry::StorePath(settings::kKeyPath));
    if (!instance.first()) {
        instance.RaiseFirst();
        report::Information(kAlreadyRunning);
        return 0;
    }

    const auto sound = wave::OpenBackend(line.backend, !line.noConnect);
    // Game controllers are read from their input events as they come: a pedal at rest costs
    // nothing.
    QtEventLoop loop;
    joystick::EvdevControllers controllers;
    joystick::EventJoystickService joysticks(loop, controllers);
    Program program(*sound, joysticks);
    StartUpFinished();
    // Termination asked for during start-up ends the program before its event loop runs.
    if (report::TerminationRequested())
        return 0;
    // So does a signal that came while a start-up box was open, through the orderly close.
    if (EndRequestedDuringStartUp()) {
        program.main->Quit();
        return 0;
    }
    instance.OnRaise([&program] {
        program.main->showNormal();
        program.main->raise();
        program.main->activateWindow();
    });
    program.main->show();
    return app.exec();
}
