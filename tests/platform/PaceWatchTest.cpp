// The silence a server plays for an output that runs dry, told from the pace of its requests
// alone: a server modelled on a simulated clock, with what it really played beside what the
// watch says.

#include "platform/wave/PaceWatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using wave::PaceWatch;

// A server that plays `rate` frames a second (its own clock, which may part from the
// watch's) from a queue the output fills a period per callback. It asks for a period
// whenever the queue has room, and the callback comes after a wake-up of up to `jitterNs`
// (and `stallNs` more at the times in `stalls`). When the queue runs dry it plays silence,
// counted here as what the player heard, and plays on as soon as sound comes.
struct Server {
    static constexpr uint32_t kRate = 44100;
    static constexpr uint32_t kPeriod = 256;
    static constexpr uint32_t kTarget = 3 * kPeriod;
    static constexpr uint64_t kStepNs = 100'000;

    double rate = kRate;
    uint64_t jitterNs = 2'000'000;
    std::vector<uint64_t> stalls;
    uint64_t stallNs = 0;

    uint64_t silences = 0;
    uint64_t silentFrames = 0;

    void run(PaceWatch& watch, uint64_t forNs)
    {
        std::mt19937 random(7);
        std::uniform_int_distribution<uint64_t> wake(0, jitterNs);
        double queued = 0;
        bool dry = false;
        double dryFrames = 0;
        uint64_t callbackAt = 0; // 0: none asked for
        size_t nextStall = 0;
        for (uint64_t now = 1; now < forNs; now += kStepNs) {
            if (callbackAt == 0 && queued + kPeriod <= kTarget) {
                callbackAt = now + wake(random);
                if (nextStall < stalls.size() && now >= stalls[nextStall]) {
                    callbackAt += stallNs;
                    ++nextStall;
                }
            }
            if (callbackAt != 0 && now >= callbackAt) {
                watch.asked(now, kPeriod);
                queued += kPeriod;
                callbackAt = 0;
            }
            const double play = rate * double(kStepNs) / 1e9;
            const double fromQueue = std::min(queued, play);
            queued -= fromQueue;
            // Silence before the first callback is the start, not a glitch.
            if (fromQueue < play && now > 100'000'000) {
                dryFrames += play - fromQueue;
                dry = true;
            } else if (dry) {
                if (dryFrames >= PaceWatch::kSilenceFrames) {
                    ++silences;
                    silentFrames += uint64_t(dryFrames);
                }
                dry = false;
                dryFrames = 0;
            }
        }
    }
};

constexpr uint64_t kSecond = 1'000'000'000;

TEST(PaceWatch, WakeUpsTheQueueCoversAndClocksThatPartSlowlyAreNoSilence)
{
    // Wake-ups up to 6 ms late, now and then 3 ms more: within the 11.6 ms the queue holds
    // when it asks.
    Server late;
    late.jitterNs = 6'000'000;
    for (uint64_t at = 2; at < 60; at += 3)
        late.stalls.push_back(at * kSecond);
    late.stallNs = 3'000'000;
    PaceWatch watch;
    watch.restart(Server::kRate);
    late.run(watch, 60 * kSecond);
    EXPECT_EQ(late.silences, 0u);
    EXPECT_EQ(watch.silences(), 0u);

    // A card 200 parts per million fast or slow over two minutes: 53 frames each way.
    for (double ppm : {200.0, -200.0}) {
        Server drifting;
        drifting.rate = Server::kRate * (1 + ppm * 1e-6);
        PaceWatch drift;
        drift.restart(Server::kRate);
        drifting.run(drift, 120 * kSecond);
        EXPECT_EQ(drifting.silences, 0u) << ppm;
        EXPECT_EQ(drift.silences(), 0u) << ppm;
    }
}

TEST(PaceWatch, EachSilenceTheServerPlaysIsCountedOnceWithItsLength)
{
    // Stalls of 20 to 60 ms, a few seconds apart, and one right after another.
    Server server;
    server.stalls = {3 * kSecond, 7 * kSecond, 11 * kSecond, 11 * kSecond + 600'000'000, 20 * kSecond};
    server.stallNs = 40'000'000;
    PaceWatch watch;
    watch.restart(Server::kRate);
    server.run(watch, 30 * kSecond);
    ASSERT_EQ(server.silences, 5u);
    EXPECT_EQ(watch.silences(), server.silences);
    // Within a few frames a silence of the wake-ups' wobble.
    const double wobble = 5 * 2e-3 * Server::kRate;
    EXPECT_NEAR(double(watch.silentFrames()), double(server.silentFrames), wobble);

    // A restart keeps the counts and forgets the pace: the new stream's start is no silence.
    watch.restart(Server::kRate);
    Server again;
    again.run(watch, 5 * kSecond);
    EXPECT_EQ(watch.silences(), server.silences);
}

} // namespace
