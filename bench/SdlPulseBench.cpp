// A desktop that runs PulseAudio alone: the real program at its defaults through its own
// PulseAudio device, then through SDL's pulseaudio driver, beside PulseAudio's own loopback at
// the same latency before and after, in turns on one daemon. A probe plays a quiet low tone
// with a click a second into the "gtr" sink and listens on both monitors; the program (or the
// loopback) carries gtr's monitor to amp. Silences heard (runs of 48 or more zero samples
// while the tone plays) are counted at amp and, as the reference, at gtr; each turn's CPU is
// the daemon's and the program's threads together. The probe tells a click's delay by the clock: when
// it handed the click's block over and when the click's sample came back, so that a stream
// that starts or slips does not move the figure; what the probe's own buffers add is the
// same for both, and the difference is what the program adds over PulseAudio's loopback.
// Run by hand on the private daemon bench/sdl-pulse.sh starts (VOBBLIX_BENCH_VERBOSE=1 also
// prints the program's standard error):
//   bash bench/sdl-pulse.sh [seconds [sdl-seconds]]

#include "support/Spawn.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBytes = 1000;
// The probe's blocks. Shorter ones read the clock nearer the sound, but a probe that drives
// both sinks at periods of 1 to 3 ms makes SDL's pulseaudio capture deliver a sixth less
// than the input (36000 to 40000 frames a second for 44100, with SDL alone, no program), and
// the program then runs dry many times a second; the delay a block adds is the same for
// both clients.
constexpr uint32_t kProbeFrames = 512;
// About a second between clicks, in the probe's blocks.
constexpr uint64_t kClickBlocks = kRate / kProbeFrames;
constexpr auto kLoopbackPhase = 20s;
// The tone under the clicks: low enough to pass the filter as it is, quiet enough to stay
// below a click's first sample, never zero for long.
constexpr double kToneHz = 100.0;
constexpr double kToneLevel = 40.0;
// A run of zero samples this long, while the tone plays, is a silence heard.
constexpr size_t kSilenceRun = 48;
// PulseAudio's loopback at the latency the program's buffer stands for.
constexpr int kLoopbackLatencyMs = 11;

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Plays a click a second and hears it come back; each click's delay in milliseconds.
class Probe {
public:
    Probe()
    {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
        pa_buffer_attr out{};
        out.maxlength = uint32_t(-1);
        out.tlength = kProbeFrames * 2 * 2;
        out.prebuf = uint32_t(-1);
        out.minreq = kProbeFrames * 2;
        out.fragsize = uint32_t(-1);
        pa_buffer_attr in = out;
        in.fragsize = kProbeFrames * 2;
        int error = 0;
        play_ = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_PLAYBACK, "gtr", "clicks", &spec, nullptr, &out,
                              &error);
        hear_ = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_RECORD, "amp.monitor", "heard", &spec, nullptr,
                              &in, &error);
        input_ = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_RECORD, "gtr.monitor", "played", &spec, nullptr,
                               &in, &error);
        if (!play_ || !hear_ || !input_) {
            std::printf("probe: %s\n", pa_strerror(error));
            return;
        }
        player_ = std::thread([this] { Play(); });
        listener_ = std::thread([this] { Hear(); });
        inputListener_ = std::thread([this] { Silences(input_, inputSilences_); });
    }
    ~Probe()
    {
        stop_ = true;
        if (player_.joinable())
            player_.join();
        if (listener_.joinable())
            listener_.join();
        if (inputListener_.joinable())
            inputListener_.join();
        for (pa_simple* s : {play_, hear_, input_})
            if (s)
                pa_simple_free(s);
    }
    bool running() const { return play_ && hear_ && input_; }
    // Silences heard at amp and at gtr since the last call.
    uint64_t takeSilences() { return silences_.exchange(0); }
    uint64_t takeInputSilences() { return inputSilences_.exchange(0); }
    // The delays heard since the last call.
    std::vector<double> take()
    {
        std::lock_guard lock(lock_);
        return std::exchange(delays_, {});
    }
    uint64_t sent() const { return sent_.load(); }

