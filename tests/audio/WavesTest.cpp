// The duplex stream on the scripted device: the order of its calls, its counters, the
// stop sequence's draining, every failure text, and the cases where nothing can come back.

#include "audio/Waves.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "support/Filtered.h"

#include <gtest/gtest.h>

#include <thread>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using wave::Call;
using Shown = report::Shown;

std::vector<uint8_t> gHooked;
uint32_t gHookCalls = 0;
void RecordHook(const void* data, uint32_t length, bool)
{
    const auto* p = static_cast<const uint8_t*>(data);
    gHooked.insert(gHooked.end(), p, p + length);
    ++gHookCalls;
}

class WavesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::PrepareStream(44100, 1000);
        gHooked.clear();
        gHookCalls = 0;
        ProcessedBlockHook = &RecordHook;
    }
    void TearDown() override { ProcessedBlockHook = nullptr; }

    // The pump the stop sequence turns: each turn runs `onTurn`; a wait that would never end
    // fails the test instead of hanging it.
    UiPump Pump()
    {
        auto turn = [this] {
            if (++turns > 100000)
                throw std::runtime_error("the stop sequence waits for a buffer that cannot come back");
            if (onTurn)
                onTurn();
        };
        return UiPump{turn, [turn](std::chrono::milliseconds) { turn(); }, [this] { ++wakes; }};
    }

    // Each turn of the stop's wait, the input hands back a buffer, or else the output does.
    void DrainOnEachTurn()
    {
        onTurn = [this] {
            if (!device.completeInput())
                device.completeOutput();
        };
    }

    void ExpectAllReleased(const TfrmWaves& w)
    {
        EXPECT_EQ(w.buffersAllocated(), w.buffersReleased());
    }

    // The stop sequence's own calls, in order.
    std::vector<std::string> ResetsAndCloses() const
    {
        std::vector<std::string> out;
        for (const auto& call : device.log())
            if (call.find("Reset") != std::string::npos || call.find("Close") != std::string::npos)
                out.push_back(call);
        return out;
    }

    report::RecordingSink sink;
    wave::ScriptedWaveService device;
    std::atomic<bool> stopping{false};
    std::function<void()> onTurn;
    int turns = 0;
    int wakes = 0;
};

TEST(CaptureBufferCount, AQuarterSecondRoundedToEven)
{
    EXPECT_EQ(CaptureBufferCount(44100, 1000), 22);
    EXPECT_EQ(CaptureBufferCount(11025, 500), 11);
    EXPECT_EQ(CaptureBufferCount(22050, 1000), 11);
    EXPECT_EQ(CaptureBufferCount(44100, 980), 22);
    EXPECT_EQ(CaptureBufferCount(44100, 1764), 12);
    EXPECT_EQ(CaptureBufferCount(22050, 22050), 0);
    EXPECT_EQ(CaptureBufferCount(44100, 44100), 0);
    EXPECT_EQ(CaptureBufferCount(44100, 0), 0);
    EXPECT_EQ(CaptureBufferCount(44100, 4294967295u), 0);
    EXPECT_EQ(CaptureBufferCount(0, 1000), 0);
    EXPECT_EQ(CaptureBufferCount(44100, 2), 11025);
    EXPECT_EQ(CaptureBufferCount(4294967295u, 2), 16384);
}

// The settings allow every size that makes a capture buffer at the offered rates, and none
// that makes none.
TEST(CaptureBufferCount, TheLargestSizeTheSettingsAllowStillMakesABuffer)
{
    for (uint32_t rate : settings::kOfferedRates) {
        const uint32_t largest = settings::LargestBlockLength(rate);
        EXPECT_EQ(CaptureBufferCount(rate, largest), 1) << rate;
        EXPECT_EQ(CaptureBufferCount(rate, largest + 2), 0) << rate;
        EXPECT_EQ(settings::BlockLengthProblem(largest + 2, rate).empty(), false) << rate;
    }
}

