// The real executable's ways out, headless on SDL's disk driver: signals while a start-up
// box is open or while a failed save holds the close, a reader that went away, no standard
// error at all, and a second start on the same store.

#include "support/Spawn.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::Launch;

const std::string kStore = "Sample_rate = 44100\nmemBlockLength = 1000\nUsingMouse = 1\nPedalDevice = 0\n"
                           "InvertPedal = 0\nPriority = 0\nPedalAxis = 1\nLastFreqofs = 37\nLastResonance = 90\n"
                           "LastPAF = 150\nLastPATH = \"/home/ann/takes\"\n";

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "vobblix-life-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        std::ofstream(dir / "in.raw") << std::string(88200, '\x10');
    }
    void TearDown() override { fs::remove_all(dir); }

    Launch Disk() const
    {
        Launch launch;
        launch.configHome = dir / "config";
        launch.stderrFile = dir / "stderr.txt";
        launch.environment = {{"VOBBLIX_AUDIO", "sdl"},
                              {"SDL_AUDIODRIVER", "disk"},
                              {"SDL_DISKAUDIOFILEIN", (dir / "in.raw").string()},
                              {"SDL_DISKAUDIOFILE", (dir / "out.raw").string()}};
        return launch;
    }
    fs::path StoreFile() const { return dir / "config/Drenmarq/Vobblix 1.1.toml"; }
    std::string Read(const fs::path& p) const
    {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Until the window is up and the sound flows (the program is past its start-up).
    bool WaitUntilPlaying(pid_t child) const
    {
        const auto end = std::chrono::steady_clock::now() + 30s;
        std::error_code ec;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child)
                return false;
            if (fs::file_size(dir / "out.raw", ec) >= 8820 && !ec)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    static bool EndedWell(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

    fs::path dir;
};

// A start-up box is open (a buffer size that cannot sound; a store that does not parse) when
// a logout sends SIGTERM: the box closes, the start-up finishes, and the program ends in
// order, storing what it read (the size it used in place of the one it could not) and not
// default slider positions.
TEST_F(Lifecycle, ASignalWhileAStartUpBoxIsOpenEndsInOrderAndKeepsTheStore)
{
    std::string silent = kStore;
    silent.replace(silent.find("memBlockLength = 1000"), 21, "memBlockLength = 0");
    testsupport::WriteStore(dir / "config", silent);
    pid_t child = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    ASSERT_TRUE(testsupport::WaitForText(dir / "stderr.txt", "holds memBlockLength = 0,", 30s));
    int status = testsupport::Terminate(child, 20s);
    EXPECT_TRUE(EndedWell(status)) << status;
    auto saved = toml::parse_file(StoreFile().string());
    EXPECT_EQ(saved["memBlockLength"].value<int64_t>(), 1000);
    EXPECT_EQ(saved["LastFreqofs"].value<int64_t>(), 37);
    EXPECT_EQ(saved["LastPAF"].value<int64_t>(), 150);
    EXPECT_EQ(saved["LastPATH"].value<std::string>(), "/home/ann/takes");

    const std::string broken = "Sample_rate = 22050\nLastFreqofs = 37\n[[[\n";
    testsupport::WriteStore(dir / "config", broken);
    child = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    ASSERT_TRUE(testsupport::WaitForText(dir / "stderr.txt", "could not be read", 30s));
    status = testsupport::Terminate(child, 20s);
    EXPECT_TRUE(EndedWell(status)) << status;
    EXPECT_EQ(Read(StoreFile().string() + ".broken"), broken);
    saved = toml::parse_file(StoreFile().string());
    EXPECT_EQ(saved["Sample_rate"].value<int64_t>(), 44100);
    EXPECT_EQ(saved["memBlockLength"].value<int64_t>(), 1000);
}

// The close's save finds the store gone and shows its box; a second signal (the logout
// insisting) ends the program at once instead of being ignored.
TEST_F(Lifecycle, ASecondSignalEndsACloseThatAFailedSaveHolds)
{
    testsupport::WriteStore(dir / "config", kStore);
    const pid_t child = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    ASSERT_TRUE(WaitUntilPlaying(child));
    fs::remove(StoreFile());
    ::kill(child, SIGTERM);
    ASSERT_TRUE(testsupport::WaitForText(dir / "stderr.txt", "Could not open a required registry key", 20s));
    const int status = testsupport::Terminate(child, 10s);
    EXPECT_TRUE(EndedWell(status)) << status;
    EXPECT_FALSE(fs::exists(StoreFile()));
}

// `vobblix 2>&1 | head -1`: the reader of standard error is gone before the first line. And a
// program started with no standard error at all must not write its lines into its files.
TEST_F(Lifecycle, ABrokenPipeOrAClosedStandardErrorDoesNotKillOrSpoilAnything)
{
    testsupport::WriteStore(dir / "config", kStore);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    Launch launch = Disk();
    launch.stderrFile.clear();
    launch.stderrFd = pipeFds[1];
    // Neither PipeWire nor JACK answers, so the choice of SDL is told on standard error.
    launch.environment.erase(launch.environment.begin());
    launch.environment.push_back({"PIPEWIRE_REMOTE", "vobblix-test-nobody-here"});
    launch.environment.push_back({"JACK_DEFAULT_SERVER", "vobblix-test-nobody-here"});
    launch.environment.push_back({"PULSE_SERVER", "unix:/nonexistent/vobblix-test-nobody-here"});
    ::close(pipeFds[0]);
    pid_t child = testsupport::SpawnProgram(VOBBLIX_EXE, launch);
    ::close(pipeFds[1]);
    const bool playing = WaitUntilPlaying(child);
    int status = testsupport::Terminate(child);
    ASSERT_TRUE(playing);
    EXPECT_TRUE(EndedWell(status)) << (WIFSIGNALED(status) ? "killed by signal " : "status ")
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : status);

    fs::remove(dir / "out.raw");
    launch = Disk();
    launch.stderrFile.clear();
    launch.closeStderr = true;
    std::string silent = kStore;
    // A start-up report goes to standard error first.
    silent.replace(silent.find("memBlockLength = 1000"), 21, "memBlockLength = 1");
    testsupport::WriteStore(dir / "config", silent);
    child = testsupport::SpawnProgram(VOBBLIX_EXE, launch);
    std::this_thread::sleep_for(2s);
    status = testsupport::Terminate(child);
    EXPECT_TRUE(EndedWell(status)) << status;
    const std::string stored = Read(StoreFile());
    EXPECT_EQ(stored.find("vobblix:"), std::string::npos) << stored;
    EXPECT_EQ(toml::parse(stored)["LastFreqofs"].value<int64_t>(), 37);
}

