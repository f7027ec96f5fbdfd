// The settings and pedal setup windows on the offscreen platform.

#include "support/DeviceDriver.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "ui/Program.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <gtest/gtest.h>
#include <toml++/toml.h>

namespace {

using testsupport::TempStore;

class SettingsWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        program = std::make_unique<Program>(device, joysticks);
        initial = store.read();
    }
    void TearDown() override
    {
        program->main->close();
        program.reset();
    }
    TfrmSettings& s() { return *program->settings; }
    TfrmJoySetup& j() { return *program->joySetup; }
    toml::table Stored() const { return toml::parse_file(store.file().string()); }

    TempStore store;
    report::RecordingSink sink;
    wave::ScriptedWaveService device;
    joystick::SdlJoystickService joysticks;
    std::unique_ptr<Program> program;
    std::string initial;
};

TEST_F(SettingsWindows, TheLatencyFollowsTheRateAndTheSetButton)
{
    EXPECT_EQ(s().windowTitle(), "Vobblix Settings");
    // The designed size, and the devices' group under it.
    EXPECT_EQ(s().width(), 282);
    EXPECT_EQ(s().height(), 369 + s().GroupBoxDevices->sizeHint().height() + s().rbMidi->sizeHint().height() + 4);
    s().Spawn();
    EXPECT_TRUE(s().isVisible());
    EXPECT_EQ(s().edtBufferSize->text(), "1000");
    EXPECT_EQ(s().lblTL->text(), "11.34 ms");
    EXPECT_TRUE(s().rbMouse->isChecked());
    EXPECT_FALSE(s().btnSetupPedal->isEnabled());
    EXPECT_TRUE(s().rbhigh->isChecked());
    s().rb11025->click();
    EXPECT_EQ(s().lblTL->text(), "45.35 ms");

    // Typing alone does not update it; "Set" does, and an odd size is refused with a message.
    s().edtBufferSize->setText("501");
    EXPECT_EQ(s().lblTL->text(), "45.35 ms");
    s().btnSetBS->click();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Buffer size must be divisible by two"});
    EXPECT_EQ(s().lblTL->text(), "45.35 ms");

    // Sizes that make no sound at the rate chosen are refused the same way, with the range.
    for (const char* size : {"0", "-4", "11026"}) {
        sink.clear();
        s().edtBufferSize->setText(size);
        s().btnSetBS->click();
        EXPECT_EQ(sink.texts(),
                  std::vector<std::string>{"Buffer size must be an even number of bytes from 2 to 11024 at 11025 Hz"})
            << size;
        EXPECT_EQ(s().lblTL->text(), "45.35 ms");
    }
    s().edtBufferSize->setText("11024");
    s().btnSetBS->click();
    EXPECT_EQ(s().lblTL->text(), "499.95 ms");

    // Not a number: the edit is emptied without a word.
    sink.clear();
    s().edtBufferSize->setText("abc");
    s().btnSetBS->click();
    EXPECT_EQ(s().edtBufferSize->text(), "");
    EXPECT_TRUE(sink.shown().empty());

    s().rbPedal->click();
    EXPECT_TRUE(s().btnSetupPedal->isEnabled());
    s().rbMouse->click();
    EXPECT_FALSE(s().btnSetupPedal->isEnabled());
}

TEST_F(SettingsWindows, OkStopsSavesAsksForARestartAndEnds)
{
    program->main->show();
    program->main->TrackBar2->setValue(33);
    s().Spawn();
    s().rbPedal->click();
    s().rb22050->click();
    s().edtBufferSize->setText("2000");
    s().rbrealtime->click();
    // Capture was started; the scripted device hands back its buffers while the stop waits.
    device.completeInput();
    testsupport::DeviceDriver driver(device);
    s().btnOKClick();
    EXPECT_TRUE(program->waves->InputDrained);
    EXPECT_FALSE(program->waves->InputDevice.set);
    EXPECT_EQ(sink.shown().back(),
              (report::Shown{report::Kind::Information, "Information",
                             "You need to restart the application for the new settings to take effect."}));
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_FALSE(s().isVisible());
    const auto saved = Stored();
    EXPECT_EQ(saved["UsingMouse"].value<int64_t>(), 0);
    EXPECT_EQ(saved["Sample_rate"].value<int64_t>(), 22050);
    EXPECT_EQ(saved["memBlockLength"].value<int64_t>(), 2000);
    EXPECT_EQ(saved["Priority"].value<int64_t>(), 2);
    EXPECT_EQ(saved["LastFreqofs"].value<int64_t>(), 33);
    // Nothing opened the pedal: that waits for the next start.
    EXPECT_FALSE(joysticks.Capturing());
}

std::vector<std::string> Items(const QComboBox* box)
{
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i)
        items.push_back(box->itemText(i).toStdString());
    return items;
}

