// A take that runs while the PipeWire server is killed and started again, on a session of the
// test's own, with the real windows and the real stream: the file stays whole and valid, holds
// silence for the time the server was away, and the sound comes back in it.

#include "support/Comeback.h"
#include "support/TakeHere.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"
#include "ui/Program.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 44100;
constexpr size_t kWavHeader = 44;

// Turns the event loop for this long, as a user waiting would.
void Play(std::chrono::milliseconds forHowLong)
{
    const auto end = Clock::now() + forHowLong;
    while (Clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Take {
    std::vector<int16_t> samples;
    int rate = 0;
};

Take ReadTake(const fs::path& file)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    Take t{std::vector<int16_t>(size_t(info.frames)), info.samplerate};
    t.samples.resize(size_t(sf_read_short(f, t.samples.data(), sf_count_t(t.samples.size()))));
    sf_close(f);
    return t;
}

// The longest run of exact zeros, as [begin, end).
std::pair<size_t, size_t> LongestSilence(const std::vector<int16_t>& s)
{
    std::pair<size_t, size_t> best{0, 0};
    for (size_t i = 0; i < s.size();) {
        size_t j = i;
        while (j < s.size() && s[j] == 0)
            ++j;
        if (j - i > best.second - best.first)
            best = {i, j};
        i = j + 1;
    }
    return best;
}

bool Heard(const std::vector<int16_t>& s, size_t from, size_t to)
{
    for (size_t i = from; i < to && i < s.size(); ++i)
        if (std::abs(s[i]) >= testsupport::kSoundHeard)
            return true;
    return false;
}

TEST(ComebackTake, ATakeThroughAServerRestartIsWholeHoldsTheTimeAwayAsSilenceAndSoundsAgain)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    testsupport::PrivateServer server;
    ASSERT_FALSE(server.dir.empty());
    testsupport::TalkTo talk(server.dir);
    const std::string session = "bash " VOBBLIX_SOURCE_DIR "/scripts/pipewire-session.sh ";
    // An earlier close ended "the" event loop; the program needs one that runs.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    testsupport::TempStore store;
    report::RecordingSink reports;
    fx::ResetForTests();
    const fs::path file = store.root() / "take.wav";

    Clock::time_point started, killed, revived, stopped;
    double msToSound = -1.0;
    {
        std::string why;
        auto engine = wave::OpenPipeWire(&why);
        ASSERT_TRUE(engine) << why;
        joystick::SdlJoystickService joysticks;
        Program program(*engine, joysticks);
        program.main->setSaveDialog(std::make_unique<testsupport::TakeHere>(file.string()));
        program.main->show();
        ASSERT_TRUE(WaitForLink("gtr:capture_MONO", "vobblix.input:input_MONO", 15000));
        {
            PwProbe guitar(testsupport::Signal(kRate * 4, kRate), 0, "vobblix-guitar");
            ASSERT_TRUE(guitar.connected());
            ASSERT_TRUE(WaitForPort("vobblix-guitar:output", 5000));
            ASSERT_TRUE(PwLink("vobblix-guitar:output", "gtr:input_MONO"));
            guitar.start();
            program.main->Button2Click();
            ASSERT_TRUE(Settings.Recording);
            started = Clock::now();
            Play(1500ms);
            ASSERT_EQ(std::system((session + "kill '" + server.dir.string() + "'").c_str()), 0);
            killed = Clock::now();
        }
        Play(1500ms);
        ASSERT_EQ(std::system((session + "revive '" + server.dir.string() + "' >/dev/null").c_str()), 0);
        revived = Clock::now();
        // The probe waits for the sound on its own thread while the windows go on.
        auto sound = std::async(std::launch::async, [&] { return testsupport::PwMsToSound(server.dir, revived); });
        while (sound.wait_for(0ms) != std::future_status::ready)
            Play(20ms);
        msToSound = sound.get();
        program.main->Button3Click();
        stopped = Clock::now();
        EXPECT_FALSE(Settings.Recording);
        program.main->close();
    }
    EXPECT_GE(msToSound, 0) << "no sound after the server came back";
    EXPECT_LT(msToSound, 2000);

    // Whole: the header's length is the file's.
    const Take take = ReadTake(file);
    ASSERT_GT(take.rate, 0) << "the take is no valid WAV";
    EXPECT_EQ(fs::file_size(file), kWavHeader + take.samples.size() * sizeof(int16_t));
    // Every moment of the take is in it, the time away as well, within a tenth.
    const double held = double(take.samples.size()) / take.rate;
    EXPECT_NEAR(held, Seconds(stopped - started), 0.1 * Seconds(stopped - started));
    // The time away is one run of silence, as long as the server was gone at least.
    const auto [from, to] = LongestSilence(take.samples);
    EXPECT_GE(double(to - from) / take.rate, 0.9 * Seconds(revived - killed));
    EXPECT_LE(double(to - from) / take.rate, Seconds(stopped - killed));
    EXPECT_TRUE(Heard(take.samples, 0, from)) << "no sound before the server went";
    EXPECT_TRUE(Heard(take.samples, to, take.samples.size())) << "no sound in the take after the server came back";
}

} // namespace
