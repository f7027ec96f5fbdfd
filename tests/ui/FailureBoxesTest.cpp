// Failures shown in real Qt message boxes on the offscreen platform. A box runs a nested
// event loop in which the main window's timers and queued calls go on firing, so these are
// the paths where a lock still held or a step taken too early hangs or breaks the program.
// A timer plays the user: it reads each box once it has been open a while, and presses OK.

#include "support/BoxCloser.h"
#include "support/DeviceDriver.h"
#include "support/TempStore.h"
#include "support/Wav.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/QtReports.h"
#include "support/ScriptedWave.h"
#include "recorder/SaveToFile.h"
#include "ui/Program.h"
#include "ui/SaveDialog.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using testsupport::BoxCloser;
using testsupport::TempStore;

// A block every 5 ms: about twice the pace of real sound.
constexpr int kTwiceRealTimeMs = 5;

class OneAnswerDialog final : public SaveDialog {
public:
    std::string answer;
    std::optional<std::string> Execute(const std::string&, const std::string&) override { return answer; }
    bool ConfirmOverwrite(const std::string&) override { return true; }
};

// Every write past a few bytes fails, as on a full disk.
class FullDisk {
public:
    FullDisk()
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit tiny = old_;
        tiny.rlim_cur = 16;
        setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &old_); }

private:
    rlimit old_{};
};

class FailureBoxes : public ::testing::Test {
protected:
    void SetUp() override
    {
        // An earlier test's close ended "the" event loop, and every loop opened after an end
        // returns at once until an exec() begins again: a box would never be seen.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
        fx::ResetForTests();
        program = std::make_unique<Program>(device, joysticks);
        program->main->show();
    }
    void TearDown() override
    {
        report::InstallTerminationHandler(nullptr);
        recorder::SetSizeLimitForTests(0);
        testsupport::DeviceDriver driver(device);
        program->main->close();
        program.reset();
    }
    TfrmMain& w() { return *program->main; }
    TfrmSettings& s() { return *program->settings; }
    // "Start record" into a file of the test's folder.
    fs::path StartTake(const std::string& name = "take.wav")
    {
        const fs::path take = store.root() / name;
        auto dialog = std::make_unique<OneAnswerDialog>();
        dialog->answer = take.string();
        w().setSaveDialog(std::move(dialog));
        w().Button2Click();
        return take;
    }

    TempStore store;
    report::QtReports reports;
    BoxCloser closer;
    wave::ScriptedWaveService device;
    joystick::SdlJoystickService joysticks;
    std::unique_ptr<Program> program;
};

// The final flush fails; its box opens while the label timer, inside the box's loop, closes
// the file under the recorder's lock. The lock must already be free, or this never returns.
TEST_F(FailureBoxes, StopRecordWhoseLastFlushFailsShowsItAndReturnsToIdle)
{
    // Too large for the file: the final flush hits the size limit.
    const fs::path take = StartTake();
    ASSERT_TRUE(Settings.Recording);
    recorder::SetSizeLimitForTests(100);
    std::vector<int16_t> block(500, 7);
    RecordBlock(block.data(), 1000, false);
    w().Button3Click();
    EXPECT_EQ(closer.texts(), std::vector<std::string>{recorder::SizeLimitText(take.string())});
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(w().Button3->isEnabled());
    EXPECT_FALSE(recorder::FileOpen());
    recorder::SetSizeLimitForTests(0);

    // A full disk at the final flush.
    w().Button2Click();
    ASSERT_TRUE(Settings.Recording);
    RecordBlock(block.data(), 1000, false);
    {
        FullDisk full;
        w().Button3Click();
    }
    ASSERT_EQ(closer.texts().size(), 2u);
    EXPECT_TRUE(closer.texts()[1].starts_with("Recording stopped: could not write to " + take.string()));
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(recorder::FileOpen());
    // The file keeps its valid header.
    EXPECT_EQ(fs::file_size(take), 44u);
}