// The lists show the backend's devices by their descriptions and store their ids; a stored
// device that is not connected stays listed and chosen, so that OK does not forget it.
TEST_F(SettingsWindows, TheDeviceListsShowTheBackendsDevicesAndOkStoresTheChoice)
{
    device.scriptedInputs = {{"alsa_input.usb-Scarlett", "Scarlett Solo Analog Mono"}, {"gtr", "Guitar"}};
    device.scriptedOutputs = {{"amp", "Amp"}, {"phones", "Headphones"}, {"hdmi", "HDMI Audio"}};
    Settings.OutputDevice = "monitors-left";
    s().Spawn();
    EXPECT_EQ(Items(s().cbInputDevice), (std::vector<std::string>{"System default", "Scarlett Solo Analog Mono", "Guitar"}));
    EXPECT_EQ(s().cbInputDevice->currentIndex(), 0);
    EXPECT_EQ(Items(s().cbOutputDevice), (std::vector<std::string>{"System default", "Amp", "Headphones", "HDMI Audio",
                                                                    "monitors-left (not connected)"}));
    EXPECT_EQ(s().cbOutputDevice->currentIndex(), 4);

    s().cbInputDevice->setCurrentIndex(1);
    program->main->show();
    device.completeInput();
    testsupport::DeviceDriver driver(device);
    s().btnOKClick();
    const auto saved = Stored();
    EXPECT_EQ(saved["InputDevice"].value<std::string>(), "alsa_input.usb-Scarlett");
    EXPECT_EQ(saved["OutputDevice"].value<std::string>(), "monitors-left");

    // Shown again, the list picks up what changed: the stored input is chosen.
    device.scriptedOutputs.pop_back();
    s().Spawn();
    EXPECT_EQ(s().cbInputDevice->currentText().toStdString(), "Scarlett Solo Analog Mono");
    EXPECT_EQ(Items(s().cbOutputDevice).size(), 4u);
    s().cbOutputDevice->setCurrentIndex(0);
    s().cbInputDevice->setCurrentIndex(0);
    s().btnOKClick();
    EXPECT_EQ(Stored()["OutputDevice"].value<std::string>(), "");
    EXPECT_EQ(Stored()["InputDevice"].value<std::string>(), "");
}

// At start a chosen device that is there is opened; one that is gone is said once, by name,
// the default plays, and the store keeps the choice for when the device returns.
TEST(SettingsDevices, AChosenDeviceIsOpenedAndAGoneOneFallsBackWithOneReport)
{
    TempStore store;
    std::string text = TempStore::defaults();
    store.write(text + "InputDevice = \"gtr\"\nOutputDevice = \"usb-amp\"\n");
    report::RecordingSink sink;
    fx::ResetForTests();
    wave::ScriptedWaveService device;
    device.scriptedInputs = {{"gtr", "Guitar"}};
    device.scriptedOutputs = {{"amp", "Amp"}};
    joystick::SdlJoystickService joysticks;
    {
        Program program(device, joysticks);
        EXPECT_EQ(device.inputDevice(), "gtr");
        EXPECT_EQ(device.outputDevice(), "");
        ASSERT_EQ(sink.shown().size(), 1u);
        EXPECT_EQ(sink.shown()[0],
                  (report::Shown{report::Kind::Information, "Information",
                                 "The output device \"usb-amp\" is not connected. Vobblix uses the system default "
                                 "output until it is back."}));
        program.main->show();
        testsupport::DeviceDriver driver(device);
        program.main->close();
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["OutputDevice"].value<std::string>(), "usb-amp");
    EXPECT_EQ(saved["InputDevice"].value<std::string>(), "gtr");
}

