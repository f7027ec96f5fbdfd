// A MIDI message handed to the pedal's sink, as a backend's realtime cycle hands it, to the
// new TargetDepth: median and maximum over many messages of 7 and 14 bits, and the
// throughput of a flood. The figure through a real port (server cycle included) is
// bench_midi_port's (bench/midi_port.sh).

#include "effect/FX.h"
#include "pedal/MidiPedal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kMessages = 200000;

using Clock = std::chrono::steady_clock;

void Report(const char* what, std::vector<double>& ns)
{
    std::sort(ns.begin(), ns.end());
    std::printf("%-34s median %7.1f ns   p99.9 %8.1f ns   max %9.1f ns   (%zu messages)\n", what,
                ns[ns.size() / 2], ns[ns.size() * 999 / 1000], ns.back(), ns.size());
}

// Times each message from the call to the moment TargetDepth holds its value.
std::vector<double> Run(midi::MidiPedal& pedal, bool fourteenBit)
{
    std::vector<double> ns;
    ns.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        const int value = (i * 7919) % (fourteenBit ? 16384 : 128);
        const uint8_t coarse[3] = {0xB0, 11, uint8_t(fourteenBit ? value >> 7 : value)};
        const uint8_t fine[3] = {0xB0, 43, uint8_t(value & 0x7F)};
        const auto start = Clock::now();
        pedal.receive(0, coarse, 3);
        if (fourteenBit)
            pedal.receive(0, fine, 3);
        const double depth = TargetDepth.load(std::memory_order_relaxed);
        const auto end = Clock::now();
        if (depth < 0.0)
            std::puts("impossible depth");
        ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()));
    }
    return ns;
}

} // namespace

int main()
{
    midi::MidiPedal pedal;
    midi::PedalConfig config;
    config.drivesDepth = true;
    pedal.configure(config);
    auto seven = Run(pedal, false);
    Report("7-bit controller to TargetDepth", seven);
    config.fourteenBit = true;
    pedal.configure(config);
    auto fourteen = Run(pedal, true);
    Report("14-bit pair to TargetDepth", fourteen);

    // A flood in one event, as a burst from a fast sweep would come in one cycle.
    std::vector<uint8_t> burst;
    for (int i = 0; i < 1000; ++i)
        burst.insert(burst.end(), {0xB0, 11, uint8_t(i % 128)});
    const auto start = Clock::now();
    for (int r = 0; r < 1000; ++r)
        pedal.receive(0, burst.data(), uint32_t(burst.size()));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("flood: %.1f million messages a second through the parser\n", 1e6 / seconds / 1e6);
    return 0;
}
