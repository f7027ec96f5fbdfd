// "Start record" and "Stop record" on the real main window with a scripted save dialog; a
// recording through SDL's disk driver; and a recording process killed outright.

#include "support/TempStore.h"
#include "support/Wav.h"

#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "platform/joystick/SdlJoystick.h"
#include "support/PlayedInOrder.h"
#include "support/ScriptedWave.h"
#include "platform/wave/Backend.h"
#include "recorder/SaveToFile.h"
#include "ui/Program.h"
#include "ui/SaveDialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWav;
using testsupport::TempStore;

class ScriptedDialog final : public SaveDialog {
public:
    std::optional<std::string> answer;
    bool overwrite = false;
    std::string shownFolder, shownName;
    std::vector<std::string> askedAbout;

    std::optional<std::string> Execute(const std::string& initialDir, const std::string& proposedName) override
    {
        shownFolder = initialDir;
        shownName = proposedName;
        return answer;
    }
    bool ConfirmOverwrite(const std::string& path) override
    {
        askedAbout.push_back(path);
        return overwrite;
    }
};

class Recording : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = store.root() / "takes";
        fs::create_directories(folder);
        program = std::make_unique<Program>(device, joysticks);
        auto d = std::make_unique<ScriptedDialog>();
        dialog = d.get();
        program->main->setSaveDialog(std::move(d));
        Settings.LastPATH = folder.string();
    }
    void TearDown() override
    {
        if (program->main->Button3->isEnabled())
            program->main->Button3Click();
        // Capture never started, so the stop hands every queued buffer back at once.
        program->main->close();
        program.reset();
    }
    void Touch(const std::string& name) { std::ofstream(folder / name) << "x"; }
    TfrmMain& w() { return *program->main; }

    TempStore store;
    report::RecordingSink sink;
    wave::ScriptedWaveService device;
    joystick::SdlJoystickService joysticks;
    std::unique_ptr<Program> program;
    ScriptedDialog* dialog = nullptr;
    fs::path folder;
};

TEST_F(Recording, ProposesTheFirstFreeNumberInTheLastFolder)
{
    Touch("Vobblix-1.wav");
    Touch("Vobblix-3.wav");
    w().Button2Click();
    EXPECT_EQ(dialog->shownFolder, folder.string());
    EXPECT_EQ(dialog->shownName, "Vobblix-2.wav");

    // A folder of a candidate's name does not count as taken.
    fs::create_directory(folder / "Vobblix-2.wav");
    w().Button2Click();
    EXPECT_EQ(dialog->shownName, "Vobblix-2.wav");

    // All taken: the last proposal stands, or the path chosen last time.
    for (int n = 1; n <= 100; ++n)
        if (!fs::exists(folder / ("Vobblix-" + std::to_string(n) + ".wav")))
            Touch("Vobblix-" + std::to_string(n) + ".wav");
    fs::remove(folder / "Vobblix-2.wav");
    Touch("Vobblix-2.wav");
    w().Button2Click();
    EXPECT_EQ(dialog->shownName, "Vobblix-2.wav");
    dialog->answer = (folder / "mine.wav").string();
    dialog->overwrite = true;
    w().Button2Click();
    w().Button3Click();
    w().Button2Click();
    EXPECT_EQ(dialog->shownName, (folder / "mine.wav").string());
}

TEST_F(Recording, TheExtensionMustBeExactlyLowerCaseWav)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Take.WAV", "Take.WAV.wav"}, {"take", "take.wav"}, {"take.mp3", "take.mp3.wav"},
        {"take.wav", "take.wav"},     {"my.takes/riff", "my.takes/riff.wav"},
    };
    fs::create_directories(folder / "my.takes");
    for (const auto& [chosen, recorded] : cases) {
        SCOPED_TRACE(chosen);
        dialog->answer = (folder / chosen).string();
        w().Button2Click();
        EXPECT_EQ(Settings.RecordFileName, (folder / recorded).string());
        EXPECT_TRUE(Settings.Recording);
        EXPECT_FALSE(w().Button2->isEnabled());
        EXPECT_TRUE(w().Button3->isEnabled());
        w().Button3Click();
        EXPECT_EQ(fs::file_size(folder / recorded), 44u);
    }
    EXPECT_EQ(Settings.LastPATH, (folder / "my.takes").string());
}

TEST_F(Recording, AnAppendedNameIsNotReplacedWithoutConsent)
{
    std::ofstream(folder / "riff.wav") << "keep me";
    fs::create_directories(folder / "elsewhere");
    std::ofstream(folder / "elsewhere/riff.wav") << "keep me";
    dialog->answer = (folder / "elsewhere/riff").string();
    w().Button2Click();
    // A choice the user backed out of does not move the proposed folder.
    EXPECT_EQ(Settings.LastPATH, folder.string());
    EXPECT_EQ(dialog->askedAbout, std::vector<std::string>{(folder / "elsewhere/riff.wav").string()});
    dialog->askedAbout.clear();
    dialog->answer = (folder / "riff").string();
    w().Button2Click();
    EXPECT_EQ(dialog->askedAbout, std::vector<std::string>{(folder / "riff.wav").string()});
    EXPECT_FALSE(Settings.Recording);
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_EQ(fs::file_size(folder / "riff.wav"), 7u);
}