// OK reads every field before anything changes: a bad buffer size gets its report, and the
// sound, the store and the window stay as they were, the size in focus to be mended.
TEST_F(SettingsWindows, ABadBufferSizeAtOkIsSaidAndLeavesTheSoundTheStoreAndTheWindow)
{
    const report::Shown notInteger{report::Kind::Unhandled, "Vobblix", "'1 000' is not a valid integer value."};
    struct Case {
        const char* typed;
        QRadioButton* TfrmSettings::*rate;
        report::Shown said;
    };
    const Case cases[] = {
        {"12x", &TfrmSettings::rb44100, {report::Kind::Unhandled, "Vobblix", "'12x' is not a valid integer value."}},
        {"1 000", &TfrmSettings::rb44100, notInteger},
        {"1001", &TfrmSettings::rb44100, {report::Kind::Error, "Error", "Buffer size must be divisible by two"}},
        {"0", &TfrmSettings::rb22050,
         {report::Kind::Error, "Error", "Buffer size must be an even number of bytes from 2 to 22048 at 22050 Hz"}},
        {"-4", &TfrmSettings::rb44100,
         {report::Kind::Error, "Error", "Buffer size must be an even number of bytes from 2 to 44098 at 44100 Hz"}},
        {"30000", &TfrmSettings::rb11025,
         {report::Kind::Error, "Error", "Buffer size must be an even number of bytes from 2 to 11024 at 11025 Hz"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        sink.clear();
        s().Spawn();
        s().rbPedal->click();
        (s().*c.rate)->click();
        sink.clear();
        s().edtBufferSize->setText(c.typed);
        s().btnOKClick();
        EXPECT_EQ(sink.shown(), std::vector<report::Shown>{c.said});
        EXPECT_FALSE(report::TerminationRequested());
        EXPECT_FALSE(program->main->Stopping);
        EXPECT_TRUE(program->waves->InputDevice.set);
        EXPECT_TRUE(program->waves->OutputDevice.set);
        EXPECT_TRUE(s().isVisible());
        EXPECT_EQ(s().edtBufferSize->text(), c.typed);
        EXPECT_EQ(s().focusWidget(), s().edtBufferSize);
        EXPECT_TRUE(Settings.UsingMouse);
        EXPECT_EQ(Settings.SampleRate, 44100u);
        EXPECT_EQ(Settings.memBlockLength, 1000u);
        EXPECT_EQ(store.read(), initial);
    }
    // Mended, it goes through.
    s().edtBufferSize->setText("2048");
    program->main->show();
    device.completeInput();
    testsupport::DeviceDriver driver(device);
    s().btnOKClick();
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_EQ(Stored()["memBlockLength"].value<int64_t>(), 2048);
    EXPECT_EQ(Stored()["Sample_rate"].value<int64_t>(), 11025);
}

TEST_F(SettingsWindows, CancelAndTheCloseBoxStoreNothing)
{
    s().Spawn();
    s().rbPedal->click();
    s().edtBufferSize->setText("64");
    s().btnCancel->click();
    EXPECT_FALSE(s().isVisible());
    s().Spawn();
    s().rb11025->click();
    s().close();
    EXPECT_FALSE(s().isVisible());
    EXPECT_EQ(store.read(), initial);
    EXPECT_TRUE(Settings.UsingMouse);
    s().Spawn();
    EXPECT_TRUE(s().rbMouse->isChecked());
    EXPECT_EQ(s().edtBufferSize->text(), "1000");
    EXPECT_TRUE(s().rb44100->isChecked());
}

TEST_F(SettingsWindows, ThePedalSetupStoresItsThreeSettingsAndTheSlidersAtOnce)
{
    EXPECT_EQ(j().windowTitle(), "Joystick Setup");
    // The designed width; the footswitch's group below the axis, then the MIDI group, make
    // it taller.
    EXPECT_EQ(j().width(), 289);
    EXPECT_EQ(j().GroupBox3->geometry().top(), 240);
    EXPECT_EQ(j().GroupBoxMidi->geometry().top(), 240 + 64);
    EXPECT_GT(j().height(), 273 + 64);
    EXPECT_EQ(j().pos(), QPoint(380, 182));
    EXPECT_EQ(j().rbY->geometry().topLeft(), QPoint(16, 48));
    EXPECT_FALSE(j().btnOK->autoDefault());

    // Values the window does not know show the designed choice, and OK replaces them.
    Settings.PedalDevice = 5;
    Settings.PedalAxis = 9;
    s().Spawn();
    s().rbPedal->click();
    s().btnSetupPedal->click();
    EXPECT_TRUE(j().isVisible());
    EXPECT_TRUE(j().rbPort0->isChecked());
    EXPECT_TRUE(j().rbY->isChecked());
    j().rbPort1->click();
    j().rbZ->click();
    j().cbInvertPedal->setChecked(false);
    program->main->TrackBar4->setValue(150);
    j().btnOK->click();
    EXPECT_FALSE(j().isVisible());
    auto saved = Stored();
    EXPECT_EQ(saved["PedalDevice"].value<int64_t>(), 1);
    EXPECT_EQ(saved["PedalAxis"].value<int64_t>(), 2);
    EXPECT_EQ(saved["InvertPedal"].value<int64_t>(), 0);
    EXPECT_EQ(saved["LastPAF"].value<int64_t>(), 150);
    // No restart is asked for here, and the settings window's own choice is not stored.
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_EQ(saved["UsingMouse"].value<int64_t>(), 1);

    // The settings window's Cancel leaves what the pedal setup confirmed.
    s().btnCancel->click();
    EXPECT_EQ(Stored()["PedalAxis"].value<int64_t>(), 2);

    // The pedal setup's Cancel after changes stores nothing; the next Spawn shows the stored.
    const std::string before = store.read();
    j().Spawn();
    j().rbX->click();
    j().cbInvertPedal->setChecked(true);
    j().btnCancel->click();
    EXPECT_EQ(store.read(), before);
    j().Spawn();
    EXPECT_TRUE(j().rbZ->isChecked());
    EXPECT_FALSE(j().cbInvertPedal->isChecked());
    j().close();
    EXPECT_EQ(store.read(), before);
}

} // namespace
