// The output that follows the input's clock when SDL runs capture and playback on threads of
// their own pace: the stretch itself, and the follower run against a model of the stream
// (captured cycles assembled into blocks, queued, played) with the two clocks apart.

#include "platform/wave/ClockFollower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using wave::ClockFollower;

TEST(ClockFollowerStretch, CopiesEqualCountsAndInterpolatesTheRestKeepingBothEnds)
{
    const std::vector<int16_t> ramp{0, 10, 20, 30, 40};
    std::vector<int16_t> out(5);
    ClockFollower::Stretch(ramp.data(), 5, out.data(), 5);
    EXPECT_EQ(out, ramp);

    // Worked by hand: 3 samples over 4 sit at input positions 0, 2/3, 4/3 and 2.
    const std::vector<int16_t> three{0, 100, 200};
    out.assign(4, 0);
    ClockFollower::Stretch(three.data(), 3, out.data(), 4);
    EXPECT_EQ(out, (std::vector<int16_t>{0, 67, 133, 200}));
    // 5 over 4 sit at 0, 4/3, 8/3 and 4.
    ClockFollower::Stretch(ramp.data(), 5, out.data(), 4);
    EXPECT_EQ(out, (std::vector<int16_t>{0, 13, 27, 40}));
    // Full scale both ways stays in range.
    const std::vector<int16_t> swing{-32768, 32767, -32768};
    out.assign(4, 0);
    ClockFollower::Stretch(swing.data(), 3, out.data(), 4);
    EXPECT_EQ(out, (std::vector<int16_t>{-32768, 10922, 10922, -32768}));
}

// The stream as SDL runs it, on a simulated clock: the input brings a period every
// `captureEvery` seconds, assembled into blocks that are queued for the output, which asks a
// period every `playEvery` seconds and starts a cushion of two periods behind, again after
// running dry. What the follower is told is what the engine tells it.
struct Model {
    static constexpr uint32_t kRate = 44100;
    static constexpr uint32_t kPeriod = 256;
    static constexpr uint32_t kBlock = 500;

    double captureEvery = double(kPeriod) / kRate;
    double playEvery = double(kPeriod) / kRate;
    // A capture cycle that comes this late, once, at `stallAt` seconds.
    double stallAt = -1;
    double stallFor = 0;
    // The input slower by this factor from `slowAt` for `slowFor` seconds: a run of late
    // wake-ups of a capture thread that paces itself by sleeping, each of which it never
    // makes up.
    double slowAt = -1;
    double slowFor = 0;
    double slowBy = 1;
    // The output slows so instead.
    bool slowOutput = false;
    bool follow = true;

    ClockFollower follower;
    uint64_t captured = 0;
    uint64_t written = 0;
    int64_t queued = 0;
    int64_t lead = 0;
    bool prerolling = true;
    uint32_t partial = 0;
    double lastCapture = 0;
    uint64_t dryOuts = 0;
    // The distance after each playback cycle, from `watchFrom` seconds on.
    double watchFrom = 0;
    int64_t least = INT64_MAX;
    int64_t most = INT64_MIN;
    // The distance the follower kept just before the stall or the slowing.
    int64_t targetBefore = 0;

    int64_t Behind(double now) const
    {
        const auto since = int64_t(std::min<double>((now - lastCapture) * kRate, kPeriod));
        return int64_t(captured) + since - int64_t(written) + (prerolling ? 0 : queued + lead);
    }

    void Capture(double now)
    {
        captured += kPeriod;
        lastCapture = now;
        partial += kPeriod;
        while (partial >= kBlock) {
            partial -= kBlock;
            written += kBlock;
            queued += kBlock;
        }
    }

    void Play(double now)
    {
        if (prerolling && queued > 0) {
            prerolling = false;
            lead = 2 * kPeriod;
        }
        const uint32_t waiting = prerolling ? 0 : uint32_t(queued + lead);
        const uint32_t take = follow ? follower.take(kPeriod, waiting, Behind(now)) : kPeriod;
        if (prerolling)
            return;
        int64_t want = take;
        const int64_t fromLead = std::min(lead, want);
        lead -= fromLead;
        want -= fromLead;
        const int64_t fromQueue = std::min(queued, want);
        queued -= fromQueue;
        if (want > fromQueue) {
            ++dryOuts;
            prerolling = true;
        }
        if (now < std::max(stallAt, slowAt))
            targetBefore = follower.target();
        if (now >= watchFrom && !prerolling) {
            least = std::min(least, Behind(now));
            most = std::max(most, Behind(now));
        }
    }

