// The real executable, headless: the offscreen platform and SDL's disk driver. A known
// signal goes in; after SIGTERM the played sound is the filtered input and the store holds
// the saved settings.

#include "support/Filtered.h"
#include "support/PlayedInOrder.h"
#include "support/Spawn.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using testsupport::Filtered;
using testsupport::Signal;

// The disk driver's files and the store under dir, for the real program.
testsupport::Launch DiskLaunch(const fs::path& dir)
{
    testsupport::Launch launch;
    launch.configHome = dir / "config";
    launch.environment = {{"VOBBLIX_AUDIO", "sdl"},
                          {"SDL_AUDIODRIVER", "disk"},
                          {"SDL_DISKAUDIOFILEIN", (dir / "in.raw").string()},
                          {"SDL_DISKAUDIOFILE", (dir / "out.raw").string()}};
    return launch;
}

// Starts the real program headless in dir: capture from in.raw, playback to out.raw, the
// store under config/.
pid_t Spawn(const fs::path& dir)
{
    return testsupport::SpawnProgram(VOBBLIX_EXE, DiskLaunch(dir));
}

// Starts the program with the given store on the disk driver, waits until it plays, ends it
// with SIGTERM and gives back its exit status, or -1 when it hung.
int RunAndTerminate(const fs::path& dir, const std::string& store)
{
    fs::create_directories(dir / "config/Drenmarq");
    std::ofstream(dir / "config/Drenmarq/Vobblix 1.1.toml") << store;
    std::ofstream(dir / "in.raw") << std::string(44100, '\x10');
    const pid_t child = Spawn(dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    int status = 0;
    while (fs::file_size(dir / "out.raw", ec) < 8820 || ec) {
        if (::waitpid(child, &status, WNOHANG) == child)
            return status;
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child, SIGTERM);
    return testsupport::WaitForExit(child, std::chrono::seconds(20));
}

// Whatever buffer size a store holds, the next start neither crashes nor hangs, and the close
// saves the size it played with: the stored one when the sound can use it, else the default.
TEST(Program, StartsAndStopsOnAnyStoredBufferSize)
{
    const std::pair<const char*, const char*> sizes[] = {
        {"0", "1000"}, {"1001", "1000"}, {"4294967295", "1000"}, {"2000000000", "1000"}, {"2", "2"}, {"44098", "44098"}};
    for (const auto& [size, used] : sizes) {
        SCOPED_TRACE(size);
        std::string tmpl = (fs::temp_directory_path() / "vobblix-size-XXXXXX").string();
        const fs::path dir = ::mkdtemp(tmpl.data());
        const std::string store = std::string("Sample_rate = 44100\nmemBlockLength = ") + size +
                                  "\nUsingMouse = 1\nPedalDevice = 0\nInvertPedal = 0\nPriority = 0\n"
                                  "PedalAxis = 1\nLastFreqofs = 10\nLastResonance = 90\nLastPAF = 100\n";
        const int status = RunAndTerminate(dir, store);
        ASSERT_NE(status, -1) << "the program hung";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        const auto saved = toml::parse_file((dir / "config/Drenmarq/Vobblix 1.1.toml").string());
        EXPECT_EQ(saved["memBlockLength"].value<std::string_view>(), std::nullopt);
        EXPECT_EQ(std::to_string(saved["memBlockLength"].value<int64_t>().value_or(-1)), used);
        fs::remove_all(dir);
    }
}

// Plays the input through the program started in dir (with the store there, if any), waits
// until the whole input and a margin were played, ends it with SIGTERM and gives back what
// it played.
std::vector<int16_t> PlayThrough(const fs::path& dir, const std::vector<int16_t>& input)
{
    std::ofstream(dir / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size() * 2));
    const pid_t child = Spawn(dir);
    EXPECT_GE(child, 0);
    if (child < 0)
        return {};

    // The program plays in real time: wait until the whole signal and a margin were played.
    const auto wanted = std::uintmax_t(input.size() * 2 + 44100);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    for (;;) {
        std::error_code ec;
        if (fs::file_size(dir / "out.raw", ec) >= wanted && !ec)
            break;
        if (::waitpid(child, &status, WNOHANG) == child) {
            ADD_FAILURE() << "the program ended by itself, status " << status;
            return {};
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the program played too little";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(child, SIGTERM);
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::ifstream in(dir / "out.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> played(bytes.size() / 2);
    std::memcpy(played.data(), bytes.data(), played.size() * 2);
    return played;
}

// The first `count` samples of `expected`, in order, behind silence; in between only inserted
// silence, and runs a few samples longer or shorter where the output followed the input's
// clock (SDL's period for 1000-byte buffers is 256), which stay a part of the whole.
void ExpectInOrderBehindSilence(const std::vector<int16_t>& played, const std::vector<int16_t>& expected, size_t count)
{
    const auto match = testsupport::MatchPlayed(played, 0, expected, count, 256);
    EXPECT_EQ(match.fault, "");
    EXPECT_EQ(match.matched, count);
    EXPECT_LE(match.followed, count / 3);
}

TEST(Program, PlaysTheFilteredInputAndSavesOnSigterm)
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-e2e-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    const auto input = Signal(44100);
    auto padded = input;
    padded.resize(input.size() + 22050, 0);
    ExpectInOrderBehindSilence(PlayThrough(dir, input), Filtered(padded), input.size());

    const auto store = toml::parse_file((dir / "config/Drenmarq/Vobblix 1.1.toml").string());
    EXPECT_EQ(store["InvertPedal"].value<int64_t>(), 1);
    EXPECT_EQ(store["LastFreqofs"].value<int64_t>(), 10);
    EXPECT_EQ(store["LastResonance"].value<int64_t>(), 90);
    EXPECT_EQ(store["Sample_rate"].value<int64_t>(), 44100);
    EXPECT_EQ(store["EffectOn"].value<int64_t>(), 1);
    fs::remove_all(dir);
}

// Started with the effect off, the program plays what it captured, sample for sample, and
// keeps it off.
TEST(Program, WithTheEffectOffPlaysTheInputSampleForSample)
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-off-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    fs::create_directories(dir / "config/Drenmarq");
    std::ofstream(dir / "config/Drenmarq/Vobblix 1.1.toml")
        << "Sample_rate = 44100\nmemBlockLength = 1000\nUsingMouse = 1\nPedalDevice = 0\nInvertPedal = 0\n"
           "Priority = 0\nPedalAxis = 1\nLastFreqofs = 10\nLastResonance = 90\nLastPAF = 100\nEffectOn = 0\n";
    const auto input = Signal(44100);
    ExpectInOrderBehindSilence(PlayThrough(dir, input), input, input.size());
    const auto store = toml::parse_file((dir / "config/Drenmarq/Vobblix 1.1.toml").string());
    EXPECT_EQ(store["EffectOn"].value<int64_t>(), 0);
    fs::remove_all(dir);
}

} // namespace
