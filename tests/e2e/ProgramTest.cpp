// The real executable, headless: the offscreen platform and SDL's disk driver. A known
// signal goes in; after SIGTERM the played sound is the filtered input and the store holds
// the saved settings.

#include "audio/Waves.h"
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
#include <optional>
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

// Starts the program in dir (with the store there, if any) playing the input, its standard
// error into the file given when not empty.
pid_t StartPlaying(const fs::path& dir, const std::vector<int16_t>& input, const fs::path& stderrFile = {})
{
    std::ofstream(dir / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size() * 2));
    auto launch = DiskLaunch(dir);
    launch.stderrFile = stderrFile;
    return testsupport::SpawnProgram(VOBBLIX_EXE, launch);
}

// Waits until the program started by StartPlaying played the whole input and a margin, ends
// it with SIGTERM and gives back what it played.
std::vector<int16_t> FinishPlaying(const fs::path& dir, pid_t child, size_t inputSamples)
{
    EXPECT_GE(child, 0);
    if (child < 0)
        return {};
    // The program plays in real time: wait until the whole signal and a margin were played.
    const auto wanted = std::uintmax_t(inputSamples * 2 + 44100);
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

// Plays the input through the program started in dir and gives back what it played.
std::vector<int16_t> PlayThrough(const fs::path& dir, const std::vector<int16_t>& input)
{
    return FinishPlaying(dir, StartPlaying(dir, input), input.size());
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

// Every row of the first stores, in turn missing, negative and of another type, in a store
// whose sliders are away from their defaults: the sound plays at once, filtered at the values
// used (the default for that row, the store's for every other); one box says it; the store
// the close saves holds every row.
TEST(Program, ARowThatCannotBeUsedNeverMutesTheSound)
{
    struct Row {
        const char* name;
        const char* stored;
        int64_t used;
    };
    const Row rows[] = {
        {"Sample_rate", "44100", 44100}, {"memBlockLength", "1000", 1000}, {"UsingMouse", "1", 1},
        {"PedalDevice", "1", 0},         {"InvertPedal", "1", 0},          {"Priority", "0", 1},
        {"PedalAxis", "2", 1},           {"LastFreqofs", "30", 10},        {"LastResonance", "40", 90},
        {"LastPAF", "150", 100},         {"LastPATH", "\"/tmp\"", 0},
    };
    const auto input = Signal(11025);
    auto padded = input;
    padded.resize(input.size() + 22050, 0);
    // Missing, negative, and of another type: a text for a number, a number for the text.
    struct Variant {
        std::optional<std::string> number, text;
    };
    const Variant variants[] = {{std::nullopt, std::nullopt}, {"-1", "-1"}, {"\"7\"", "7"}};
    for (const auto& variant : variants) {
        // The rows' programs play side by side: each plays in real time.
        struct Run {
            const Row& row;
            fs::path dir;
            pid_t child;
        };
        std::vector<Run> runs;
        for (const auto& row : rows) {
            std::string tmpl = (fs::temp_directory_path() / "vobblix-row-XXXXXX").string();
            const fs::path dir = ::mkdtemp(tmpl.data());
            std::string store;
            for (const auto& r : rows)
                if (&r != &row)
                    store += std::string(r.name) + " = " + r.stored + "\n";
                else if (const auto& value = r.name == std::string("LastPATH") ? variant.text : variant.number)
                    store += std::string(r.name) + " = " + *value + "\n";
            testsupport::WriteStore(dir / "config", store);
            runs.push_back({row, dir, StartPlaying(dir, input, dir / "stderr.txt")});
        }
        for (const auto& run : runs) {
            const std::string name = run.row.name;
            SCOPED_TRACE(name + " = " + variant.number.value_or("(missing)"));
            const double offset = name == "LastFreqofs" ? 0.10 : 0.30;
            const double q = name == "LastResonance" ? 9.0 : 4.0;
            ExpectInOrderBehindSilence(FinishPlaying(run.dir, run.child, input.size()),
                                       testsupport::FilteredAt(padded, offset, q), input.size());

            std::ifstream err(run.dir / "stderr.txt");
            std::vector<std::string> boxes;
            for (std::string line; std::getline(err, line);)
                if (line.starts_with("vobblix: error: ") || line.starts_with("vobblix: information: "))
                    boxes.push_back(line);
            // A missing folder of the last take is no fault: it reads as none.
            const bool said = variant.number || name != "LastPATH";
            ASSERT_EQ(boxes.size(), said ? 1u : 0u) << (boxes.empty() ? "" : boxes[0]);
            if (said) {
                EXPECT_TRUE(boxes[0].starts_with("vobblix: error: Settings in ")) << boxes[0];
            }

            const auto saved = toml::parse_file((run.dir / "config/Drenmarq/Vobblix 1.1.toml").string());
            for (const auto& r : rows)
                EXPECT_TRUE(saved.contains(r.name)) << r.name;
            if (name == "LastPATH") {
                EXPECT_EQ(saved[name].value<std::string>(), "");
            } else {
                EXPECT_EQ(saved[name].value<int64_t>(), run.row.used);
            }
            EXPECT_EQ(saved["LastResonance"].value<int64_t>(), name == "LastResonance" ? 90 : 40);
            fs::remove_all(run.dir);
        }
    }
}

// No sound server and no sound card (SDL's ALSA driver over an empty configuration): one
// message says so, nothing else is said, and the program still ends in order and saves.
TEST(Program, NoSoundDeviceAtAllIsOneMessage)
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-nosound-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    std::ofstream(dir / "alsa.conf") << "";
    testsupport::Launch launch;
    launch.configHome = dir / "config";
    launch.environment = {{"VOBBLIX_AUDIO", "sdl"}, {"SDL_AUDIODRIVER", "alsa"},
                          {"ALSA_CONFIG_PATH", (dir / "alsa.conf").string()}};
    launch.stderrFile = dir / "stderr.txt";
    const pid_t child = testsupport::SpawnProgram(VOBBLIX_EXE, launch);
    ASSERT_GE(child, 0);
    EXPECT_TRUE(testsupport::WaitForText(launch.stderrFile, "vobblix: error: Vobblix found no sound device",
                                         std::chrono::seconds(30)));
    ::kill(child, SIGTERM);
    const int status = testsupport::WaitForExit(child, std::chrono::seconds(20));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::ifstream err(launch.stderrFile);
    std::vector<std::string> said;
    for (std::string line; std::getline(err, line);)
        if (line.starts_with("vobblix: error: ") || line.starts_with("vobblix: message: ") ||
            line.starts_with("vobblix: information: "))
            said.push_back(line);
    EXPECT_EQ(said, std::vector<std::string>{std::string("vobblix: error: ") + kNoSoundDeviceText});
    EXPECT_TRUE(toml::parse_file((dir / "config/Drenmarq/Vobblix 1.1.toml").string()).contains("LastPAF"));
    fs::remove_all(dir);
}

} // namespace