TEST_F(WavesTest, OpensQueriesThenOpensThenQueuesAQuarterSecond)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    std::vector<std::string> expected{"waveOutOpen(query)", "waveInOpen(query)", "waveOutOpen", "waveInOpen"};
    for (int i = 0; i < 22; ++i) {
        expected.push_back("waveInPrepareHeader");
        expected.push_back("waveInAddBuffer");
    }
    EXPECT_EQ(device.log(), expected);
    EXPECT_EQ(w.InFlightIn, 22);
    EXPECT_EQ(w.InFlightOut, 0);
    EXPECT_EQ(device.queuedInput(), 22u);
    EXPECT_FALSE(device.inputStarted());
    EXPECT_TRUE(sink.shown().empty());

    stopping = true;
    w.StopAudio();
    ExpectAllReleased(w);
}

TEST_F(WavesTest, EachBlockIsFilteredPlayedHookedAndReplaced)
{
    std::vector<int16_t> signal(500);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = int16_t((i * 2654435761u) >> 18);
    // The expected sound: the same blocks through the filter offline.
    std::vector<int16_t> expected;
    for (int b = 0; b < 3; ++b) {
        auto block = signal;
        ProcessBuffer(block.data(), 500);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    fx::ResetForTests();
    FreqOffset = 0.1;
    Resonance = 9.0;
    ResetDepth();

    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    for (int b = 0; b < 3; ++b)
        ASSERT_TRUE(device.completeInput(signal));
    EXPECT_EQ(w.InFlightIn, 22);
    EXPECT_EQ(w.InFlightOut, 3);
    EXPECT_EQ(device.queuedOutput(), 3u);
    ASSERT_EQ(gHooked.size(), expected.size() * 2);
    EXPECT_EQ(std::memcmp(gHooked.data(), expected.data(), gHooked.size()), 0);

    ASSERT_TRUE(device.completeOutput());
    EXPECT_EQ(w.InFlightOut, 2);
    EXPECT_EQ(w.buffersAllocated() - w.buffersReleased(), 22u + 2u);
    EXPECT_TRUE(sink.shown().empty());

    // Stopping: the input keeps handing back buffers, which are released unplayed.
    stopping = true;
    onTurn = [&] {
        if (!device.completeInput(signal))
            device.completeOutput();
    };
    w.StopAudio();
    EXPECT_EQ(gHookCalls, 3u);
    EXPECT_TRUE(w.InputDrained);
    EXPECT_TRUE(w.OutputDrained);
    EXPECT_FALSE(w.InputDevice.set);
    EXPECT_FALSE(w.OutputDevice.set);
    EXPECT_EQ(ResetsAndCloses(), (std::vector<std::string>{"waveInReset", "waveInClose", "waveOutReset", "waveOutClose"}));
    EXPECT_GT(wakes, 0);
    ExpectAllReleased(w);
}

// The device fills an odd buffer's whole samples only; its last byte is never sound and must
// not reach the recording, or every later sample of the file would be off by a byte.
TEST_F(WavesTest, AnOddBufferHooksTheFilteredWholeSamplesOnly)
{
    const std::vector<int16_t> signal = testsupport::Signal(1500);
    const std::vector<int16_t> expected = testsupport::Filtered(signal);
    fx::ResetForTests();
    FreqOffset = 0.1;
    Resonance = 9.0;
    ResetDepth();
    Settings.memBlockLength = 1001;
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    for (size_t at = 0; at < signal.size(); at += 500)
        ASSERT_TRUE(device.completeInput(std::vector<int16_t>(signal.begin() + long(at), signal.begin() + long(at) + 500)));
    EXPECT_EQ(gHookCalls, 3u);
    ASSERT_EQ(gHooked.size(), expected.size() * 2);
    EXPECT_EQ(std::memcmp(gHooked.data(), expected.data(), gHooked.size()), 0);
    stopping = true;
    DrainOnEachTurn();
    w.StopAudio();
    ExpectAllReleased(w);
}

// A size that holds no sample, or a buffer of half a second or more, would play silence
// with no word: one report says so, with the value and what to do, and the program goes on.
TEST_F(WavesTest, ABufferSizeThatCannotSoundIsReportedOnceAndTheStreamStillStops)
{
    struct Case {
        uint32_t size;
        const char* text;
    };
    const Case cases[] = {
        {0, "The buffer size of 0 bytes holds no whole sample, so there is no sound. Choose an even buffer size "
            "from 2 to 44098 bytes in Menu > Settings and restart Vobblix."},
        {1, "The buffer size of 1 bytes holds no whole sample, so there is no sound. Choose an even buffer size "
            "from 2 to 44098 bytes in Menu > Settings and restart Vobblix."},
        {44100, "The buffer size of 44100 bytes is half a second or more at 44100 Hz, so there is no sound. Choose "
                "an even buffer size from 2 to 44098 bytes in Menu > Settings and restart Vobblix."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        sink.clear();
        Settings.memBlockLength = c.size;
        TfrmWaves w(device, stopping, Pump());
        w.FormCreate();
        w.StartCapture();
        EXPECT_EQ(sink.texts(), std::vector<std::string>{c.text});
        EXPECT_EQ(w.InFlightIn, 0);
        stopping = true;
        w.StopAudio();
        EXPECT_FALSE(w.InputDevice.set);
        EXPECT_FALSE(w.OutputDevice.set);
        stopping = false;
    }
    // The largest size that still sounds makes one buffer of the queue.
    Settings.memBlockLength = 44098;
    sink.clear();
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    EXPECT_TRUE(sink.texts().empty());
    EXPECT_EQ(w.InFlightIn, 1);
    stopping = true;
    DrainOnEachTurn();
    w.StartCapture();
    w.StopAudio();
}

TEST_F(WavesTest, OpeningFailuresWarnAndGoOn)
{
    device.fail(Call::OutQuery, 1, 1);
    device.fail(Call::InQuery, 1, 1);
    device.fail(Call::OutOpen, 2, 1);
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    EXPECT_EQ(sink.shown(), (std::vector<Shown>{
                                {report::Kind::Error, "Error", "Play format is not supported by your sound card device."},
                                {report::Kind::Error, "Error", "Record format is not supported by your sound card device."},
                                {report::Kind::Plain, "Problem creating play handle", "Error"},
                            }));
    EXPECT_TRUE(w.OutputDevice.set);
    EXPECT_EQ(w.InFlightIn, 22);

    // Without an output every block is still filtered and hooked; none is lost.
    w.StartCapture();
    sink.clear();
    ASSERT_TRUE(device.completeInput());
    // The callback only notes its failures; the UI thread shows them.
    EXPECT_TRUE(sink.texts().empty());
    w.DeliverReports();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"Could not waveOutPrepareHeader.", "Could not waveOutWrite."}));
    EXPECT_EQ(gHookCalls, 1u);
    EXPECT_EQ(w.InFlightOut, 0);
    stopping = true;
    onTurn = [&] { device.completeInput(); };
    w.StopAudio();
    ExpectAllReleased(w);
}