// A second start on the same store says so and ends, touching nothing; the first plays on.
TEST_F(Lifecycle, ASecondStartSaysVobblixIsRunningAndLeavesTheStoreAlone)
{
    testsupport::WriteStore(dir / "config", kStore);
    const pid_t first = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    ASSERT_TRUE(WaitUntilPlaying(first));
    const std::string before = Read(StoreFile());
    const auto stamp = fs::last_write_time(StoreFile());

    Launch second = Disk();
    second.stderrFile = dir / "second.txt";
    second.environment.push_back({"SDL_DISKAUDIOFILE", (dir / "second.raw").string()});
    const pid_t other = testsupport::SpawnProgram(VOBBLIX_EXE, second);
    ASSERT_TRUE(testsupport::WaitForText(dir / "second.txt", "vobblix: information: Vobblix is already running.", 30s));
    // Its box is open; the user's answer (or a logout) ends it.
    EXPECT_TRUE(EndedWell(testsupport::Terminate(other, 10s)));
    EXPECT_EQ(Read(StoreFile()), before);
    EXPECT_EQ(fs::last_write_time(StoreFile()), stamp);
    EXPECT_FALSE(fs::exists(dir / "second.raw"));

    int status = 0;
    EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0) << "the first program ended";
    EXPECT_TRUE(EndedWell(testsupport::Terminate(first)));
    // Once the first has gone, a new start is the only one again.
    fs::remove(dir / "out.raw");
    const pid_t again = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    EXPECT_TRUE(WaitUntilPlaying(again));
    EXPECT_TRUE(EndedWell(testsupport::Terminate(again)));
}

// Ctrl+C, a logout or a hang-up at any moment of the start ends the program in order: opened
// and not yet started, starting, or just started, never a hang; the next start then runs.
TEST_F(Lifecycle, ASignalAtAnyMomentOfTheStartEndsTheProgram)
{
    testsupport::WriteStore(dir / "config", kStore);
    const auto failures = testsupport::SignalsThroughTheStart(VOBBLIX_EXE, Disk());
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    fs::remove(dir / "out.raw");
    const pid_t again = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    EXPECT_TRUE(WaitUntilPlaying(again));
    EXPECT_TRUE(EndedWell(testsupport::Terminate(again)));
}

// Time the program did not run (stopped by a signal, a laptop's sleep) had no sound: it is
// counted and said, with how long it was, and the program plays on.
TEST_F(Lifecycle, TimeTheProgramDidNotRunIsSaid)
{
    testsupport::WriteStore(dir / "config", kStore);
    const pid_t child = testsupport::SpawnProgram(VOBBLIX_EXE, Disk());
    ASSERT_TRUE(WaitUntilPlaying(child));
    ::kill(child, SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    ::kill(child, SIGCONT);
    EXPECT_TRUE(testsupport::WaitForText(dir / "stderr.txt", "vobblix: warning: Vobblix did not run for ", 10s))
        << Read(dir / "stderr.txt");
    const std::string said = Read(dir / "stderr.txt");
    const auto at = said.find("did not run for ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::strtod(said.c_str() + at + 16, nullptr), 1.5, 0.5) << said;
    EXPECT_TRUE(EndedWell(testsupport::Terminate(child)));
}

} // namespace
