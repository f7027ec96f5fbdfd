// The whole stream through SDL's disk driver at real-time pace: the delay from a click in the
// input to the click in the output, underruns per minute, and CPU time per second of audio.
//   bench_stream [buffer bytes] [seconds]      (defaults: 1000 and 20)

#include "audio/Waves.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/wave/Backend.h"
#include "platform/wave/SdlDevice.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kRate = 44100;
constexpr int16_t kClick = 20000;
constexpr size_t kClickEvery = kRate / 2;

std::mutex gMutex;
std::condition_variable gCv;
uint64_t gBytes = 0;

void Count(const void*, uint32_t length, bool)
{
    std::lock_guard lock(gMutex);
    gBytes += length;
    gCv.notify_all();
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const uint32_t block = argc > 1 ? uint32_t(std::atoi(argv[1])) : 1000;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20.0;
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    const size_t frames = size_t(seconds * kRate);

    // Silence with a click every half second.
    std::vector<int16_t> input(frames, 0);
    for (size_t i = kClickEvery / 2; i < frames; i += kClickEvery)
        input[i] = kClick;
    std::ofstream(dir / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(frames * 2));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILEIN", (dir / "in.raw").c_str(), 1);
    setenv("SDL_DISKAUDIOFILE", (dir / "out.raw").c_str(), 1);

    Settings.SampleRate = kRate;
    Settings.memBlockLength = block;
    Settings.UsingMouse = true;
    FreqOffset = 1.0; // the cutoff at half the rate: the click passes through undelayed
    Resonance = 0.7;
    ResetDepth();
    ProcessedBlockHook = &Count;

    std::atomic<bool> stopping{false};
    wave::WaveCounters counts;
    struct Mark {
        double at;
        uint64_t captured;
        uint64_t played;
    };
    std::vector<Mark> marks;
    marks.reserve(size_t(seconds * 1200) + 1000);
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    {
        auto serviceEngine = wave::OpenSdl();
        auto& service = *serviceEngine;
        TfrmWaves waves(service, stopping, StandalonePump());
        waves.FormCreate();
        waves.StartCapture();
        // Where each thread stood, every millisecond: the disk driver's two threads keep paces
        // of their own, so a click's delay is told by when each thread moved it.
        for (;;) {
            {
                std::unique_lock lock(gMutex);
                if (gCv.wait_for(lock, std::chrono::milliseconds(1), [&] { return gBytes >= frames * 2; }))
                    break;
            }
            const auto c = service.counters();
            marks.push_back({std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                             c.capturedFrames, c.playbackFrames});
        }
        counts = service.counters();
        stopping = true;
        waves.StopAudio();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;

    std::ifstream in(dir / "out.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    // Each click's delay: the first clearly loud output sample at or after it, less the
    // silence the output played before capture started (on the output file's positions).
    // And as heard: the time from the capture cycle that brought the click to the playback
    // cycle that took it, in input frames at the pace the input kept, with the click's place
    // in each cycle added.
    const size_t ahead = size_t(counts.playbackFramesAtCaptureStart);
    const uint32_t period = wave::SdlDevice::PeriodFrames(block);
    const double pace = marks.size() < 2 ? kRate
                                         : double(marks.back().captured - marks.front().captured) /
                                               std::max(marks.back().at - marks.front().at, 1e-3);
    auto firstPast = [&](uint64_t Mark::*field, uint64_t position) {
        return std::find_if(marks.begin(), marks.end(), [&](const Mark& m) { return m.*field > position; });
    };
    std::vector<long> delays, heard;
    size_t from = 0;
    // Clicks are paired in order: the output's clock may run ahead of the input's or behind it.
    for (size_t i = kClickEvery / 2; i < frames; i += kClickEvery) {
        while (from < out.size() && std::abs(out[from]) < kClick / 4)
            ++from;
        if (from >= out.size())
            break;
        delays.push_back(long(from) - long(i) - long(ahead));
        const auto captured = firstPast(&Mark::captured, i);
        const auto played = firstPast(&Mark::played, from);
        if (captured != marks.end() && played != marks.end()) {
            const double inPlace = double(i) - double(captured->captured - period);
            const double outPlace = double(from) - double(played->played - period);
            heard.push_back(std::lround((played->at - captured->at) * pace + double(period) - inPlace + outPlace));
        }
        // Past the click's ringing, well short of the next click.
        from += kClickEvery / 2;
    }
    std::sort(delays.begin(), delays.end());
    std::sort(heard.begin(), heard.end());
    const long median = delays.empty() ? -1 : delays[delays.size() / 2];
    const long heardMedian = heard.empty() ? -1 : heard[heard.size() / 2];
    std::printf("buffer %u bytes (%u samples), SDL period %u frames; output ran %zu frames ahead\n", block,
                block / 2, period, ahead);
    // The files' positions drift apart with the two threads' paces (they may even go below
    // zero): the delay is what the line after it says.
    std::printf("click-to-click in file positions: median %ld samples (%.2f ms), min %ld, max %ld over %zu clicks\n",
                median,
                1000.0 * double(median) / kRate, delays.empty() ? -1 : delays.front(),
                delays.empty() ? -1 : delays.back(), delays.size());
    std::printf("  as heard (the input thread kept %.0f frames a second): median %ld samples (%.2f ms), min %ld, "
                "max %ld; goal <= one buffer + one period = %u\n",
                pace, heardMedian, 1000.0 * double(heardMedian) / kRate, heard.empty() ? -1 : heard.front(),
                heard.empty() ? -1 : heard.back(), block / 2 + period);
    const double audioMinutes = double(frames) / kRate / 60.0;
    std::printf("underruns: %llu (%llu frames) in %.2f min of audio = %.1f per minute\n",
                (unsigned long long)counts.underruns, (unsigned long long)counts.underrunFrames, audioMinutes,
                double(counts.underruns) / audioMinutes);
    std::printf("clock adjustments: %llu playback callbacks a sample longer or shorter\n",
                (unsigned long long)counts.clockAdjustments);
    std::printf("CPU: %.3f s over %.2f s wall for %.2f s of audio = %.2f ms per second of audio\n", cpu, wall,
                double(frames) / kRate, 1000.0 * cpu / (double(frames) / kRate));
    fs::remove_all(dir);
}