// Neither device opens and the system lists none: one sentence says so, and nothing after it
// (the queueing, the start, a chosen device that is missing) adds another. Where the system
// lists a device that would not open, the calls' own texts stay.
TEST_F(WavesTest, NoSoundDeviceAtAllIsOneMessage)
{
    Settings.InputDevice = "gtr";
    device.fail(Call::OutOpen, 2);
    device.fail(Call::InOpen, 2);
    {
        TfrmWaves w(device, stopping, Pump());
        w.FormCreate();
        w.StartCapture();
        w.DeliverReports();
        EXPECT_EQ(sink.shown(), (std::vector<Shown>{{report::Kind::Error, "Error", kNoSoundDeviceText}}));
        EXPECT_FALSE(device.inputStarted());
        stopping = true;
        w.StopAudio();
        EXPECT_EQ(turns, 2);
        ExpectAllReleased(w);
    }
    stopping = false;
    sink.clear();
    device.scriptedOutputs = {{"hdmi", "HDMI Audio"}};
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{
                                "The input device \"gtr\" is not connected. Vobblix uses the system default input "
                                "until it is back.",
                                "Error", "Error", "Could not waveInPrepareHeader", "Could not waveInAddBuffer"}));
    stopping = true;
    w.StopAudio();
    Settings.InputDevice.clear();
}

