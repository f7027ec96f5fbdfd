// Draws each window into a PNG under the folder given (docs/ by default), for the README.
//   QT_QPA_PLATFORM=offscreen vobblix_screenshots docs

#include "platform/joystick/SdlJoystick.h"
#include "support/ScriptedWave.h"
#include "audio/Waves.h"
#include "ui/Main.h"
#include "ui/Program.h"
#include "ui/Settings.h"
#include "ui/FilterPicture.h"
#include "ui/SweepGroup.h"
#include "effect/FX.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// The levels the main window's picture shows: about -12 and -6 dBFS.
constexpr size_t kShownBlock = 500;
constexpr double kPlayedPeak = 8200;
constexpr double kSoundedPeak = 16400;
// The sweep's picture: an LFO caught a little past its trough, the filter half open.
constexpr int kSweepBlocks = 10;
constexpr size_t kSweepBlock = 1000;

// Runs silent blocks through the program's filter, as the capture callback would, and lets
// the main window take what it published.
void Filter(TfrmMain& main, int blocks)
{
    std::vector<int16_t> silence(kSweepBlock);
    for (int i = 0; i < blocks; ++i)
        ProcessBuffer(silence.data(), int32_t(silence.size()));
    main.PickUpFilter();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? argv[1] : "docs";
    // A store of its own, so the pictures show the defaults whatever the user has saved.
    const QString store = QDir::temp().filePath("vobblix-screenshots");
    QDir(store).removeRecursively();
    ::setenv("XDG_CONFIG_HOME", store.toLocal8Bit().constData(), 1);

    wave::ScriptedWaveService silent;
    // The status line as a PipeWire desktop at the default buffer shows it.
    silent.scriptedName = "PipeWire";
    silent.scriptedLatencyMs = 14.2;
    silent.scriptedInputs = {{"alsa_input.usb-interface", "USB Audio Interface Mono"}};
    silent.scriptedOutputs = {{"alsa_output.usb-interface", "USB Audio Interface Stereo"}};
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
        // The settings window and the pedal setup as their buttons open them: filled from the
        // store and the devices.
        if (window == program.settings.get())
            program.settings->Spawn();
        else if (window == program.joySetup.get())
            program.joySetup->Spawn();
        else
            window->show();
        if (window == program.main.get()) {
            // A guitar played at a healthy level, the wah's peaks a little hotter.
            std::vector<int16_t> played(kShownBlock), sounded(kShownBlock);
            for (size_t i = 0; i < played.size(); ++i) {
                played[i] = int16_t(kPlayedPeak * std::sin(0.05 * double(i)));
                sounded[i] = int16_t(kSoundedPeak * std::sin(0.05 * double(i)));
            }
            program.waves->InputLevel.feed(played.data(), int32_t(played.size()));
            program.waves->OutputLevel.feed(sounded.data(), int32_t(sounded.size()));
            program.main->RefreshLevels(0);
            Filter(*program.main, 1);
        }
        QApplication::processEvents();
        ok = window->grab().save(QDir(folder).filePath(name)) && ok;
    }
    // The sweep group in LFO mode and the filter it moves, as a player sees them mid-sweep.
    TfrmMain& main = *program.main;
    main.GroupBoxSweep->cbSweep->setCurrentIndex(main.GroupBoxSweep->cbSweep->findText("LFO"));
    Filter(main, kSweepBlocks);
    QApplication::processEvents();
    const QRect sweep = main.GroupBoxSweep->geometry().united(main.Picture->geometry());
    ok = main.centralWidget()->grab(sweep).save(QDir(folder).filePath("sweep.png")) && ok;

    // The close waits for the device to hand back its buffers: play its part meanwhile.
    QTimer device;
    QObject::connect(&device, &QTimer::timeout, [&silent] {
        silent.completeInput();
        silent.completeOutput();
    });
    device.start(0);
    program.main->close();
    QDir(store).removeRecursively();
    return ok ? 0 : 1;
}
