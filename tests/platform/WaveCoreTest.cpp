// The byte-copy core under every backend, and the phase the PipeWire service sets between
// capture and playback, checked by running the same cycles the graph runs.

#include "platform/wave/DeviceCore.h"
#include "platform/wave/Engine.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using namespace wave;

TEST(LeadFrames, TheLargestRemainderOverWholeBlocks)
{
    // Worked by hand: blocks of B frames in cycles of Q leave remainders that are multiples of
    // gcd(B, Q), the largest B - gcd(B, Q).
    EXPECT_EQ(WaveEngine::LeadFrames(64, 128, false), 0u);
    EXPECT_EQ(WaveEngine::LeadFrames(128, 128, false), 0u);
    EXPECT_EQ(WaveEngine::LeadFrames(500, 128, false), 496u);
    EXPECT_EQ(WaveEngine::LeadFrames(512, 128, false), 384u);
    EXPECT_EQ(WaveEngine::LeadFrames(100, 256, false), 96u);
    // A cycle that varies (the adapter resamples) can leave any remainder.
    EXPECT_EQ(WaveEngine::LeadFrames(500, 128, true), 499u);
    EXPECT_EQ(WaveEngine::LeadFrames(0, 128, false), 0u);
}

// One direction's buffers, made and queued by the test as the stream would.
struct Buffers {
    std::vector<std::vector<char>> data;
    std::vector<WAVEHDR> headers;
    Buffers(size_t count, uint32_t bytes) : data(count, std::vector<char>(bytes)), headers(count)
    {
        for (size_t i = 0; i < count; ++i) {
            headers[i].lpData = data[i].data();
            headers[i].dwBufferLength = bytes;
            PrepareHeader(&headers[i]);
        }
    }
};

struct CycleRun {
    uint64_t underruns = 0;
    // When the first sample was heard, in frames from the start: the stream's delay.
    int64_t firstHeard = -1;
};

// Cycles of `cycle` frames: capture first, each completed block written to the output at
// once (as the stream's callback does), then the output plays the cycle. Without underruns,
// every sample must come out in order, as one unbroken run.
CycleRun RunCycles(uint32_t block, uint32_t cycle, uint32_t lead, int cycles)
{
    GlitchCounts counts;
    DeviceCore in(true, 4096, counts);
    DeviceCore out(false, 4096, counts);
    Buffers pool(64, block * 2);
    for (auto& h : pool.headers)
        EXPECT_EQ(in.enqueue(&h), MMSYSERR_NOERROR);
    std::vector<int16_t> capture(cycle), played(cycle);
    int16_t next = 1;
    int64_t firstHeard = -1;
    int64_t position = 0;
    int16_t expected = 1;
    for (int c = 0; c < cycles; ++c) {
        // Samples count 1 to 32767 and round again, so none is silence.
        for (auto& s : capture) {
            s = next;
            next = int16_t(next == 32767 ? 1 : next + 1);
        }
        in.capture(reinterpret_cast<const uint8_t*>(capture.data()), cycle * 2);
        if (c == 0)
            out.lead(lead * 2);
        WAVEHDR* h = nullptr;
        while (in.takeCompleted(h)) {
            UnprepareHeader(h);
            PrepareHeader(h);
            EXPECT_EQ(out.enqueue(h), MMSYSERR_NOERROR);
        }
        out.play(reinterpret_cast<uint8_t*>(played.data()), cycle * 2);
        while (out.takeCompleted(h)) {
            UnprepareHeader(h);
            PrepareHeader(h);
            EXPECT_EQ(in.enqueue(h), MMSYSERR_NOERROR);
        }
        for (int16_t s : played) {
            if (s != 0) {
                if (firstHeard < 0)
                    firstHeard = position;
                if (counts.underruns.load() == 0) {
                    EXPECT_EQ(s, expected) << "at frame " << position;
                }
                expected = int16_t(expected == 32767 ? 1 : expected + 1);
            }
            ++position;
        }
    }
    return {counts.underruns.load(), firstHeard};
}

TEST(DeviceCore, SameCycleDuplexWithTheLeadNeverRunsDryAndOneFrameLessCannotHold)
{
    for (auto [block, cycle] : {std::pair{64u, 128u}, {500u, 128u}, {512u, 128u}, {100u, 256u}, {441u, 1024u}}) {
        SCOPED_TRACE(testing::Message() << block << " in cycles of " << cycle);
        const uint32_t lead = WaveEngine::LeadFrames(block, cycle, false);
        const CycleRun run = RunCycles(block, cycle, lead, 2000);
        EXPECT_EQ(run.underruns, 0u);
        EXPECT_EQ(run.firstHeard, int64_t(lead));
        // One frame less cannot hold: the output runs dry, or slips its start.
        if (lead > 0) {
            const CycleRun shorter = RunCycles(block, cycle, lead - 1, 2000);
            EXPECT_TRUE(shorter.underruns > 0 || shorter.firstHeard > int64_t(lead - 1));
        }
    }
}

TEST(DeviceCore, CaptureWithoutABufferIsCountedAndLoggedAndResetHandsBackInOrder)
{
    GlitchCounts counts;
    DeviceCore in(true, 8, counts);
    Buffers b(2, 8);
    ASSERT_EQ(in.enqueue(&b.headers[0]), MMSYSERR_NOERROR);
    ASSERT_EQ(in.enqueue(&b.headers[1]), MMSYSERR_NOERROR);
    const int16_t samples[6] = {1, 2, 3, 4, 5, 6};
    in.capture(reinterpret_cast<const uint8_t*>(samples), 12);
    WAVEHDR* h = nullptr;
    ASSERT_TRUE(in.takeCompleted(h));
    EXPECT_EQ(h, &b.headers[0]);
    EXPECT_EQ(h->dwBytesRecorded, 8u);
    EXPECT_EQ(in.held(), 1u);
    // Two frames sit in the second buffer; a reset hands it back with what it holds.
    in.handBack();
    ASSERT_TRUE(in.takeCompleted(h));
    EXPECT_EQ(h, &b.headers[1]);
    EXPECT_EQ(h->dwBytesRecorded, 4u);
    EXPECT_TRUE(h->dwFlags & WHDR_DONE);
    EXPECT_FALSE(in.busy());
    // Nothing queued: the frames are dropped and counted, and drops in a row are logged as
    // one gap with its position once a captured frame ends it.
    in.capture(reinterpret_cast<const uint8_t*>(samples), 12);
    in.capture(reinterpret_cast<const uint8_t*>(samples), 12);
    EXPECT_EQ(counts.overruns.load(), 2u);
    EXPECT_EQ(counts.overrunFrames.load(), 12u);
    CaptureGap gap;
    EXPECT_FALSE(in.takeGap(gap));
    ASSERT_EQ(in.enqueue(&b.headers[0]), MMSYSERR_NOERROR);
    in.capture(reinterpret_cast<const uint8_t*>(samples), 2);
    ASSERT_TRUE(in.takeGap(gap));
    EXPECT_EQ(gap.atFrame, 6u);
    EXPECT_EQ(gap.frames, 12u);
    EXPECT_FALSE(in.takeGap(gap));
    in.handBack();
    // A full device refuses instead of growing.
    DeviceCore small(true, 1, counts);
    ASSERT_EQ(small.enqueue(&b.headers[0]), MMSYSERR_NOERROR);
    EXPECT_EQ(small.enqueue(&b.headers[1]), MMSYSERR_NOMEM);
}

} // namespace