// Every buffer of the open fails alike: the failure is shown once, not once per buffer
// (16,384 boxes before the window at a 2-byte size), and the stop still ends.
TEST_F(WavesTest, ADeadInputReportsEachFailureOnceAndStillStops)
{
    Settings.memBlockLength = 2; // 11025 buffers at 44100 Hz
    device.fail(Call::InOpen, 2, 1);
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"Error", "Could not waveInPrepareHeader", "Could not waveInAddBuffer",
                                                      "Unable to start waveInStart()"}));
    EXPECT_EQ(sink.shown()[0].title, "Problem creating record handle");
    EXPECT_EQ(w.InFlightIn, 0);

    stopping = true;
    w.StopAudio();
    // Pending events are handled once before each wait's first test, and nothing is waited for.
    EXPECT_EQ(turns, 2);
    EXPECT_FALSE(w.OutputDevice.set);
    ExpectAllReleased(w);

    // The next open reports again.
    stopping = false;
    sink.clear();
    device.fail(Call::InOpen, 2, 1);
    Settings.memBlockLength = 7350;
    TfrmWaves again(device, stopping, Pump());
    again.FormCreate();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"Error", "Could not waveInPrepareHeader", "Could not waveInAddBuffer"}));
    stopping = true;
    again.StopAudio();
}

TEST_F(WavesTest, CallbackFailuresReportWithAFullStopAndLoseNothing)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();

    // A failed prepare makes the queueing call after it fail in turn, as a real device does.
    struct Case {
        Call call;
        std::vector<std::string> texts;
        int inFlightIn;
    };
    const Case cases[] = {
        {Call::InUnprepare, {"Could not waveInUnprepareHeader."}, 22},
        {Call::OutPrepare, {"Could not waveOutPrepareHeader.", "Could not waveOutWrite."}, 22},
        {Call::OutWrite, {"Could not waveOutWrite."}, 22},
        {Call::InPrepare, {"Could not waveInPrepareHeader.", "Could not waveInAddBuffer."}, 21},
        {Call::InAddBuffer, {"Could not waveInAddBuffer."}, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.texts[0]);
        sink.clear();
        device.fail(c.call, 1, 1);
        ASSERT_TRUE(device.completeInput());
        w.DeliverReports();
        EXPECT_EQ(sink.texts(), c.texts);
        EXPECT_EQ(w.InFlightIn, c.inFlightIn);
        EXPECT_EQ(size_t(w.InFlightIn), device.queuedInput());
        EXPECT_EQ(size_t(w.InFlightOut), device.queuedOutput());
    }
    sink.clear();
    device.fail(Call::OutUnprepare, 1, 1);
    ASSERT_TRUE(device.completeOutput());
    w.DeliverReports();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Could not waveOutUnprepareHeader"});

    stopping = true;
    DrainOnEachTurn();
    w.StopAudio();
    ExpectAllReleased(w);
}

