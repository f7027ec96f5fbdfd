// The stream over the real PipeWire service, on the private headless session: it runs,
// every block is hooked, the stop sequence ends with every buffer back in the pool, and the
// callbacks, on PipeWire's realtime thread, never took a buffer from the heap.

#include "audio/Waves.h"
#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"
#include "platform/wave/PipeWireDevice.h"
#include "support/CountingClient.h"
#include "support/Filtered.h"
#include "support/PwProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>

namespace {

std::atomic<uint64_t> gHookedBytes{0};
void CountHook(const void*, uint32_t length, bool) { gHookedBytes.fetch_add(length); }

// Whether the stream hooked this many bytes before the time ran out.
bool Hooked(uint64_t bytes, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (gHookedBytes.load() < bytes) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class PipeWireStream : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
            GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
        gHookedBytes = 0;
        ProcessedBlockHook = &CountHook;
    }
    void TearDown() override { ProcessedBlockHook = nullptr; }
    // Opens the stream over the real service at this rate and the test's buffer size, and
    // starts the capture.
    void Start(uint32_t rate)
    {
        testsupport::PrepareStream(rate, GetParam());
        std::string why;
        engine = wave::OpenPipeWire(&why);
        ASSERT_TRUE(engine) << why;
        waves = std::make_unique<TfrmWaves>(*engine, stopping, StandalonePump());
        waves->FormCreate();
        waves->StartCapture();
    }
    report::RecordingSink sink;
    std::atomic<bool> stopping{false};
    std::unique_ptr<wave::WaveEngine> engine;
    std::unique_ptr<TfrmWaves> waves;
};

TEST_P(PipeWireStream, RunsHooksEveryBlockAndStopsWithEveryBufferBack)
{
    ASSERT_NO_FATAL_FAILURE(Start(48000));
    TfrmWaves& w = *waves;
    // A second of sound through the graph.
    ASSERT_TRUE(Hooked(96000, std::chrono::seconds(20))) << "the graph did not run the stream";
    stopping = true;
    w.StopAudio();
    w.DeliverReports();
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_FALSE(w.InputDevice.set);
    EXPECT_FALSE(w.OutputDevice.set);
    EXPECT_EQ(w.InFlightIn, 0);
    EXPECT_EQ(w.InFlightOut, 0);
    EXPECT_EQ(w.buffersAllocated(), w.buffersReleased());
    EXPECT_EQ(w.heapBuffers(), 0u);
    // An odd buffer's last byte is never sound: the hook sees whole samples only.
    EXPECT_EQ(gHookedBytes.load() % (GetParam() & ~1u), 0u);
}

INSTANTIATE_TEST_SUITE_P(BufferBytes, PipeWireStream, ::testing::Values(128u, 1000u, 1001u));

// Calls handed to the realtime thread while PipeWire's own thread hands it the changes that
// each start and stop bring: every call runs once, and none mixes with PipeWire's.
TEST(PipeWireDevice, HandsCallsToTheRealtimeThreadWhileTheStreamStartsAndStops)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    wave::PipeWireDevice device;
    ASSERT_TRUE(device.connected()) << device.connectError();
    testsupport::CountingClient client;
    const wave::StreamFormat format{44100, 256, {}};
    ASSERT_EQ(device.open(wave::Side::Playback, format, client), wave::MMSYSERR_NOERROR);
    ASSERT_EQ(device.open(wave::Side::Capture, format, client), wave::MMSYSERR_NOERROR);
    constexpr int kTurns = 60;
    constexpr int kCallsPerTurn = 200;
    int ran = 0;
    for (int turn = 0; turn < kTurns; ++turn) {
        if (turn % 2 == 0)
            ASSERT_EQ(device.start(), wave::MMSYSERR_NOERROR);
        else
            device.stop();
        for (int i = 0; i < kCallsPerTurn; ++i)
            device.exclusive([&] { ++ran; });
    }
    device.stop();
    device.close(wave::Side::Capture);
    device.close(wave::Side::Playback);
    EXPECT_EQ(ran, kTurns * kCallsPerTurn);
    EXPECT_GT(client.capturedBytes.load(), 0u);
    EXPECT_TRUE(device.takeFault().empty());
}

// A desktop graph runs at its own 48 kHz with its period left to the clients, and the
// stream's adapters resample the program's 44100 Hz. The resamplers' delays make the first
// cycle's playback ask more than the capture brought, and the output stays that much ahead:
// a phase that did not count it ran dry about a dozen times a second, at every buffer size.
class PipeWireDesktop : public PipeWireStream {};

