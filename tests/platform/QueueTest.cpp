// The wait-free queues that carry buffers and recorded blocks between threads: nothing lost,
// nothing duplicated, order kept, "full" reported instead of growing. Run under
// ThreadSanitizer in CI.

#include "platform/thread/BoundedQueue.h"
#include "platform/thread/ByteRing.h"
#include "platform/thread/Doorbell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

TEST(BoundedQueue, ManyThreadsPushAndPopEveryValueExactlyOnce)
{
    thread::BoundedQueue<uint32_t> q(64);
    constexpr uint32_t kPerThread = 100000;
    std::vector<std::atomic<uint8_t>> seen(2 * kPerThread);
    std::atomic<uint32_t> popped{0};
    auto producer = [&](uint32_t base) {
        for (uint32_t i = 0; i < kPerThread; ++i)
            while (!q.push(base + i)) {
            }
    };
    auto consumer = [&] {
        uint32_t v = 0;
        while (popped.load() < 2 * kPerThread)
            if (q.pop(v)) {
                seen[v].fetch_add(1);
                popped.fetch_add(1);
            }
    };
    std::thread p1(producer, 0), p2(producer, kPerThread), c1(consumer), c2(consumer);
    p1.join();
    p2.join();
    c1.join();
    c2.join();
    for (uint32_t i = 0; i < 2 * kPerThread; ++i)
        ASSERT_EQ(seen[i].load(), 1) << i;
    thread::BoundedQueue<int> full(2);
    EXPECT_TRUE(full.push(1));
    EXPECT_TRUE(full.push(2));
    EXPECT_FALSE(full.push(3));
}

TEST(ByteRing, RecordsCrossInOrderAcrossTheWrapAndAFullRingRefusesWholeRecords)
{
    thread::ByteRing ring(1000);
    std::atomic<bool> done{false};
    constexpr int kRecords = 50000;
    std::thread producer([&] {
        std::vector<uint8_t> rec;
        for (int r = 0; r < kRecords; ++r) {
            rec.assign(size_t(1 + r % 97), uint8_t(r));
            while (!ring.push(rec.data(), uint32_t(rec.size()))) {
            }
        }
        done = true;
    });
    std::vector<uint8_t> out;
    out.reserve(128);
    for (int r = 0; r < kRecords;) {
        if (!ring.pop(out))
            continue;
        ASSERT_EQ(out.size(), size_t(1 + r % 97));
        ASSERT_EQ(out.front(), uint8_t(r));
        ASSERT_EQ(out.back(), uint8_t(r));
        ++r;
    }
    producer.join();
    EXPECT_FALSE(ring.pop(out));

    thread::ByteRing small(64);
    const std::vector<uint8_t> big(40, 7);
    EXPECT_TRUE(small.push(big.data(), 40));
    EXPECT_FALSE(small.push(big.data(), 40));
    ASSERT_TRUE(small.pop(out));
    EXPECT_EQ(out, big);
}

TEST(Doorbell, ARingBeforeTheWaitIsNotLost)
{
    thread::Doorbell bell;
    ASSERT_GE(bell.fd(), 0);
    EXPECT_FALSE(bell.wait(std::chrono::milliseconds(0)));
    bell.ring();
    bell.ring();
    EXPECT_TRUE(bell.wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(bell.wait(std::chrono::milliseconds(0)));
    std::thread ringer([&] { bell.ring(); });
    EXPECT_TRUE(bell.wait(std::chrono::seconds(10)));
    ringer.join();
}

// Told from many threads at once, a watched bell rings exactly once; unwatched, never.
TEST(NewsBell, RingsOnceAWatchWhoeverTellsIt)
{
    thread::Doorbell bell;
    thread::NewsBell news;
    news.tell();
    EXPECT_FALSE(bell.wait(std::chrono::milliseconds(0)));
    for (int round = 0; round < 50; ++round) {
        news.watch(&bell);
        std::vector<std::thread> tellers;
        for (int t = 0; t < 4; ++t)
            tellers.emplace_back([&] {
                for (int i = 0; i < 100; ++i)
                    news.tell();
            });
        for (auto& t : tellers)
            t.join();
        uint64_t rings = 0;
        ASSERT_EQ(::read(bell.fd(), &rings, sizeof rings), ssize_t(sizeof rings));
        EXPECT_EQ(rings, 1u) << "round " << round;
    }
    news.tell();
    EXPECT_FALSE(bell.wait(std::chrono::milliseconds(0)));
}

} // namespace