// A typo at OK, while a take runs: each box is read and closed by the user while the sound and
// the take go on under it; nothing is stored, and the take ends whole when it is stopped.
TEST_F(FailureBoxes, ATypoAtSettingsOkWhileRecordingLeavesTheSoundAndTheTakeRunning)
{
    const std::string before = store.read();
    testsupport::DeviceDriver driver(device, kTwiceRealTimeMs);
    const fs::path take = StartTake();
    ASSERT_TRUE(Settings.Recording);
    s().Spawn();
    s().rb22050->click();
    for (const char* typed : {"1 000", "12x", "1001", "0"}) {
        s().edtBufferSize->setText(typed);
        const double growing = recorder::RecordTime();
        s().btnOK->click();
        // The box was open for a while, and the take grew under it.
        EXPECT_GT(recorder::RecordTime(), growing) << typed;
        EXPECT_TRUE(Settings.Recording);
        EXPECT_TRUE(w().Button3->isEnabled());
        EXPECT_FALSE(w().Stopping);
        EXPECT_TRUE(program->waves->InputDevice.set);
        EXPECT_TRUE(s().isVisible());
        EXPECT_EQ(s().focusWidget(), s().edtBufferSize);
    }
    EXPECT_EQ(closer.texts(), (std::vector<std::string>{"'1 000' is not a valid integer value.",
                                                        "'12x' is not a valid integer value.",
                                                        "Buffer size must be divisible by two",
                                                        "Buffer size must be an even number of bytes from 2 to 22048 "
                                                        "at 22050 Hz"}));
    EXPECT_FALSE(report::TerminationRequested());
    EXPECT_EQ(store.read(), before);
    EXPECT_EQ(Settings.SampleRate, 44100u);
    EXPECT_TRUE(program->waves->buffersAllocated() > program->waves->buffersReleased());

    // Cancel, then stop the take: it is whole, sizes and all.
    s().btnCancel->click();
    w().Button3Click();
    std::ifstream in(take, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 44u);
    const uint32_t data = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t(bytes[43]) << 24;
    EXPECT_EQ(data, bytes.size() - 44);
    EXPECT_EQ(data % 1000, 0u);
    EXPECT_GT(data, 0u);
}

// Turns the event loop until done, or fails after a while.
void RunEventsUntil(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// The folder of a running take is deleted: the writer thread notices at its next flush,
// writes the take anew at the same path and says where in a box, queued to the UI thread,
// while the sound and the take go on.
TEST_F(FailureBoxes, ATakeWhoseFolderIsDeletedGoesOnInANewFileAndSaysWhere)
{
    fs::create_directories(store.root() / "takes");
    testsupport::DeviceDriver driver(device, kTwiceRealTimeMs);
    const fs::path take = StartTake("takes/take.wav");
    ASSERT_TRUE(Settings.Recording);
    RunEventsUntil([&] { return fs::file_size(take) > 44; });
    fs::remove_all(store.root() / "takes");
    RunEventsUntil([&] { return !closer.texts().empty(); });
    EXPECT_EQ(closer.texts(), std::vector<std::string>{"The file " + take.string() +
                                                       " was removed or moved while recording. Vobblix wrote the "
                                                       "whole take so far to " + take.string() +
                                                       " again and records on."});
    EXPECT_TRUE(Settings.Recording);
    EXPECT_TRUE(w().Button3->isEnabled());
    const double recorded = recorder::RecordTime();
    RunEventsUntil([&] { return recorder::RecordTime() > recorded + 0.5; });
    w().Button3Click();
    // The new file holds the take from its first second on: more than what came after.
    const auto samples = testsupport::ReadWav(take);
    EXPECT_GT(samples.size(), size_t(44100 * (recorded + 0.5)));
    EXPECT_EQ(samples.size() % 500, 0u);
}

// A settings OK whose save fails must not announce a restart, stop the sound or end a take:
// the error is shown, the window stays with what was typed, and a second OK once the disk
// has room goes through, finishing the take first.
TEST_F(FailureBoxes, SettingsOkWhoseSaveFailsKeepsTheSoundTheTakeTheWindowAndTheValuesTyped)
{
    const std::string before = store.read();
    testsupport::DeviceDriver driver(device, kTwiceRealTimeMs);
    s().Spawn();
    s().rb22050->click();
    s().edtBufferSize->setText("2000");
    {
        FullDisk full;
        s().btnOK->click();
    }
    EXPECT_EQ(closer.texts(), std::vector<std::string>{"Failed to set data for 'Sample_rate'"});
    EXPECT_FALSE(report::TerminationRequested());
    EXPECT_TRUE(s().isVisible());
    EXPECT_TRUE(s().rb22050->isChecked());
    EXPECT_EQ(s().edtBufferSize->text(), "2000");
    EXPECT_EQ(store.read(), before);
    EXPECT_FALSE(w().Stopping);
    EXPECT_TRUE(program->waves->InputDevice.set);

    // The store gone, while a take runs: its own report, and the sound, the take and the
    // window stay. (A full disk would end the take as well, for its own reason.)
    const fs::path take = StartTake();
    ASSERT_TRUE(Settings.Recording);
    fs::remove(store.file());
    s().btnOK->click();
    ASSERT_EQ(closer.texts().size(), 2u);
    EXPECT_EQ(closer.texts()[1], "Could not open a required registry key. Please try to restart the application!");
    EXPECT_FALSE(report::TerminationRequested());
    EXPECT_TRUE(s().isVisible());
    EXPECT_TRUE(Settings.Recording);
    EXPECT_TRUE(w().Button3->isEnabled());
    EXPECT_FALSE(w().Stopping);

    store.write(before);
    s().btnOK->click();
    ASSERT_EQ(closer.texts().size(), 3u);
    EXPECT_EQ(closer.texts()[2], "You need to restart the application for the new settings to take effect.");
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_EQ(toml::parse_file(store.file().string())["memBlockLength"].value<int64_t>(), 2000);
    // The sound stopped, and the take was finished as the close finishes it.
    EXPECT_FALSE(program->waves->InputDevice.set);
    EXPECT_FALSE(Settings.Recording);
    EXPECT_FALSE(w().Button3->isEnabled());
    EXPECT_FALSE(recorder::FileOpen());
    EXPECT_EQ(fs::file_size(take) % 1000, 44u);
    // Only now does the record hold what the next start uses.
    EXPECT_EQ(Settings.SampleRate, 22050u);
    EXPECT_EQ(Settings.memBlockLength, 2000u);
}

// A damaged store at start is one box: the file, the line, where it was kept, and that the
// defaults are used; no "Failed to get data" after it.
class DamagedStoreAtStart : public FailureBoxes {
protected:
    DamagedStoreAtStart() { store.write("Sample_rate = 44100\n[[[\n"); }
};

// The box comes once the sound plays, from the event loop: open during the start, it would
// hold the devices shut until it is closed.
TEST_F(DamagedStoreAtStart, IsReportedOnceWhileTheSoundAlreadyPlays)
{
    EXPECT_TRUE(device.inputStarted());
    EXPECT_TRUE(closer.texts().empty());
    EXPECT_TRUE(QTest::qWaitFor([this] { return !closer.texts().empty(); }, 5000));
    ASSERT_EQ(closer.texts().size(), 1u);
    const std::string& said = closer.texts()[0];
    EXPECT_TRUE(said.starts_with("The settings file '" + store.file().string() + "' could not be read (line 2")) << said;
    EXPECT_NE(said.find("It was kept as '" + store.file().string() + ".broken', and Vobblix started with the default "
                        "settings."),
              std::string::npos)
        << said;
    EXPECT_EQ(Settings.SampleRate, 44100u);
    EXPECT_TRUE(program->waves->InputDevice.set);
}

// No server and no sound card: one box says so, and the program stays usable without sound.
class NoSoundAtStart : public FailureBoxes {
protected:
    NoSoundAtStart()
    {
        device.fail(wave::Call::OutOpen, 2);
        device.fail(wave::Call::InOpen, 2);
    }
};

TEST_F(NoSoundAtStart, IsOneMessageAndTheWindowsStillWork)
{
    EXPECT_EQ(closer.texts(), std::vector<std::string>{kNoSoundDeviceText});
    EXPECT_TRUE(w().isVisible());
    w().TrackBar2->setValue(40);
    EXPECT_DOUBLE_EQ(FreqOffset, 0.40);
    s().Spawn();
    EXPECT_TRUE(s().isVisible());
    s().btnCancel->click();
    EXPECT_FALSE(s().isVisible());
    program->about->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(program->about.get()));
    program->about->close();
    // A take of no sound starts and stops like any other.
    const fs::path take = StartTake();
    w().Button3Click();
    EXPECT_EQ(fs::file_size(take), 44u);
    // A box opens where it is raised and holds its caller until the closer presses OK.
    QCoreApplication::processEvents();
    EXPECT_EQ(closer.texts().size(), 1u);
}