TEST_P(PipeWireDesktop, PlaysTwoSecondsAtTheDefaultRateWithoutRunningDry)
{
    ForceGraph(0, 0);
    ASSERT_NO_FATAL_FAILURE(Start(44100));
    ASSERT_TRUE(Hooked(2 * 88200, std::chrono::seconds(30))) << "the graph did not run the stream";
    const wave::WaveCounters counts = engine->counters();
    stopping = true;
    waves->StopAudio();
    EXPECT_EQ(counts.underruns, 0u) << counts.underrunFrames << " frames of silence";
    EXPECT_EQ(counts.overruns, 0u);
}

INSTANTIATE_TEST_SUITE_P(Buffers, PipeWireDesktop, ::testing::Values(128u, 1000u));

double Db(uint32_t peak) { return 20.0 * std::log10(double(peak) / 32768.0); }

// The meters' levels as the stream gathers them on PipeWire's realtime thread: a sine at
// -6 dBFS played into the guitar source reads -6 dBFS coming in and the filter's own level
// going out; a full-scale one marks a clip.
TEST(PipeWireLevels, AKnownSineReadsItsLevelInAndOutAndFullScaleClips)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    report::RecordingSink sink;
    ForceGraph(44100, 128);
    testsupport::PrepareStream(44100, 1000);
    ProcessedBlockHook = nullptr;

    std::string why;
    auto engine = wave::OpenPipeWire(&why);
    ASSERT_TRUE(engine) << why;
    auto& service = *engine;
    std::atomic<bool> stopping{false};
    TfrmWaves w(service, stopping, StandalonePump());
    w.FormCreate();
    w.StartCapture();
    ASSERT_TRUE(WaitForLink("gtr:capture_MONO", "vobblix.input:input_MONO", 15000));

    // Half a second at half scale, then half a second at full scale, with silence between.
    const size_t half = 22050;
    std::vector<int16_t> played;
    for (size_t i = 0; i < half; ++i)
        played.push_back(int16_t(std::lround(16384 * std::sin(2 * M_PI * 441.0 * double(i) / 44100.0))));
    const std::vector<int16_t> halfScale(played);
    played.resize(played.size() + half, 0);
    for (size_t i = 0; i < half; ++i)
        played.push_back(int16_t(std::lround(32767 * std::sin(2 * M_PI * 441.0 * double(i) / 44100.0))));
    PwProbe probe(played, played.size());
    ASSERT_TRUE(probe.connected());
    ASSERT_TRUE(WaitForPort("vobblix-probe:output", 5000));
    ASSERT_TRUE(PwLink("vobblix-probe:output", "gtr:input_MONO"));
    ASSERT_TRUE(WaitForLink("vobblix-probe:output", "gtr:input_MONO", 5000));
    w.InputLevel.takePeak();
    w.OutputLevel.takePeak();
    w.InputLevel.takeClip();
    probe.start();
    // Looked at once the half-scale sine has played and before the full-scale one starts.
    ASSERT_TRUE(probe.waitFor(half + half / 2, 20000));
    const uint32_t in = w.InputLevel.takePeak();
    const uint32_t out = w.OutputLevel.takePeak();
    EXPECT_FALSE(w.InputLevel.takeClip());
    ASSERT_TRUE(probe.waitRecorded(20000));
    // The tail of the full-scale sine may still be on its way through the stream's queue.
    const auto clipUntil = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool clipped = false;
    while (!(clipped = w.InputLevel.takeClip()) && std::chrono::steady_clock::now() < clipUntil)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stopping = true;
    w.StopAudio();
    ForceGraph(0, 0);

    RecordProperty("input_dbfs", std::to_string(Db(in)));
    RecordProperty("output_dbfs", std::to_string(Db(out)));
    EXPECT_NEAR(Db(in), -6.0, 0.5);
    uint32_t filtered = 0;
    for (int16_t v : testsupport::Filtered(halfScale))
        filtered = std::max<uint32_t>(filtered, uint32_t(std::abs(int32_t(v))));
    // A cycle the graph skipped cuts the sine, and the resonant filter rings higher after it:
    // then only a level too low is wrong.
    EXPECT_GT(Db(out), Db(filtered) - 0.5);
    if (probe.skippedCycles() == 0) {
        EXPECT_LT(Db(out), Db(filtered) + 0.5);
    }
    EXPECT_TRUE(clipped);
}

} // namespace
