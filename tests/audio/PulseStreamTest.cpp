// The stream over the PulseAudio device, on the private daemon of scripts/with-pulse.sh: what
// the amplifier hears is the filtered guitar, sample for sample; the server's devices by name
// and a chosen one; a stalled loop thread counted as the underflow the server played; a
// daemon killed mid-stream told once, with the stop sequence still ending.

#include "audio/Waves.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"
#include "platform/wave/PulseDevice.h"
#include "support/CountingClient.h"
#include "support/Filtered.h"
#include "support/Spawn.h"

#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRate = 44100;
constexpr uint32_t kBytes = 1000;      // the default buffer
constexpr uint32_t kFrames = kBytes / 2;

bool HasDaemon()
{
    return std::getenv("VOBBLIX_PULSE_SESSION") != nullptr;
}

// Waits for `done` until the deadline, looking every few milliseconds.
template <typename Fn>
bool WaitFor(Fn done, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

pa_simple* Connect(pa_stream_direction_t direction, const char* device, uint32_t bufferFrames)
{
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = bufferFrames * 2;
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = bufferFrames * 2;
    return pa_simple_new(nullptr, "vobblix-test", direction, device, "probe", &spec, nullptr, &attr, nullptr);
}

// The stream at 44100 Hz and 1000-byte buffers over a fresh PulseAudio engine, capturing.
struct Running {
    Running()
    {
        testsupport::PrepareStream(kRate, kBytes);
        std::string why;
        engine = wave::OpenPulse(&why);
        if (!engine) {
            ADD_FAILURE() << why;
            return;
        }
        waves = std::make_unique<TfrmWaves>(*engine, stopping, StandalonePump());
        waves->FormCreate();
        waves->StartCapture();
    }
    ~Running()
    {
        if (waves) {
            stopping = true;
            waves->StopAudio();
        }
    }
    report::RecordingSink sink;
    std::atomic<bool> stopping{false};
    std::unique_ptr<wave::WaveEngine> engine;
    std::unique_ptr<TfrmWaves> waves;
};

// A daemon of the test's own, fresh: a null sink that idled, or that a stream left, runs far
// ahead of the clock for a while (up to its 2 s of latency), which no sound card does; and
// killing it leaves the shared one alone.
struct OwnDaemon {
    OwnDaemon()
    {
        const std::string out = testsupport::Output("bash " VOBBLIX_SOURCE_DIR "/scripts/pulse-session.sh start");
        const auto value = [&](const std::string& name) {
            const auto at = out.find(name + "='");
            if (at == std::string::npos)
                return std::string();
            const auto from = at + name.size() + 2;
            return out.substr(from, out.find('\'', from) - from);
        };
        dir = value("VOBBLIX_PULSE_SESSION");
        pid = std::atoi(value("VOBBLIX_PULSE_PID").c_str());
        const char* shared = std::getenv("PULSE_SERVER");
        saved = shared ? shared : "";
        ::setenv("PULSE_SERVER", value("PULSE_SERVER").c_str(), 1);
    }
    ~OwnDaemon()
    {
        ::setenv("PULSE_SERVER", saved.c_str(), 1);
        // Without a folder of its own the script would stop the shared daemon.
        if (!dir.empty())
            testsupport::Output("bash " VOBBLIX_SOURCE_DIR "/scripts/pulse-session.sh stop '" + dir + "'");
    }
    std::string dir;
    pid_t pid = 0;
    std::string saved;
};

// The filtered signal heard in order from `from` on, behind silence, broken only by silences
// (after which the server may go on a little further on) and by at most `skips` jumps further
// on, where a stall's backlog was left unplayed: where it got to, how many silences broke it
// and how many jumps it took. Any other sample heard ends the walk.
struct InOrder {
    size_t reached = 0;
    size_t gaps = 0;
    size_t jumps = 0;
};
InOrder HeardInOrder(const std::vector<int16_t>& heard, size_t from, const std::vector<int16_t>& expected,
                     size_t skips)
{
    constexpr size_t kRun = 16;       // samples that must agree where the sound goes on
    constexpr size_t kSkip = kRate;   // how far on it may go on
    // The server itself may go on a few samples further on after it ran dry; a skipped backlog
    // is at least two blocks.
    constexpr size_t kServersOwn = kFrames;
    const auto agrees = [&](size_t k, size_t j) {
        for (size_t i = 0; i < kRun; ++i)
            if (k + i >= heard.size() || j + i >= expected.size() || heard[k + i] != expected[j + i])
                return false;
        return true;
    };
    InOrder r;
    bool quiet = false;
    for (size_t k = from; k < heard.size() && r.reached < expected.size(); ++k) {
        if (heard[k] == expected[r.reached]) {
            ++r.reached;
            quiet = false;
            continue;
        }
        if (heard[k] == 0) {
            r.gaps += quiet ? 0 : 1;
            quiet = true;
            continue;
        }
        if (!quiet && r.jumps == skips)
            break;
        size_t j = r.reached;
        while (j < r.reached + kSkip && j < expected.size() && !agrees(k, j))
            ++j;
        if (!agrees(k, j) || (!quiet && j == r.reached))
            break;
        const bool jumped = !quiet || j > r.reached + kServersOwn;
        if (jumped && r.jumps == skips)
            break;
        r.jumps += jumped ? 1 : 0;
        r.reached = j + 1;
        quiet = false;
    }
    return r;
}

TEST(PulseStream, TheAmpHearsTheFilteredGuitarSampleForSampleAndEverySilenceIsCounted)
{
    if (!HasDaemon())
        GTEST_SKIP() << "no private PulseAudio daemon (run through scripts/with-pulse.sh)";
    OwnDaemon daemon;
    ASSERT_FALSE(daemon.dir.empty()) << "the test's own daemon did not start";
    // Worked out first: the filter's state is the process's, and the stream's start resets it.
    const std::vector<int16_t> signal = testsupport::Signal(2 * kRate);
    const std::vector<int16_t> expected = testsupport::Filtered(signal);
    Running run;
    ASSERT_TRUE(run.waves);
    const size_t tail = kRate / 2;

    // Glitches from here on: the null sinks' own start is no part of it.
    ASSERT_TRUE(WaitFor([&] { return run.engine->counters().capturedFrames >= kRate / 2; }, std::chrono::seconds(10)));
    const wave::WaveCounters before = run.engine->counters();
    pa_simple* hear = Connect(PA_STREAM_RECORD, "amp.monitor", 512);
    pa_simple* play = Connect(PA_STREAM_PLAYBACK, "gtr", 8192);
    ASSERT_TRUE(hear && play);
    std::vector<int16_t> heard;
    std::thread listener([&] {
        std::vector<int16_t> block(512);
        // Until the signal and a tail behind it came, or 20 s.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        size_t sounding = 0;
        while (Clock::now() < deadline && pa_simple_read(hear, block.data(), block.size() * 2, nullptr) == 0) {
            heard.insert(heard.end(), block.begin(), block.end());
            if (sounding == 0 && std::any_of(block.begin(), block.end(), [](int16_t s) { return s != 0; }))
                sounding = heard.size();
            if (sounding != 0 && heard.size() > sounding + signal.size() + tail)
                break;
        }
    });
    // Silence first: a stream joining the guitar sink makes it mix again what it had already
    // sent to its monitor, which its monitor then repeats.
    std::vector<int16_t> fed(tail, 0);
    fed.insert(fed.end(), signal.begin(), signal.end());
    fed.resize(fed.size() + tail, 0);
    ASSERT_EQ(pa_simple_write(play, fed.data(), fed.size() * 2, nullptr), 0);
    listener.join();
    // Counted before the probe leaves the guitar sink, which then pauses its monitor.
    const wave::WaveCounters counts = run.engine->counters();
    pa_simple_free(play);
    pa_simple_free(hear);

    const auto first = std::find_if(heard.begin(), heard.end(), [](int16_t v) { return v != 0; });
    const auto due = std::find_if(expected.begin(), expected.end(), [](int16_t v) { return v != 0; });
    ASSERT_NE(first, heard.end()) << "nothing reached the amp";
    // A loaded machine may still make the server play silence, and a stall leave its backlog
    // unplayed; each one heard is counted (the counts may also hold one played over the
    // silence ahead of the signal).
    const uint64_t skips = counts.overruns - before.overruns;
    const InOrder got =
        HeardInOrder(heard, size_t((first - heard.begin()) - (due - expected.begin())), expected, skips);
    EXPECT_EQ(got.reached, expected.size()) << got.gaps << " silences, " << got.jumps << " skips";
    EXPECT_GE(counts.underruns - before.underruns, got.gaps);
    RecordProperty("silences", std::to_string(got.gaps));
    EXPECT_GT(run.engine->latencyMs(), 0.0);
    EXPECT_TRUE(run.sink.texts().empty());
}

// The sink input's line in pactl's short list for the program's output stream.
std::string OutputStreamSink()
{
    const std::string sinks = testsupport::Output("pactl list short sinks");
    const std::string inputs = testsupport::Output("pactl list short sink-inputs");
    // "<input>\t<sink index>\t<client>\t..." and "<sink index>\t<name>\t..."
    for (size_t at = 0; at < inputs.size();) {
        const size_t end = inputs.find('\n', at);
        const std::string line = inputs.substr(at, end - at);
        at = end == std::string::npos ? inputs.size() : end + 1;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string sink = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
        for (size_t s = 0; s < sinks.size();) {
            const size_t e = sinks.find('\n', s);
            const std::string row = sinks.substr(s, e - s);
            s = e == std::string::npos ? sinks.size() : e + 1;
            if (row.rfind(sink + "\t", 0) == 0)
                return row.substr(sink.size() + 1, row.find('\t', sink.size() + 1) - sink.size() - 1);
        }
    }
    return {};
}

TEST(PulseDevice, ListsTheServersDevicesAndOpensAChosenOneByNameOrRefusesIt)
{
    if (!HasDaemon())
        GTEST_SKIP() << "no private PulseAudio daemon (run through scripts/with-pulse.sh)";
    wave::PulseDevice device;
    ASSERT_TRUE(device.connected()) << device.connectError();
    const auto sources = device.devices(true);
    const auto sinks = device.devices(false);
    EXPECT_NE(std::find(sources.begin(), sources.end(), wave::DeviceChoice{"gtr.monitor", "Monitor of Guitar"}),
              sources.end());
    EXPECT_NE(std::find(sinks.begin(), sinks.end(), wave::DeviceChoice{"amp", "Amp"}), sinks.end());
    EXPECT_NE(std::find(sinks.begin(), sinks.end(), wave::DeviceChoice{"gtr", "Guitar"}), sinks.end());
    EXPECT_EQ(std::count_if(sinks.begin(), sinks.end(), [](const auto& d) { return d.id.find("monitor") != 0; }),
              long(sinks.size()));

    testsupport::CountingClient client;
    // Not the default sink: the chosen one.
    ASSERT_EQ(device.open(wave::Side::Playback, {kRate, kBytes, "gtr"}, client), wave::MMSYSERR_NOERROR);
    EXPECT_EQ(OutputStreamSink(), "gtr");
    device.close(wave::Side::Playback);
    EXPECT_NE(device.open(wave::Side::Capture, {kRate, kBytes, "no-such-source"}, client), wave::MMSYSERR_NOERROR);
    // A refused device is not a fault of the server.
    EXPECT_TRUE(device.takeFault().empty());
    ASSERT_EQ(device.open(wave::Side::Capture, {kRate, kBytes, "amp.monitor"}, client), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(device.start(), wave::MMSYSERR_NOERROR);
    EXPECT_TRUE(WaitFor([&] { return client.capturedBytes.load() >= kRate; }, std::chrono::seconds(10)));
    device.stop();
    device.close(wave::Side::Capture);
}

// The loop thread held longer than any buffer on the way: the server plays silence meanwhile,
// and that is counted as silence heard; then the input carries on, and what the stall held
// back is left unplayed, counted, so that the output is not late for good.
TEST(PulseDevice, AStalledLoopThreadIsCountedAsTheServersUnderflow)
{
    if (!HasDaemon())
        GTEST_SKIP() << "no private PulseAudio daemon (run through scripts/with-pulse.sh)";
    OwnDaemon daemon;
    ASSERT_FALSE(daemon.dir.empty()) << "the test's own daemon did not start";
    wave::PulseDevice device;
    ASSERT_TRUE(device.connected()) << device.connectError();
    testsupport::CountingClient client;
    // Sound, not silence: silence owed is only ever skipped unheard.
    client.level = 1000;
    ASSERT_EQ(device.open(wave::Side::Playback, {kRate, kBytes, {}}, client), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(device.open(wave::Side::Capture, {kRate, kBytes, {}}, client), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(device.start(), wave::MMSYSERR_NOERROR);
    const auto counters = [&] {
        wave::WaveCounters c;
        device.addCounters(c);
        return c;
    };
    ASSERT_TRUE(WaitFor([&] { return client.capturedBytes.load() >= kRate; }, std::chrono::seconds(10)));
    const wave::WaveCounters before = counters();

    device.exclusive([] { std::this_thread::sleep_for(std::chrono::milliseconds(700)); });
    const uint64_t stalledAt = client.capturedBytes.load();
    // Told as silence heard, so that the warnings say it.
    EXPECT_TRUE(WaitFor([&] { return counters().underrunFrames > before.underrunFrames; }, std::chrono::seconds(5)));
    EXPECT_GT(counters().underruns, before.underruns);
    EXPECT_TRUE(WaitFor([&] { return client.capturedBytes.load() >= stalledAt + kRate; }, std::chrono::seconds(5)));
    // One jump for the whole backlog, and the input the server itself let go while the thread
    // was held: not a jump with every block.
    EXPECT_GT(counters().overruns, before.overruns);
    EXPECT_LE(counters().overruns, before.overruns + 2);
    // The server still held a quarter of a second of input when the thread woke; of that, at
    // most the two blocks' slack a late wake-up may leave is still on the way once the status
    // line's average has let the stall go.
    double latency = -1.0;
    EXPECT_TRUE(WaitFor(
        [&] {
            latency = device.latencyMs(0);
            return latency > 0.0 && latency < 6 * 1000.0 * kFrames / kRate;
        },
        std::chrono::seconds(5)))
        << latency << " ms";
    device.stop();
    device.close(wave::Side::Capture);
    device.close(wave::Side::Playback);
}

// What a late wake-up left the output owing is taken only from stretches quiet throughout: a
// note's zero crossings stay, and no more is taken than is owed.
TEST(PulseDevice, OwedSoundIsTakenOnlyFromQuietStretches)
{
    std::vector<int16_t> sound;
    for (int i = 0; i < 64; ++i) // a note, crossing zero
        sound.push_back(int16_t(8000 * std::sin(0.3 * i)));
    for (int i = 0; i < 96; ++i) // quiet: within the level
        sound.push_back(int16_t(i % 2 ? 60 : -60));
    for (int i = 0; i < 32; ++i) // quiet but for one sample
        sound.push_back(int16_t(i == 17 ? 300 : 0));
    std::vector<int16_t> trimmed = sound;

    uint32_t owed = 2 * 64;
    const uint32_t kept = wave::PulseDevice::TrimQuiet(trimmed.data(), uint32_t(trimmed.size()), owed);
    std::vector<int16_t> expected(sound.begin(), sound.begin() + 64);
    expected.insert(expected.end(), sound.begin() + 128, sound.end());
    ASSERT_EQ(kept, expected.size());
    trimmed.resize(kept);
    EXPECT_EQ(trimmed, expected);
    EXPECT_EQ(owed, 0u);

    // Owing more than there is quiet: every quiet stretch goes, the short last one too, and
    // the rest stays owed; less than a stretch takes nothing.
    std::vector<int16_t> rest(100, 0);
    owed = 1000;
    EXPECT_EQ(wave::PulseDevice::TrimQuiet(rest.data(), uint32_t(rest.size()), owed), 0u);
    EXPECT_EQ(owed, 800u);
    owed = 62;
    EXPECT_EQ(wave::PulseDevice::TrimQuiet(rest.data(), 32, owed), 32u);
    EXPECT_EQ(owed, 62u);
}

TEST(PulseStream, ADaemonKilledMidStreamIsToldOnceAndTheStopStillEnds)
{
    if (!HasDaemon())
        GTEST_SKIP() << "no private PulseAudio daemon (run through scripts/with-pulse.sh)";
    OwnDaemon daemon;
    ASSERT_FALSE(daemon.dir.empty()) << "the test's own daemon did not start";
    ASSERT_GT(daemon.pid, 1);
    Running run;
    ASSERT_TRUE(run.waves);
    ASSERT_TRUE(WaitFor([&] { return run.engine->counters().capturedFrames >= kRate / 2; }, std::chrono::seconds(10)));
    ASSERT_EQ(::kill(daemon.pid, SIGKILL), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            run.waves->DeliverReports();
            return !run.sink.texts().empty();
        },
        std::chrono::seconds(10)));
    // More looks find nothing more to tell, and the stop does not wait for the dead server.
    for (int i = 0; i < 20; ++i)
        run.waves->DeliverReports();
    run.stopping = true;
    run.waves->StopAudio();
    run.waves->DeliverReports();
    ASSERT_EQ(run.sink.texts().size(), 1u);
    EXPECT_EQ(run.sink.texts()[0],
              "The connection to the PulseAudio sound server was lost (Connection terminated). The sound has "
              "stopped; restart Vobblix once the server runs again.");
    EXPECT_EQ(run.waves->InFlightIn, 0);
    EXPECT_EQ(run.waves->InFlightOut, 0);
    run.waves.reset();
}

} // namespace
