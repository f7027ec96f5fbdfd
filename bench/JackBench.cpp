// Round trip through the program as a JACK client, beside the same probe looped to itself,
// at periods 64, 128 and 256, at the server's rate and at a settings rate that the program
// resamples; then xruns over a long run at period 128 with the program in the path, against
// a baseline run of the probe alone and one with a client that only copies in the same place. Measured on the server's one clock (as jack_iodelay).
// Run by hand on the server that bench/jack.sh starts:
//   bash bench/jack.sh [xrun-seconds]

#include "platform/wave/JackDevice.h"
#include "support/JackProbe.h"
#include "support/Spawn.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::JackProbe;

namespace {

constexpr uint32_t kServerRate = 44100;
constexpr uint32_t kResampledRate = 22050;
constexpr int kClicks = 8;
constexpr float kClick = 30000.0f / 32768.0f;
// A click the filter leaves at least this loud at its first sample is found at that sample.
constexpr float kThreshold = 200.0f / 32768.0f;

std::vector<float> ClickTrain(uint32_t rate)
{
    std::vector<float> s(size_t(rate) * (kClicks + 1) / 4, 0.0f);
    for (int k = 1; k <= kClicks; ++k)
        s[size_t(rate) * size_t(k) / 4 - rate / 8] = kClick;
    return s;
}

// The median delay between each click played and its first loud sample heard, in frames.
long MedianDelay(const std::vector<float>& played, const std::vector<float>& heard)
{
    std::vector<long> delays;
    for (size_t i = 0; i < played.size(); ++i) {
        if (played[i] == 0.0f)
            continue;
        size_t at = i;
        while (at < heard.size() && std::fabs(heard[at]) < kThreshold)
            ++at;
        if (at >= heard.size())
            break;
        delays.push_back(long(at - i));
    }
    if (delays.empty())
        return -1;
    std::sort(delays.begin(), delays.end());
    return delays[delays.size() / 2];
}

struct Program {
    pid_t pid = -1;
    fs::path dir;
    Program(uint32_t rate, uint32_t bytes)
    {
        std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        testsupport::WriteStore(dir, testsupport::StoreFor(rate, bytes));
        pid = testsupport::SpawnProgram(VOBBLIX_EXE,
                                        {dir, {}, {"--audio=jack", "--no-connect"}, dir / "stderr.txt"});
    }
    ~Program()
    {
        testsupport::Terminate(pid);
        fs::remove_all(dir);
    }
};

// Frames from the probe's output to its input: through the program when one is given.
long RoundTrip(const Program* program, uint32_t* reported)
{
    const auto signal = ClickTrain(kServerRate);
    JackProbe probe(signal.size() + kServerRate / 2);
    if (!probe.ok())
        return -1;
    if (program ? !probe.PatchProgramWhenReady() : !probe.LoopBack())
        return -1;
    // The program's first blocks are its lead; a click then finds it running.
    std::this_thread::sleep_for(500ms);
    probe.Play(signal);
    if (!probe.WaitRecorded(signal.size() + kServerRate / 4))
        return -1;
    if (reported)
        *reported = probe.CaptureLatency("vobblix:output");
    return MedianDelay(signal, probe.recording());
}

// A client that copies its input to its output and does nothing else: what any client between
// the probe's two costs the server, for the program's xruns to be weighed against.
struct PassThrough {
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
    PassThrough()
    {
        client = jack_client_open("vobblix-passthrough", JackNoStartServer, nullptr);
        if (!client)
            return;
        in = jack_port_register(client, "input", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        out = jack_port_register(client, "output", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(
            client,
            [](jack_nframes_t n, void* self) {
                auto* p = static_cast<PassThrough*>(self);
                std::copy_n(static_cast<const float*>(jack_port_get_buffer(p->in, n)), n,
                            static_cast<float*>(jack_port_get_buffer(p->out, n)));
                return 0;
            },
            this);
        if (!in || !out || jack_activate(client) != 0) {
            jack_client_close(client);
            client = nullptr;
        }
    }
    ~PassThrough()
    {
        if (client)
            jack_client_close(client);
    }
};

enum class Between { Nothing, PassThrough, Program };

// Xruns the server reported to a probe playing and recording for this long.
uint64_t XrunsOver(Between between, int seconds)
{
    JackProbe probe(size_t(kServerRate) * 2);
    if (!probe.ok())
        return 0;
    bool patched = false;
    switch (between) {
    case Between::Nothing: patched = probe.LoopBack(); break;
    case Between::PassThrough: patched = probe.Patch("vobblix-passthrough:input", "vobblix-passthrough:output"); break;
    case Between::Program: patched = probe.PatchProgramWhenReady(); break;
    }
    if (!patched)
        return 0;
    std::this_thread::sleep_for(500ms);
    const uint64_t before = probe.xruns();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return probe.xruns() - before;
}

// The server's period, set by a client that leaves at once so that it is not in the graph.
bool SetPeriod(uint32_t frames)
{
    JackProbe setter(1);
    const bool done = setter.ok() && setter.SetPeriod(frames);
    std::this_thread::sleep_for(300ms);
    return done;
}

uint32_t RoundUp(uint32_t frames, uint32_t period) { return (frames + period - 1) / period * period; }

} // namespace

int main(int argc, char** argv)
{
    const int xrunSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    {
        JackProbe server(1);
        if (!server.ok() || server.rate() != kServerRate) {
            std::fprintf(stderr, "no JACK server at %u Hz (start one with bench/jack.sh)\n", kServerRate);
            return 1;
        }
    }
    std::printf("JACK dummy server at %u Hz; round trips in frames at the server's rate, median of %d clicks\n",
                kServerRate, kClicks);
    std::printf("%-7s %-7s %-7s %-10s %-10s %-9s %-9s %s\n", "period", "rate", "bytes", "self-loop", "program",
                "added", "reported", "goal");
    for (uint32_t period : {64u, 128u, 256u}) {
        if (!SetPeriod(period)) {
            std::printf("%-7u the server refused the period\n", period);
            continue;
        }
        const long loop = RoundTrip(nullptr, nullptr);
        for (uint32_t rate : {kServerRate, kResampledRate}) {
            for (uint32_t bytes : {128u, 1000u}) {
                uint32_t reported = 0;
                long through = -1;
                {
                    Program program(rate, bytes);
                    through = RoundTrip(&program, &reported);
                }
                // One buffer, at the server's rate, in whole periods; resampled, plus the two
                // resamplers' delays.
                const uint32_t block = uint32_t(std::lround(double(bytes / 2) * kServerRate / rate));
                uint32_t goal = RoundUp(block, period);
                if (rate != kServerRate)
                    goal += wave::JackDevice::ResamplerDelay(kServerRate, rate) +
                            uint32_t(std::lround(double(wave::JackDevice::ResamplerDelay(rate, kServerRate)) *
                                                 kServerRate / rate));
                const long added = through - loop;
                std::printf("%-7u %-7u %-7u %-10ld %-10ld %-9ld %-9u %u %s\n", period, rate, bytes, loop, through,
                            added, reported, goal,
                            through >= 0 && loop >= 0 && added <= long(goal) ? "met" : "NOT met");
            }
        }
    }

    // In turns, so that a machine that grows noisier during the run weighs on both alike.
    SetPeriod(128);
    constexpr int kTurns = 10;
    const int turn = std::max(1, xrunSeconds / kTurns);
    uint64_t baseline = 0, copying = 0, with = 0;
    for (int t = 0; t < kTurns; ++t) {
        baseline += XrunsOver(Between::Nothing, turn);
        {
            PassThrough copier;
            copying += copier.client ? XrunsOver(Between::PassThrough, turn) : 0;
        }
        Program program(kServerRate, 128);
        with += XrunsOver(Between::Program, turn);
    }
    std::printf("xruns over %d s at period 128: %llu with the program at 128 bytes, %llu without (goal: no more), "
                "%llu with a client that only copies\n",
                turn * kTurns, (unsigned long long)with, (unsigned long long)baseline, (unsigned long long)copying);
    return 0;
}