// The pedal setup's save finds the store gone and asks the program to end: the end goes
// through the stop sequence, so the devices are closed before the stream is destroyed.
TEST_F(FailureBoxes, ATerminationRequestWhileTheSoundRunsClosesTheDevicesFirst)
{
    report::InstallTerminationHandler(&EndThroughTheStopSequence);
    device.completeInput();
    fs::remove(store.file());
    {
        testsupport::DeviceDriver driver(device);
        program->joySetup->Spawn();
        program->joySetup->btnOK->click();
    }
    EXPECT_EQ(closer.texts(),
              std::vector<std::string>{"Could not open a required registry key. Please try to restart the application!"});
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_TRUE(w().Stopping);
    EXPECT_FALSE(program->waves->InputDevice.set);
    EXPECT_FALSE(program->waves->OutputDevice.set);
    EXPECT_EQ(program->waves->buffersAllocated(), program->waves->buffersReleased());
    EXPECT_FALSE(fs::exists(store.file()));
}

// The close's save fails on a full disk: its box is shown once the sound has stopped, and the
// close still ends; the store keeps what it had.
TEST_F(FailureBoxes, ACloseWhoseSaveFailsShowsItAndStillEnds)
{
    const std::string before = store.read();
    w().TrackBar2->setValue(70);
    {
        testsupport::DeviceDriver driver(device);
        FullDisk full;
        w().close();
    }
    EXPECT_EQ(closer.texts(), std::vector<std::string>{"Failed to set data for 'Sample_rate'"});
    EXPECT_FALSE(program->waves->InputDevice.set);
    EXPECT_FALSE(w().isVisible());
    EXPECT_EQ(store.read(), before);
}

} // namespace
