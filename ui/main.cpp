// Vobblix: a real-time guitar wah on the PC's sound card.

#include "platform/joystick/SdlJoystick.h"
#include "platform/report/QtReports.h"
#include "platform/wave/Backend.h"
#include "ui/Program.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const wave::CommandLine line = wave::ParseCommandLine(argc, argv, std::getenv("VOBBLIX_AUDIO"));
    if (line.help) {
        std::fputs(wave::Usage().c_str(), stdout);
        return 0;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "vobblix: %s\n\n%s", line.error.c_str(), wave::Usage().c_str());
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Vobblix");
    QApplication::setApplicationDisplayName("Vobblix");
    QApplication::setDesktopFileName("vobblix");
    // The main window's close ends the program, whatever other window is open.
    QApplication::setQuitOnLastWindowClosed(false);

    report::QtReports reports;
    report::InstallTerminationHandler([] { QCoreApplication::exit(0); });
    CloseMainWindowOnSignals();

    const auto sound = wave::OpenBackend(line.backend);
    joystick::SdlJoystickService joysticks;
    Program program(*sound, joysticks);
    // Termination asked for during start-up ends the program before its event loop runs.
    if (report::TerminationRequested())
        return 0;
    program.main->show();
    return app.exec();
}
