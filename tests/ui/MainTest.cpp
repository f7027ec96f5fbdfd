// The real windows on the offscreen platform: what start-up leaves, the sliders, and the
// close that stops the audio before it saves.

#include "support/DeviceDriver.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "platform/joystick/SdlJoystick.h"
#include "support/ScriptedWave.h"
#include "ui/Program.h"

#include <QAction>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <gtest/gtest.h>
#include <toml++/toml.h>

namespace {

using testsupport::TempStore;

using testsupport::DeviceDriver;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        Settings.UsingMouse = true;
    }
    std::vector<std::string> Calls(const char* name) const
    {
        std::vector<std::string> out;
        for (const auto& c : device.log())
            if (c == name)
                out.push_back(c);
        return out;
    }

    TempStore store;
    report::RecordingSink sink;
    wave::ScriptedWaveService device;
};

TEST_F(MainWindow, StartUpPrimesTheFilterFromTheStoreAndStartsCaptureOnFirstShow)
{
    joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
    TfrmMain& w = *program.main;
    EXPECT_EQ(w.windowTitle(), "Vobblix");
    EXPECT_EQ(w.width(), 233);
    EXPECT_EQ(w.lblfreqofs->text(), "Frequency Offset = 0.10");
    EXPECT_EQ(w.lblreso->text(), "Resonance = 9.00");
    EXPECT_EQ(w.lblpaf->text(), "Pedal Acceleration Factor = 0.10");
    EXPECT_EQ(w.lbldepth->text(), "Depth = N/A");
    EXPECT_EQ(w.TrackBar1->value(), 99);
    EXPECT_EQ(w.TrackBar1->minimum(), 1);
    EXPECT_EQ(w.TrackBar1->maximum(), 99);
    EXPECT_EQ(w.Button2->text(), "Start record");
    EXPECT_TRUE(w.Button2->isEnabled());
    EXPECT_FALSE(w.Button3->isEnabled());
    EXPECT_EQ(w.lblrectime->text(), "");
    EXPECT_DOUBLE_EQ(FreqOffset, 0.10);
    EXPECT_DOUBLE_EQ(Resonance, 9.0);
    EXPECT_DOUBLE_EQ(PedalAccelFactor, 0.1);
    EXPECT_DOUBLE_EQ(CurrentDepth, 0.99);
    EXPECT_DOUBLE_EQ(TargetDepth, 0.99);
    EXPECT_FALSE(w.Stopping);

    QStringList items;
    for (QAction* a : w.menuBar()->actions().front()->menu()->actions())
        items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(w.menuBar()->actions().front()->text(), "Menu");
    EXPECT_EQ(items, (QStringList{"Settings", "-", "About", "-", "Exit"}));
    EXPECT_EQ(program.about->windowTitle(), "About Drenmarq Vobblix v1.1");
    EXPECT_EQ(program.about->size(), QSize(330, 213));

    // The stream was opened last, with the loaded settings, and waits for the first show.
    EXPECT_EQ(device.queuedInput(), 22u);
    EXPECT_FALSE(device.inputStarted());
    w.show();
    EXPECT_TRUE(device.inputStarted());
    w.hide();
    w.show();
    EXPECT_EQ(Calls("waveInStart").size(), 1u);

    DeviceDriver driver(device);
    w.close();
    EXPECT_TRUE(sink.shown().empty());
}