private:
    void Play()
    {
        std::vector<int16_t> block(kProbeFrames, 0);
        uint64_t blocks = 0;
        uint64_t at = 0;
        int error = 0;
        while (!stop_) {
            for (int16_t& v : block)
                v = int16_t(std::lround(kToneLevel * std::sin(2 * M_PI * kToneHz * double(at++) / kRate)));
            const bool click = blocks++ % kClickBlocks == 0;
            if (click)
                block[0] = testsupport::kStoreClick;
            if (click) {
                std::lock_guard lock(lock_);
                clicks_.push_back(Clock::now());
                sent_.fetch_add(1);
            }
            if (pa_simple_write(play_, block.data(), block.size() * 2, &error) < 0)
                return;
        }
    }
    // Counts the runs of zeros in a block, carried over from the block before.
    static void CountRuns(const std::vector<int16_t>& block, size_t& run, std::atomic<uint64_t>& silences)
    {
        for (int16_t v : block) {
            run = v == 0 ? run + 1 : 0;
            if (run == kSilenceRun)
                silences.fetch_add(1);
        }
    }
    void Silences(pa_simple* source, std::atomic<uint64_t>& silences)
    {
        std::vector<int16_t> block(kProbeFrames);
        size_t run = 0;
        while (!stop_ && pa_simple_read(source, block.data(), block.size() * 2, nullptr) == 0)
            CountRuns(block, run, silences);
    }
    void Hear()
    {
        std::vector<int16_t> block(kProbeFrames);
        int error = 0;
        size_t run = 0;
        Clock::time_point quietUntil{};
        while (!stop_) {
            if (pa_simple_read(hear_, block.data(), block.size() * 2, &error) < 0)
                return;
            CountRuns(block, run, silences_);
            const auto now = Clock::now();
            if (now < quietUntil)
                continue;
            const auto loud = std::find_if(block.begin(), block.end(),
                                           [](int16_t s) { return std::abs(s) >= testsupport::kStoreClickHeard; });
            if (loud == block.end())
                continue;
            // The sample came back the rest of the block before the read returned.
            const auto heard =
                now - std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(double(block.end() - loud) / kRate));
            std::lock_guard lock(lock_);
            // The latest click sent before it was heard, within half a second.
            auto sent = std::find_if(clicks_.rbegin(), clicks_.rend(), [&](Clock::time_point t) { return t <= heard; });
            if (sent != clicks_.rend() && heard - *sent < 500ms)
                delays_.push_back(std::chrono::duration<double, std::milli>(heard - *sent).count());
            // Past the click's ringing, well short of the next click.
            quietUntil = now + 500ms;
        }
    }

    pa_simple* play_ = nullptr;
    pa_simple* hear_ = nullptr;
    pa_simple* input_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> silences_{0};
    std::atomic<uint64_t> inputSilences_{0};
    std::atomic<uint64_t> sent_{0};
    std::mutex lock_;
    std::vector<Clock::time_point> clicks_;
    std::vector<double> delays_;
    std::thread player_;
    std::thread listener_;
    std::thread inputListener_;
};

// CPU time of every thread of a process so far, in nanoseconds.
uint64_t CpuNs(pid_t pid)
{
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        uint64_t ns = 0;
        std::ifstream(task.path() / "schedstat") >> ns;
        total += ns;
    }
    return total;
}

// What one turn heard: the clicks' delays, the silences at amp and at gtr, the CPU a second
// of the daemon and the program together, and what the program counted itself.
struct Turn {
    std::vector<double> delays;
    uint64_t silences = 0;
    uint64_t inputSilences = 0;
    double cpuPercent = 0;
    double programCpuPercent = 0;
    uint64_t sent = 0;
    uint64_t underruns = 0;
    uint64_t overruns = 0;
};

// Measures from now for `length`, with `program` (0: none) beside the daemon.
Turn Measure(Probe& probe, pid_t daemon, pid_t program, std::chrono::seconds length)
{
    Turn t;
    probe.take();
    probe.takeSilences();
    probe.takeInputSilences();
    const uint64_t sent0 = probe.sent();
    const uint64_t program0 = program ? CpuNs(program) : 0;
    const uint64_t cpu0 = CpuNs(daemon) + program0;
    const auto start = Clock::now();
    std::this_thread::sleep_for(length);
    const uint64_t programNs = (program ? CpuNs(program) : 0) - program0;
    const uint64_t cpu = CpuNs(daemon) + programNs + program0 - cpu0;
    const double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    t.cpuPercent = 100.0 * double(cpu) / ns;
    t.programCpuPercent = 100.0 * double(programNs) / ns;
    t.delays = probe.take();
    t.silences = probe.takeSilences();
    t.inputSilences = probe.takeInputSilences();
    t.sent = probe.sent() - sent0;
    return t;
}

// PulseAudio's own loopback from gtr's monitor to amp for a while.
Turn LoopbackTurn(Probe& probe, pid_t daemon)
{
    const std::string module =
        testsupport::Output("pactl load-module module-loopback source=gtr.monitor sink=amp latency_msec=" +
            std::to_string(kLoopbackLatencyMs) + " source_dont_move=true sink_dont_move=true");
    std::this_thread::sleep_for(3s);
    Turn t = Measure(probe, daemon, 0, std::chrono::duration_cast<std::chrono::seconds>(kLoopbackPhase));
    testsupport::Output("pactl unload-module " + module);
    std::this_thread::sleep_for(1s);
    return t;
}

