// ProcessBuffer in ns per sample on 500-sample buffers, beside a minimal biquad loop of the
// same arithmetic in the same binary, and their ratio: the per-sample parameter test must
// cost next to nothing.

#include "effect/FX.h"

#include "config/Settings.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kSamples = 500;

std::vector<int16_t> Noise()
{
    std::vector<int16_t> v(kSamples);
    uint32_t x = 12345;
    for (auto& s : v) {
        x = x * 1664525u + 1013904223u;
        s = static_cast<int16_t>(x >> 20);
    }
    return v;
}

void BM_ProcessBuffer(benchmark::State& state)
{
    Settings.UsingMouse = true;
    FreqOffset = 0.1;
    Resonance = 9.0;
    CurrentDepth = 0.5;
    const auto noise = Noise();
    auto block = noise;
    for (auto _ : state) {
        block = noise;
        ProcessBuffer(block.data(), kSamples);
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["ns_per_sample"] = benchmark::Counter(double(state.iterations()) * kSamples,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_MinimalBiquad(benchmark::State& state)
{
    const auto c = fx::CoefficientsFor(0.1, 9.0, 0.5);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    const auto noise = Noise();
    auto block = noise;
    for (auto _ : state) {
        block = noise;
        for (auto& s : block) {
            const double x = s;
            double y = (c.B0 * x + c.B1 * x1 + c.B2 * x2 - c.A1 * y1 - c.A2 * y2) / c.A0;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            if (!(y >= -32768.0))
                y = -32768.0;
            else if (y > 32767.0)
                y = 32767.0;
            s = static_cast<int16_t>(y);
        }
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["ns_per_sample"] = benchmark::Counter(double(state.iterations()) * kSamples,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ProcessBuffer)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MinimalBiquad)->Repetitions(5)->ReportAggregatesOnly(true);

class Collect : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& r : runs)
            if (r.aggregate_name == "median")
                median[r.run_name.function_name] = r.counters.at("ns_per_sample");
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collect reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.median["BM_ProcessBuffer"];
    const double bare = reporter.median["BM_MinimalBiquad"];
    if (ours > 0 && bare > 0)
        std::printf("ProcessBuffer %.3f ns/sample, minimal biquad %.3f ns/sample, ratio %.3f (goal <= 1.25)\n",
                    ours * 1e9, bare * 1e9, ours / bare);
    benchmark::Shutdown();
}