TEST_F(WavesTest, TheStopEndsWhenNothingCanComeBack)
{
    struct Case {
        const char* name;
        uint32_t rate, length;
        bool start;
        std::function<void(wave::ScriptedWaveService&)> script;
    };
    const Case cases[] = {
        {"no buffer queued", 22050, 22050, true, {}},
        {"zero-length buffers", 44100, 0, true, {}},
        {"a negative length typed in", 44100, 4294967295u, true, {}},
        {"capture never started", 44100, 1000, false, {}},
        {"every buffer refused", 44100, 1000, true, [](auto& d) { d.fail(Call::InAddBuffer, 1); }},
        {"output never opened", 44100, 1000, true, [](auto& d) { d.fail(Call::OutOpen, 1, 1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wave::ScriptedWaveService fresh;
        Settings.SampleRate = c.rate;
        Settings.memBlockLength = c.length;
        if (c.script)
            c.script(fresh);
        std::atomic<bool> stop{false};
        int waits = 0;
        // The input keeps delivering what it holds; a wait with nothing to deliver is a hang.
        auto noEvent = [&](std::chrono::milliseconds) {
            if (!fresh.completeInput() && ++waits > 10)
                throw std::runtime_error("waited for a buffer that cannot come back");
        };
        TfrmWaves w(fresh, stop, UiPump{[] {}, noEvent, [] {}});
        w.FormCreate();
        if (c.start)
            w.StartCapture();
        stop = true;
        ASSERT_NO_THROW(w.StopAudio());
        EXPECT_EQ(waits, 0);
        EXPECT_FALSE(w.InputDevice.set && w.InputDevice.handle.load());
        EXPECT_EQ(w.buffersAllocated(), w.buffersReleased());
        EXPECT_LE(w.buffersAllocated(), 22u);
    }
}

TEST_F(WavesTest, AnOutputThatAlreadyPlayedEverythingIsDrainedAtOnce)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    device.completeInput();
    device.completeOutput();
    stopping = true;
    onTurn = [&] { device.completeInput(); };
    w.StopAudio();
    EXPECT_FALSE(w.OutputDrained);
    EXPECT_FALSE(w.OutputDevice.set);
    ExpectAllReleased(w);
}

TEST_F(WavesTest, ASecondStopInsideTheFirstsWaitRunsToItsEnd)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    device.completeInput();
    device.completeInput();
    stopping = true;
    bool nested = false;
    onTurn = [&] {
        if (!nested) {
            nested = true;
            w.StopAudio();
            return;
        }
        if (!device.completeInput())
            device.completeOutput();
    };
    w.StopAudio();
    const auto& log = device.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "waveInClose"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "waveOutClose"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "waveInReset"), 1);
    EXPECT_TRUE(w.InputDrained && w.OutputDrained);
    ExpectAllReleased(w);
}

TEST_F(WavesTest, OpenMessagesChangeNothing)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    TfrmWaves::OnCaptureDone(nullptr, wave::WIM_OPEN, reinterpret_cast<uintptr_t>(&w), 0, 0);
    TfrmWaves::OnPlaybackDone(nullptr, wave::WOM_OPEN, reinterpret_cast<uintptr_t>(&w), 0, 0);
    EXPECT_EQ(w.InFlightIn, 22);
    EXPECT_TRUE(w.InputDevice.set && w.OutputDevice.set);
    stopping = true;
    w.StopAudio();
}

} // namespace

// A failure that repeats on every block is one box per look of the UI, not one per block;
// the server's own fault comes before the failures of its own, and the calls the fault
// breaks (every buffer handed back, none taken any more) say nothing more.
TEST_F(WavesTest, RepeatedFailuresAreShownOncePerLookWithTheirCauseFirst)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    device.fail(Call::OutWrite, 1);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(device.completeInput());
    device.scriptedFault = "The connection to the PipeWire sound server was lost.";
    w.DeliverReports();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"The connection to the PipeWire sound server was lost.",
                                                      "Could not waveOutWrite."}));
    sink.clear();
    w.DeliverReports();
    EXPECT_TRUE(sink.texts().empty());
    EXPECT_TRUE(device.faulted());
    EXPECT_FALSE(device.completeInput());
    EXPECT_EQ(device.queuedOutput(), 0u);

    // Once the user asked to stop, nothing opens a box that would hold the stop, and the
    // stop does not wait for buffers a gone server cannot return.
    stopping = true;
    w.StopAudio();
    EXPECT_TRUE(sink.shown().empty());
    ExpectAllReleased(w);
}