TEST_F(Recording, CancelChangesNothingAndAFailedCreationReturnsToIdleAtOnce)
{
    Settings.LastPATH = "/somewhere/else";
    w().Button2Click();
    EXPECT_FALSE(Settings.Recording);
    EXPECT_EQ(Settings.LastPATH, "/somewhere/else");
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(w().Button3->isEnabled());

    const std::string target = (folder / "no-such-folder/take.wav").string();
    dialog->answer = target;
    w().Button2Click();
    EXPECT_EQ(sink.shown(), (std::vector<report::Shown>{
                                {report::Kind::Unhandled, "Vobblix",
                                 "Cannot create file " + target + ": No such file or directory."}}));
    EXPECT_FALSE(Settings.Recording);
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(w().Button3->isEnabled());
    EXPECT_EQ(Settings.LastPATH, (folder / "no-such-folder").string());
}

TEST_F(Recording, TheTimeLabelFollowsTheRecordingAndAFailureReturnsToIdle)
{
    dialog->answer = (folder / "t.wav").string();
    w().Button2Click();
    std::vector<int16_t> block(500, 100);
    for (int i = 0; i < 89; ++i)
        RecordBlock(block.data(), 1000, false);
    recorder::WriteQueued();
    w().PickUpAudioTexts();
    EXPECT_EQ(w().lblrectime->text(), "Record Time: 1.01 Seconds.");
    w().Button3Click();
    EXPECT_EQ(w().lblrectime->text(), "");
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(w().Button3->isEnabled());

    // A recording that ended by itself (full disk) brings the window back to idle.
    w().Button2Click();
    RecordBlock(block.data(), 1000, false);
    Settings.Recording = false;
    recorder::EndedByItself = recorder::Ended::WriteFailed;
    w().PickUpAudioTexts();
    EXPECT_TRUE(w().Button2->isEnabled());
    EXPECT_FALSE(w().Button3->isEnabled());
    EXPECT_EQ(w().lblrectime->text(), "");
    EXPECT_FALSE(recorder::FileOpen());
}

void UseDiskDriver(const fs::path& dir, size_t inputSamples)
{
    std::vector<int16_t> input(inputSamples);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = int16_t(10000 * std::sin(double(i) * 0.031) + 3000 * std::sin(double(i) * 0.3));
    std::ofstream(dir / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size() * 2));
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILEIN", (dir / "in.raw").c_str(), 1);
    ::setenv("SDL_DISKAUDIOFILE", (dir / "out.raw").c_str(), 1);
}

void RunEventsUntil(const std::function<bool()>& done)
{
    QTimer tick;
    tick.start(20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

TEST(RecordingThroughSdl, TheRecordedSamplesAreThePlayedOnes)
{
    TempStore store;
    report::RecordingSink sink;
    UseDiskDriver(store.root(), 44100 * 3);
    const fs::path take = store.root() / "take.wav";
    uint64_t adjustments = 0;
    {
        auto soundEngine = wave::OpenSdl();
        auto& sound = *soundEngine;
        joystick::SdlJoystickService joysticks;
        Program program(sound, joysticks);
        auto dialog = std::make_unique<ScriptedDialog>();
        dialog->answer = take.string();
        program.main->setSaveDialog(std::move(dialog));
        program.main->show();
        program.main->Button2Click();
        RunEventsUntil([&] { return fs::file_size(take) > 44 + 88200 * 2; });
        program.main->Button3Click();
        program.main->close();
        adjustments = sound.counters().clockAdjustments;
    }
    const auto recorded = ReadWav(take);
    ASSERT_GE(recorded.size(), 88200u);
    std::ifstream in(store.root() / "out.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> played(bytes.size() / 2);
    std::memcpy(played.data(), bytes.data(), played.size() * 2);
    // The recording started mid-stream: find its first sample, then every one in order, with
    // only inserted silence in between, or runs where the output followed the input's clock.
    size_t i = 0;
    while (i + 1 < played.size() && !(played[i] == recorded[0] && played[i + 1] == recorded[1]))
        ++i;
    const auto match = testsupport::MatchPlayed(played, i, recorded, recorded.size(), 256);
    EXPECT_EQ(match.fault, "");
    EXPECT_EQ(match.matched, recorded.size());
    EXPECT_LE(match.followed, adjustments * (256 + 8));
    EXPECT_TRUE(sink.shown().empty());
}

// Run only as the child of the next test: records until it is killed.
TEST(RecordingChild, RecordsUntilKilled)
{
    const char* target = std::getenv("VOBBLIX_RECORD_CHILD");
    if (!target)
        GTEST_SKIP() << "runs as the child of RecordingKilled";
    auto soundEngine = wave::OpenSdl();
    auto& sound = *soundEngine;
    joystick::SdlJoystickService joysticks;
    Program program(sound, joysticks);
    auto dialog = std::make_unique<ScriptedDialog>();
    dialog->answer = target;
    program.main->setSaveDialog(std::move(dialog));
    program.main->show();
    program.main->Button2Click();
    RunEventsUntil([] { return false; });
}

TEST(RecordingKilled, TheFileHoldsEverythingFlushedAsAValidWav)
{
    TempStore store;
    UseDiskDriver(store.root(), 44100 * 20);
    const fs::path take = store.root() / "killed.wav";
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("VOBBLIX_RECORD_CHILD", take.c_str(), 1);
        ::execl(self, self, "--gtest_filter=RecordingChild.RecordsUntilKilled", nullptr);
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ec;
    while (fs::file_size(take, ec) < 44 + 88200 * 2 + 1000 || ec) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    std::ifstream in(take, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 44u);
    const uint32_t riff = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | uint32_t(bytes[7]) << 24;
    const uint32_t data = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t(bytes[43]) << 24;
    EXPECT_EQ(riff, bytes.size() - 8);
    EXPECT_EQ(data, bytes.size() - 44);
    EXPECT_EQ(data % 1000, 0u);
    EXPECT_EQ(ReadWav(take).size(), data / 2);
}

} // namespace