// The program at its defaults with these environment and arguments, for `seconds` once the
// sound comes through; its own count over those seconds, from the warnings it printed then.
Turn ProgramTurn(Probe& probe, pid_t daemon, const std::vector<std::pair<std::string, std::string>>& environment,
                 const std::vector<std::string>& arguments, int seconds)
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    testsupport::WriteStore(dir, testsupport::StoreFor(kRate, kBytes));
    const pid_t pid = testsupport::SpawnProgram(VOBBLIX_EXE, {dir, environment, arguments, dir / "stderr.txt"});
    // Past the start, once the sound comes through.
    const auto until = Clock::now() + 20s;
    while (Clock::now() < until && probe.take().empty())
        std::this_thread::sleep_for(100ms);
    const auto told = [&] {
        std::ifstream f(dir / "stderr.txt");
        std::stringstream text;
        text << f.rdbuf();
        return text.str();
    };
    const size_t before = told().size();
    Turn t = Measure(probe, daemon, pid, std::chrono::seconds(seconds));
    // Its warnings come at most once a second: the last second's, too.
    std::this_thread::sleep_for(1500ms);
    testsupport::Terminate(pid);
    const std::string errors = told();
    fs::remove_all(dir);
    testsupport::CountGlitches(errors.substr(std::min(before, errors.size())), t.underruns, t.overruns);
    if (t.delays.empty() || std::getenv("VOBBLIX_BENCH_VERBOSE"))
        std::printf("the program's standard error:\n%s\n", errors.c_str());
    return t;
}

void PrintProgram(const char* name, const Turn& t, double peer, int seconds)
{
    const double ours = Median(t.delays);
    std::printf("  %s: click delay median %.1f ms (min %.1f, max %.1f; %zu of %llu clicks heard), %.1f ms over "
                "PulseAudio's loopback (goal at most one buffer, %.1f ms)\n",
                name, ours, t.delays.empty() ? -1.0 : *std::min_element(t.delays.begin(), t.delays.end()),
                t.delays.empty() ? -1.0 : *std::max_element(t.delays.begin(), t.delays.end()), t.delays.size(),
                static_cast<unsigned long long>(t.sent), ours - peer, 1000.0 * (kBytes / 2) / kRate);
    std::printf("    over %d s: %llu silences heard at amp (%llu at gtr, the input); the program counted %llu "
                "underruns, %llu overruns (goal 0, and the count agrees)\n",
                seconds, static_cast<unsigned long long>(t.silences), static_cast<unsigned long long>(t.inputSilences),
                static_cast<unsigned long long>(t.underruns), static_cast<unsigned long long>(t.overruns));
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const int sdlSeconds = argc > 2 ? std::atoi(argv[2]) : seconds;
    const char* daemonPid = std::getenv("VOBBLIX_PULSE_PID");
    if (!daemonPid) {
        std::printf("run through scripts/with-pulse.sh (bash bench/sdl-pulse.sh)\n");
        return 1;
    }
    const pid_t daemon = std::atoi(daemonPid);
    Probe probe;
    if (!probe.running())
        return 1;
    std::this_thread::sleep_for(1s);
    // In turns: the loopback, the device, the loopback, SDL, the loopback.
    std::vector<Turn> loopbacks{LoopbackTurn(probe, daemon)};
    const Turn pulse = ProgramTurn(probe, daemon, {}, {"--audio=pulse"}, seconds);
    loopbacks.push_back(LoopbackTurn(probe, daemon));
    const Turn sdl =
        ProgramTurn(probe, daemon, {{"SDL_AUDIODRIVER", "pulseaudio"}}, {"--audio=sdl"}, sdlSeconds);
    loopbacks.push_back(LoopbackTurn(probe, daemon));

    std::vector<double> delays;
    double cpu = 0;
    uint64_t silences = 0, inputSilences = 0;
    for (const Turn& t : loopbacks) {
        delays.insert(delays.end(), t.delays.begin(), t.delays.end());
        cpu += t.cpuPercent / double(loopbacks.size());
        silences += t.silences;
        inputSilences += t.inputSilences;
    }
    const double peer = Median(delays);
    std::printf("On a private PulseAudio, null sinks at %u Hz, the program at its defaults (%u bytes):\n", kRate,
                kBytes);
    std::printf("  PulseAudio's loopback at %d ms: click delay median %.1f ms (turns %.1f, %.1f, %.1f; %zu clicks), "
                "%llu silences heard at amp (%llu at gtr) in %d s, CPU %.2f %% (daemon)\n",
                kLoopbackLatencyMs, peer, Median(loopbacks[0].delays), Median(loopbacks[1].delays),
                Median(loopbacks[2].delays), delays.size(), static_cast<unsigned long long>(silences),
                static_cast<unsigned long long>(inputSilences),
                int(loopbacks.size() * std::chrono::duration_cast<std::chrono::seconds>(kLoopbackPhase).count()), cpu);
    PrintProgram("the program's own PulseAudio device", pulse, peer, seconds);
    std::printf("    CPU %.2f %% (daemon and program, the program %.2f %%), %.2fx the loopback's (goal at most "
                "1.2x)\n",
                pulse.cpuPercent, pulse.programCpuPercent, pulse.cpuPercent / cpu);
    PrintProgram("the program through SDL's pulseaudio driver", sdl, peer, sdlSeconds);
    std::printf("    CPU %.2f %% (daemon and program, the program %.2f %%), %.2fx the loopback's\n", sdl.cpuPercent,
                sdl.programCpuPercent, sdl.cpuPercent / cpu);
    return 0;
}