// The stop waits for buffers only while they come back: a device that stops returning them
// is reset, which hands every one back, instead of holding the program for ever.
TEST_F(WavesTest, AStopWhoseDeviceReturnsNothingEndsThroughTheReset)
{
    std::atomic<bool> stop{false};
    int waits = 0;
    TfrmWaves w(device, stop, UiPump{[] {}, [&](std::chrono::milliseconds timeout) {
                                         EXPECT_GT(timeout.count(), 0);
                                         ++waits;
                                         std::this_thread::sleep_for(timeout);
                                     },
                                     [] {}});
    w.FormCreate();
    w.StartCapture();
    ASSERT_TRUE(device.completeInput());
    stop = true;
    w.StopAudio();
    EXPECT_GE(waits, 2); // one wait for the input, one for the output
    EXPECT_FALSE(w.InputDevice.set.load());
    EXPECT_FALSE(w.OutputDevice.set.load());
    ExpectAllReleased(w);
}

TEST_F(WavesTest, GlitchWarningsComeAtMostOnceASecondAndNeverForTheStopsPlayOut)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    w.DeliverReports(t0);
    device.scriptedCounters.underruns = 3;
    device.scriptedCounters.underrunFrames = 384;
    w.DeliverReports(t0 + std::chrono::milliseconds(10));
    device.scriptedCounters.underruns = 4;
    device.scriptedCounters.underrunFrames = 512;
    w.DeliverReports(t0 + std::chrono::milliseconds(500));
    w.DeliverReports(t0 + std::chrono::milliseconds(1020));
    w.DeliverReports(t0 + std::chrono::milliseconds(2500));
    // Underruns that left no gap were not heard: nothing to say.
    device.scriptedCounters.underruns = 6;
    w.DeliverReports(t0 + std::chrono::milliseconds(3600));
    device.scriptedCounters.overruns = 2;
    device.scriptedCounters.overrunFrames = 32;
    w.DeliverReports(t0 + std::chrono::milliseconds(4700));
    // Silence while the output fills its cushion again counts no underrun, but was heard.
    device.scriptedCounters.underrunFrames = 600;
    w.DeliverReports(t0 + std::chrono::milliseconds(5800));
    device.scriptedCounters.overruns = 3;
    device.scriptedCounters.overrunFrames = 64;
    stopping = true;
    device.scriptedCounters.overrunFrames = 96;
    w.DeliverReports(t0 + std::chrono::milliseconds(7000));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "vobblix: warning: the sound glitched: 3 playback underruns (384 frames of silence) since the last "
              "warning; a larger buffer size helps\n"
              "vobblix: warning: the sound glitched: 1 playback underruns (128 frames of silence) since the last "
              "warning; a larger buffer size helps\n"
              "vobblix: warning: the sound glitched: 2 capture overruns (32 frames lost) since the last warning; a "
              "larger buffer size helps\n"
              "vobblix: warning: the sound glitched: 88 frames of silence in playback since the last warning; a "
              "larger buffer size helps\n");
    EXPECT_TRUE(sink.shown().empty());
    DrainOnEachTurn();
    w.StopAudio();
}

