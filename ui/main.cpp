// Vobblix: a real-time guitar wah on the PC's sound card.

#include "platform/joystick/SdlJoystick.h"
#include "platform/report/QtReports.h"
#include "platform/wave/SdlWave.h"
#include "ui/Program.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vobblix");
    QApplication::setApplicationDisplayName("Vobblix");
    QApplication::setDesktopFileName("vobblix");
    // The main window's close ends the program, whatever other window is open.
    QApplication::setQuitOnLastWindowClosed(false);

    report::QtReports reports;
    report::InstallTerminationHandler([] { QCoreApplication::exit(0); });
    CloseMainWindowOnSignals();

    wave::SdlWaveService sound;
    joystick::SdlJoystickService joysticks;
    Program program(sound, joysticks);
    // Termination asked for during start-up ends the program before its event loop runs.
    if (report::TerminationRequested())
        return 0;
    program.main->show();
    return app.exec();
}
