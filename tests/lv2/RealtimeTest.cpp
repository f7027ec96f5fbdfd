// run() on the host's audio thread allocates nothing: this program's malloc family, which the
// plugin's module resolves to, counts every call made while an instance runs.

#include "LilvHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
std::atomic<bool> watching{false};
std::atomic<int> allocations{0};
void Count()
{
    if (watching.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void* malloc(size_t n)
{
    Count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size)
{
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n)
{
    Count();
    return __libc_realloc(p, n);
}
void* aligned_alloc(size_t alignment, size_t n)
{
    Count();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** p, size_t alignment, size_t n)
{
    Count();
    *p = __libc_memalign(alignment, n);
    return *p != nullptr ? 0 : 12;
}
}

namespace {

TEST(Lv2Realtime, RunAllocatesNothingInAnyModeRateOrBlock)
{
    lv2test::World world;
    for (const double rate : {22050.0, 192000.0}) {
        for (const float mode : {0.0f, 1.0f, 2.0f}) {
            allocations = 0;
            watching = true;
            lv2test::Wah wah(world, rate, {{"mode", mode}, {"midi_pedal", 1}, {"tap_kind", 2}, {"tap_number", 40}});
            watching = false;
            ASSERT_GT(allocations.load(), 0) << "the count does not see the module's allocations";
            std::vector<float> in(32768, 0.1f), out(in.size());
            std::vector<lv2test::MidiAt> midi;
            for (uint64_t f = 0; f < in.size(); f += 997)
                midi.push_back({f, {uint8_t(f % 2 ? 0xB0 : 0x90), uint8_t(f % 2 ? 11 : 40), uint8_t(f % 128)}});
            uint64_t done = 0;
            for (const uint32_t frames : {0u, 1u, 7u, 8192u, 64u, 8192u, 8192u}) {
                wah.Queue(frames, midi, done);
                allocations = 0;
                watching = true;
                wah.RunQueued(in.data() + done, out.data() + done, frames);
                watching = false;
                EXPECT_EQ(allocations.load(), 0) << frames << " frames at " << rate << " Hz, mode " << mode;
                done += frames;
            }
        }
    }
}

} // namespace