// A server that went away and came back: the time without it reaches the recording as
// silence ahead of the first block after it, so that the take keeps to the clock, while the
// output plays the block at once rather than that silence first.
TEST_F(WavesTest, TheTimeTheServerWasAwayIsSilenceInTheTakeAheadOfTheNextBlock)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    const std::vector<int16_t> loud(500, 8000);
    ASSERT_TRUE(device.completeInput(loud));
    const size_t before = gHooked.size();
    // The server is away at least this long: the engine reads the gap off the clock.
    constexpr auto kAway = std::chrono::milliseconds(200);
    const auto gone = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kAway);
    device.resume();
    ASSERT_TRUE(device.completeInput(loud));
    const double awayAtMost = std::chrono::duration<double>(std::chrono::steady_clock::now() - gone).count();

    ASSERT_GT(gHooked.size(), before + 1000);
    const size_t silence = gHooked.size() - before - 1000;
    EXPECT_TRUE(std::all_of(gHooked.begin() + long(before), gHooked.begin() + long(before + silence),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(silence % 2, 0u);
    // The block captured after the return covers the last 500 frames of the time away.
    EXPECT_GE(silence / 2, size_t(0.2 * 44100) - 500);
    EXPECT_LE(silence / 2, size_t(awayAtMost * 44100));
    EXPECT_TRUE(std::any_of(gHooked.begin() + long(before + silence), gHooked.end(), [](uint8_t b) { return b != 0; }))
        << "the block after it is sound";
    EXPECT_EQ(w.InFlightOut, 2) << "the output plays the sound, not the silence";
    // Told once: the next block has no silence before it, and the time away is no pause.
    ASSERT_TRUE(device.completeInput(loud));
    EXPECT_EQ(gHooked.size(), before + silence + 2000);
    EXPECT_EQ(device.counters().pauses, 0u);

    DrainOnEachTurn();
    stopping = true;
    w.StopAudio();
    ExpectAllReleased(w);
}

// A service that only tells of period changes, as a test hands them out; nothing is opened.
class FlappingPeriod final : public wave::WaveService {
public:
    std::string next;
    std::string takeNotice() override { return std::exchange(next, std::string()); }

    wave::MMRESULT waveInOpen(wave::HWAVEIN*, uint32_t, const wave::PCMWAVEFORMAT&, wave::WaveInProc, uintptr_t,
                              uint32_t) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutOpen(wave::HWAVEOUT*, uint32_t, const wave::PCMWAVEFORMAT&, wave::WaveOutProc, uintptr_t,
                               uint32_t) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInPrepareHeader(wave::HWAVEIN, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInUnprepareHeader(wave::HWAVEIN, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInAddBuffer(wave::HWAVEIN, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInStart(wave::HWAVEIN) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInReset(wave::HWAVEIN) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveInClose(wave::HWAVEIN) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutPrepareHeader(wave::HWAVEOUT, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutUnprepareHeader(wave::HWAVEOUT, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutWrite(wave::HWAVEOUT, wave::WAVEHDR*) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutReset(wave::HWAVEOUT) override { return wave::MMSYSERR_ERROR; }
    wave::MMRESULT waveOutClose(wave::HWAVEOUT) override { return wave::MMSYSERR_ERROR; }
};

// A graph whose period flaps once a cycle gives one line a second, the latest change with how
// many there were, not a line per change.
TEST_F(WavesTest, PeriodChangesAreFoldedIntoOneWarningASecondWithACount)
{
    FlappingPeriod flapping;
    TfrmWaves w(flapping, stopping, Pump());
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    const auto change = [](int from, int to) {
        return "the PipeWire graph changed its period from " + std::to_string(from) + " to " + std::to_string(to) +
               " frames; a glitch may be heard at the change";
    };
    flapping.next = change(256, 128);
    w.DeliverReports(at(0));
    for (int i = 0; i < 5; ++i) {
        flapping.next = change(128 << (i % 2), 128 << ((i + 1) % 2));
        w.DeliverReports(at(100 + i * 150));
    }
    w.DeliverReports(at(990));
    w.DeliverReports(at(1000));
    w.DeliverReports(at(3000));
    flapping.next = change(256, 512);
    w.DeliverReports(at(3100));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "vobblix: warning: " + change(256, 128) + "\n" + "vobblix: warning: " + change(128, 256) +
                       " (5 changes of the period since the last warning)\n" + "vobblix: warning: " +
                       change(256, 512) + "\n");
}

// Running for hours draws every buffer from the pool sized at open: the callbacks never
// allocate while the output keeps up.
TEST_F(WavesTest, BuffersComeFromThePoolWhileTheOutputKeepsUp)
{
    TfrmWaves w(device, stopping, Pump());
    w.FormCreate();
    w.StartCapture();
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(device.completeInput());
        if (i % 3 != 0)
            continue;
        while (device.completeOutput()) {
        }
    }
    EXPECT_EQ(w.heapBuffers(), 0u);
    // An output that stops taking buffers outgrows the pool; those buffers come from the heap
    // and go back to it, and none is lost.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(device.completeInput());
    EXPECT_GT(w.heapBuffers(), 0u);
    stopping = true;
    DrainOnEachTurn();
    w.StopAudio();
    ExpectAllReleased(w);
}