    void Run(double seconds)
    {
        follower.restart(kPeriod);
        double nextCapture = 0.0005, nextPlay = 0;
        while (std::min(nextCapture, nextPlay) < seconds) {
            if (nextCapture <= nextPlay) {
                Capture(nextCapture);
                const bool slow = !slowOutput && nextCapture >= slowAt && nextCapture < slowAt + slowFor;
                nextCapture += slow ? captureEvery * slowBy : captureEvery;
                if (stallAt >= 0 && nextCapture >= stallAt && nextCapture - captureEvery < stallAt)
                    nextCapture += stallFor;
            } else {
                Play(nextPlay);
                const bool slow = slowOutput && nextPlay >= slowAt && nextPlay < slowAt + slowFor;
                nextPlay += slow ? playEvery * slowBy : playEvery;
            }
        }
    }
};

// Where the distance stayed once watched: never more than a period short of `target`, and at
// most `further` periods beyond it.
void ExpectKeptNear(const Model& m, int64_t target, int64_t further)
{
    EXPECT_GE(m.least, target - int64_t(Model::kPeriod)) << m.most;
    EXPECT_LE(m.most, target + further * int64_t(Model::kPeriod)) << m.least;
}

TEST(ClockFollower, OnOneClockItLeavesEverySampleAsItIs)
{
    Model m;
    m.Run(600);
    EXPECT_EQ(m.follower.adjustments(), 0u);
    EXPECT_EQ(m.dryOuts, 0u);
}

// Two clocks apart by more than two sound cards' ever are: left alone, the faster output runs
// dry again and again and the slower falls further behind for good; followed, neither
// happens in ten minutes and the distance stays near where it settled: a period closer at
// most, since closer is put right at once, two further, since further waits a few windows.
TEST(ClockFollower, AnOutputFasterOrSlowerThanTheInputKeepsItsDistanceAndNeverRunsDry)
{
    for (const double apart : {0.997, 1.003}) {
        SCOPED_TRACE(apart);
        Model alone;
        alone.follow = false;
        alone.playEvery *= apart;
        alone.watchFrom = 5;
        alone.Run(600);
        EXPECT_TRUE(alone.dryOuts > 100 || alone.most > 20 * int64_t(Model::kPeriod));

        Model m;
        m.playEvery *= apart;
        m.watchFrom = 5;
        m.Run(600);
        EXPECT_EQ(m.dryOuts, 0u);
        EXPECT_GT(m.follower.adjustments(), 0u);
        const int64_t target = m.follower.target();
        ExpectKeptNear(m, target, 2);
    }
}

// A stall longer than the margin runs the output dry once: the follower keeps half a period
// more from then on, and takes back the rest of the silence the dry-out played, so that the
// output is not a cushion later for good.
TEST(ClockFollower, AfterADryOutTheOutputComesBackToItsDistancePlusHalfAPeriod)
{
    Model m;
    m.stallAt = 20;
    m.stallFor = 0.030;
    m.watchFrom = 40;
    m.Run(60);
    EXPECT_EQ(m.dryOuts, 1u);
    const int64_t target = m.follower.target();
    EXPECT_EQ(target, m.targetBefore + int64_t(Model::kPeriod / 2));
    ExpectKeptNear(m, target, 1);
}

// The SDL disk driver's capture thread, measured: for a few tenths of a second it wakes late
// again and again, and its pace falls 5-6 % behind the output's, far more than the drift the
// windows follow. Once the distance falls a period short the output stretches at once, and
// harder, so the burst passes without a gap; the distance then comes back to its target.
TEST(ClockFollower, AnInputThatFallsBehindInABurstDoesNotRunTheOutputDry)
{
    for (const double by : {1.04, 1.06}) {
        SCOPED_TRACE(by);
        Model m;
        m.slowAt = 20;
        m.slowFor = 0.5;
        m.slowBy = by;
        m.watchFrom = 30;
        m.Run(60);
        EXPECT_EQ(m.dryOuts, 0u);
        const int64_t target = m.follower.target();
        EXPECT_EQ(target, m.targetBefore);
        ExpectKeptNear(m, target, 2);
    }
}

// The same of the output: its thread 5 % slow for ten seconds, as measured. Followed a window
// at a time, the distance would grow by a third of a second; the output catches up at once.
TEST(ClockFollower, AnOutputThatFallsBehindInABurstCatchesUpAtOnce)
{
    Model m;
    m.slowAt = 20;
    m.slowFor = 10;
    m.slowBy = 1.05;
    m.slowOutput = true;
    m.watchFrom = 20;
    m.Run(60);
    EXPECT_EQ(m.dryOuts, 0u);
    EXPECT_EQ(m.follower.target(), m.targetBefore);
    EXPECT_LE(m.most, m.targetBefore + 6 * int64_t(Model::kPeriod)) << m.least;
}

} // namespace
