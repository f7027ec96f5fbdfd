// The stream over the real PipeWire service, on the private headless session: it runs,
// every block is hooked, the stop sequence ends with every buffer back in the pool, and the
// callbacks, on PipeWire's realtime thread, never took a buffer from the heap.

#include "audio/Waves.h"
#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/PipeWireWave.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<uint64_t> gHookedBytes{0};
void CountHook(const void*, uint32_t length, bool) { gHookedBytes.fetch_add(length); }

class PipeWireStream : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
            GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
        Settings.SampleRate = 48000;
        Settings.memBlockLength = GetParam();
        Settings.Priority = 0;
        Settings.UsingMouse = true;
        fx::ResetForTests();
        FreqOffset = 0.1;
        Resonance = 9.0;
        ResetDepth();
        gHookedBytes = 0;
        ProcessedBlockHook = &CountHook;
    }
    void TearDown() override { ProcessedBlockHook = nullptr; }
    report::RecordingSink sink;
};

TEST_P(PipeWireStream, RunsHooksEveryBlockAndStopsWithEveryBufferBack)
{
    wave::PipeWireWaveService service;
    ASSERT_TRUE(service.connected()) << service.connectError();
    std::atomic<bool> stopping{false};
    TfrmWaves w(service, stopping, StandalonePump());
    w.FormCreate();
    w.StartCapture();
    // A second of sound through the graph.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (gHookedBytes.load() < 96000) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the graph did not run the stream";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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

} // namespace
