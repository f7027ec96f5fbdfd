// Draws each window into a PNG under the folder given (docs/ by default), for the README.
//   QT_QPA_PLATFORM=offscreen vobblix_screenshots docs

#include "platform/joystick/SdlJoystick.h"
#include "platform/wave/ScriptedWave.h"
#include "ui/Program.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdlib>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? argv[1] : "docs";
    // A store of its own, so the pictures show the defaults whatever the user has saved.
    const QString store = QDir::temp().filePath("vobblix-screenshots");
    QDir(store).removeRecursively();
    ::setenv("XDG_CONFIG_HOME", store.toLocal8Bit().constData(), 1);

    wave::ScriptedWaveService silent;
    joystick::SdlJoystickService joysticks;
    Program program(silent, joysticks);
    const std::pair<QWidget*, const char*> windows[] = {
        {program.main.get(), "main-window.png"},
        {program.about.get(), "about-window.png"},
        {program.settings.get(), "settings-window.png"},
        {program.joySetup.get(), "pedal-setup-window.png"},
    };
    bool ok = true;
    for (auto [window, name] : windows) {
        window->show();
        QApplication::processEvents();
        ok = window->grab().save(QDir(folder).filePath(name)) && ok;
    }
    // The silent device never hands back its buffers, so there is nothing to stop.
    QDir(store).removeRecursively();
    return ok ? 0 : 1;
}
