// Each sweep mode's cost beside Manual, in alternating turns of one run, on the program's
// 16-bit path and on a plugin's float path; and how far the cutoff moves between two updates
// of a 20 Hz LFO sweep (the steps a listener could hear as zipper noise).

#include "effect/SweepFilter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kBlock = 512;
constexpr int kBlocksPerTurn = 2000;
constexpr int kTurns = 15;

std::vector<float> Noise()
{
    std::vector<float> v(kBlock);
    uint32_t x = 12345;
    for (auto& s : v) {
        x = x * 1664525u + 1013904223u;
        s = float(int32_t(x >> 16) - 32768) / 131072.0f;
    }
    return v;
}

struct Mode {
    const char* name;
    fx::SweepMode mode;
};
constexpr Mode kModes[] = {{"Manual", fx::SweepMode::Manual},
                           {"Envelope", fx::SweepMode::Envelope},
                           {"LFO", fx::SweepMode::Lfo}};

void Prime(fx::SweepFilter& f, fx::SweepMode mode)
{
    f.FreqOffset = 0.1;
    f.Resonance = 9.0;
    f.CurrentDepth = 0.5;
    f.TargetDepth = 0.5;
    f.Mode = mode;
}

// ns per sample of one turn.
template <typename Run>
double Turn(Run&& run)
{
    const auto start = std::chrono::steady_clock::now();
    for (int b = 0; b < kBlocksPerTurn; ++b)
        run();
    const auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return ns / (double(kBlocksPerTurn) * kBlock);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void CostOfEachMode(bool floats)
{
    const auto noise = Noise();
    std::vector<int16_t> ints(kBlock);
    std::vector<float> out(kBlock);
    std::vector<double> times[3];
    fx::SweepFilter filters[3] = {fx::SweepFilter(floats ? fx::Scaling::HeldInHzAndSeconds : fx::Scaling::FollowsRate),
                                  fx::SweepFilter(floats ? fx::Scaling::HeldInHzAndSeconds : fx::Scaling::FollowsRate),
                                  fx::SweepFilter(floats ? fx::Scaling::HeldInHzAndSeconds : fx::Scaling::FollowsRate)};
    for (int m = 0; m < 3; ++m)
        Prime(filters[m], kModes[m].mode);
    for (int turn = 0; turn < kTurns; ++turn) {
        for (int m = 0; m < 3; ++m) {
            auto& f = filters[m];
            times[m].push_back(Turn([&] {
                if (floats) {
                    f.Process(noise.data(), out.data(), kBlock);
                } else {
                    for (uint32_t i = 0; i < kBlock; ++i)
                        ints[i] = int16_t(noise[i] * 32768.0f);
                    f.Process(ints.data(), int32_t(kBlock));
                }
            }));
        }
    }
    const double manual = Median(times[0]);
    for (int m = 0; m < 3; ++m)
        std::printf("%s path %-8s %.3f ns/sample, %.3fx Manual (goal <= 1.2x)\n", floats ? "float" : "16-bit",
                    kModes[m].name, Median(times[m]), Median(times[m]) / manual);
}

void LargestCutoffStep(fx::LfoShape shape, const char* name)
{
    fx::SweepFilter f;
    Prime(f, fx::SweepMode::Lfo);
    f.LfoRate = 20.0;
    f.Shape = shape;
    std::vector<int16_t> silence(fx::kDepthStep, 0);
    double last = 0, largestRatio = 1, largestHz = 0;
    for (int step = 0; step < 44100 / int(fx::kDepthStep); ++step) {
        f.Process(silence.data(), int32_t(silence.size()));
        fx::InEffect e;
        if (!f.TakeInEffect(e))
            continue;
        const double hz = 44100.0 * std::acos(-e.c.A1 / 2.0) / (2 * M_PI);
        if (last > 0) {
            largestRatio = std::max(largestRatio, std::max(hz / last, last / hz));
            largestHz = std::max(largestHz, std::fabs(hz - last));
        }
        last = hz;
    }
    std::printf("20 Hz %-8s LFO: largest cutoff step between updates %.1f Hz, %.1f cents (updates every %u samples)\n",
                name, largestHz, 1200.0 * std::log2(largestRatio), fx::kDepthStep);
}

} // namespace

int main()
{
    CostOfEachMode(false);
    CostOfEachMode(true);
    LargestCutoffStep(fx::LfoShape::Sine, "Sine");
    LargestCutoffStep(fx::LfoShape::Triangle, "Triangle");
    LargestCutoffStep(fx::LfoShape::Square, "Square");
    return 0;
}