TEST_F(MainWindow, SlidersSetTheirParameterAndLabelAndAreRestoredNextTime)
{
    {
        joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
        TfrmMain& w = *program.main;
        w.TrackBar1->setValue(50);
        EXPECT_DOUBLE_EQ(CurrentDepth, 0.5);
        EXPECT_EQ(w.lbldepth->text(), "Depth = 0.50");
        w.TrackBar2->setValue(37);
        EXPECT_DOUBLE_EQ(FreqOffset, 0.37);
        EXPECT_EQ(w.lblfreqofs->text(), "Frequency Offset = 0.37");
        w.TrackBar3->setValue(1);
        EXPECT_DOUBLE_EQ(Resonance, 0.1);
        EXPECT_EQ(w.lblreso->text(), "Resonance = 0.10");
        w.TrackBar4->setValue(200);
        EXPECT_DOUBLE_EQ(PedalAccelFactor, 0.2);
        EXPECT_EQ(w.lblpaf->text(), "Pedal Acceleration Factor = 0.20");
        // A position outside the range is clamped to it.
        w.TrackBar1->setValue(0);
        EXPECT_EQ(w.lbldepth->text(), "Depth = 0.01");

        // The glide's text from the audio side reaches the label on the UI thread.
        thread::LabelText text;
        std::snprintf(text.chars.data(), text.chars.size(), "Depth = 0.42");
        DepthLabelText.publish(text);
        QTimer::singleShot(0, [] {});
        QCoreApplication::processEvents();
        while (w.lbldepth->text() != "Depth = 0.42")
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

        // "Exit" stops the audio, then saves.
        for (QAction* a : w.menuBar()->actions().front()->menu()->actions())
            if (a->text() == "Exit")
                a->trigger();
        EXPECT_FALSE(w.isVisible());
        EXPECT_EQ(Calls("waveOutClose").size(), 1u);
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["LastFreqofs"].value<int64_t>(), 37);
    EXPECT_EQ(saved["LastResonance"].value<int64_t>(), 1);
    EXPECT_EQ(saved["LastPAF"].value<int64_t>(), 200);
    EXPECT_EQ(saved["InvertPedal"].value<int64_t>(), 1);

    ResetSettingsRecord();
    fx::ResetForTests();
    wave::ScriptedWaveService again;
    joystick::SdlJoystickService joysticks;
    Program program(again, joysticks);
    EXPECT_EQ(program.main->TrackBar2->value(), 37);
    EXPECT_EQ(program.main->lblreso->text(), "Resonance = 0.10");
    EXPECT_DOUBLE_EQ(PedalAccelFactor, 0.2);
    program.main->close();
}

TEST_F(MainWindow, CloseWhileCapturingDrainsStopsThenSaves)
{
    joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
    TfrmMain& w = *program.main;
    w.show();
    device.completeInput();
    device.completeInput();
    w.TrackBar2->setValue(60);
    DeviceDriver driver(device);
    w.close();
    EXPECT_TRUE(w.Stopping);
    EXPECT_TRUE(program.waves->InputDrained);
    EXPECT_FALSE(program.waves->InputDevice.set);
    EXPECT_FALSE(program.waves->OutputDevice.set);
    EXPECT_EQ(program.waves->buffersAllocated(), program.waves->buffersReleased());
    EXPECT_EQ(toml::parse_file(store.file().string())["LastFreqofs"].value<int64_t>(), 60);
}

// A damaged value is reported, as it always was; the rest of the store is still used, so the
// sliders come back, and the close stores a record with which the next start is silent.
TEST_F(MainWindow, AnUnreadableSettingIsReportedAndTheRestOfTheStoreStillCounts)
{
    std::string text = TempStore::defaults();
    text.erase(text.find("Priority = 1\n"), 13);
    text.replace(text.find("LastResonance = 90"), 18, "LastResonance = 50");
    store.write(text);
    {
        joystick::SdlJoystickService joysticks;
        Program program(device, joysticks);
        TfrmMain& w = *program.main;
        EXPECT_EQ(w.TrackBar3->value(), 50);
        EXPECT_EQ(w.lblreso->text(), "Resonance = 5.00");
        EXPECT_EQ(Settings.Priority, 1);
        // The sound starts first; the box follows from the event loop.
        EXPECT_TRUE(sink.shown().empty());
        w.show();
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(device.inputStarted());
        EXPECT_TRUE(sink.shown().empty());
        QCoreApplication::processEvents();
        EXPECT_EQ(sink.shown(), (std::vector<report::Shown>{
                                    {report::Kind::Error, "Error",
                                     "Settings in " + store.file().string() +
                                         ":\nFailed to get data for 'Priority'; Vobblix uses 1."}}));
        DeviceDriver driver(device);
        w.close();
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["Priority"].value<int64_t>(), 1);
    EXPECT_EQ(saved["LastResonance"].value<int64_t>(), 50);

    sink.clear();
    ResetSettingsRecord();
    wave::ScriptedWaveService again;
    joystick::SdlJoystickService joysticks;
    Program program(again, joysticks);
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_EQ(program.main->TrackBar3->value(), 50);
    program.main->close();
}

TEST_F(MainWindow, AStoreThatCannotBeCreatedOpensNoDevice)
{
    std::ofstream(store.root() / "Drenmarq") << "a file where the folder belongs";
    joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_EQ(sink.texts(),
              std::vector<std::string>{"Could not create a key in the registry, please check your user permissions!"});
    EXPECT_TRUE(device.log().empty());
}

} // namespace
