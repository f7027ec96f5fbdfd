// The plugin's cost on sound and on the tail of a loud note decaying into silence, in
// alternating turns through lilv: a filter that let its state sink into denormal numbers
// would cost many times more on the tail.

#include "lv2/LilvHost.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

int main()
{
    constexpr double kRate = 48000;
    constexpr uint32_t kBlock = 256;
    constexpr int kTurns = 9;
    lv2test::World world;
    lv2test::Wah wah(world, kRate, {{"resonance", 10}});

    std::vector<float> sound(size_t(kRate) * 2), tail(sound.size()), out(sound.size());
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    for (float& x : sound)
        x = noise(random);
    // One loud sample, then nothing: the resonance rings down through the denormal range.
    tail[0] = 1.0f;

    const auto nsPerSample = [&](const std::vector<float>& in) {
        const auto start = std::chrono::steady_clock::now();
        for (size_t at = 0; at < in.size(); at += kBlock)
            wah.Run(in.data() + at, out.data() + at, kBlock);
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / double(in.size());
    };
    std::vector<double> onSound, onTail;
    for (int turn = 0; turn < kTurns; ++turn) {
        onSound.push_back(nsPerSample(sound));
        onTail.push_back(nsPerSample(tail));
    }
    std::sort(onSound.begin(), onSound.end());
    std::sort(onTail.begin(), onTail.end());
    std::printf("Vobblix Wah at %.0f Hz, blocks of %u, median of %d alternating turns\n", kRate, kBlock, kTurns);
    std::printf("  noise:                   %6.2f ns/sample\n", onSound[kTurns / 2]);
    std::printf("  a loud note's long tail: %6.2f ns/sample (%.2fx)\n", onTail[kTurns / 2],
                onTail[kTurns / 2] / onSound[kTurns / 2]);
}
