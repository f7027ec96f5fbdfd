// The SDL fallback on a desktop that runs PulseAudio alone: the real program at its defaults
// through SDL's pulseaudio driver, its glitches over a long run and the delay a click takes
// through it, beside PulseAudio's own loopback at the same latency. A probe plays a click a
// second into the "gtr" sink and listens on the "amp" sink's monitor; the program (or the
// loopback) carries gtr's monitor to amp. The probe tells a click's delay by the clock: when
// it handed the click's block over and when the click's sample came back, so that a stream
// that starts or slips does not move the figure; what the probe's own buffers add is the
// same for both, and the difference is what the program adds over PulseAudio's loopback.
// Run by hand on the private daemon bench/sdl-pulse.sh starts (VOBBLIX_BENCH_VERBOSE=1 also
// prints the program's standard error):
//   bash bench/sdl-pulse.sh [seconds]

#include "support/Spawn.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
        if (!play_ || !hear_) {
            std::printf("probe: %s\n", pa_strerror(error));
            return;
        }
        player_ = std::thread([this] { Play(); });
        listener_ = std::thread([this] { Hear(); });
    }
    ~Probe()
    {
        stop_ = true;
        if (player_.joinable())
            player_.join();
        if (listener_.joinable())
            listener_.join();
        if (play_)
            pa_simple_free(play_);
        if (hear_)
            pa_simple_free(hear_);
    }
    bool running() const { return play_ && hear_; }
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
        int error = 0;
        while (!stop_) {
            const bool click = blocks++ % kClickBlocks == 0;
            block[0] = click ? testsupport::kStoreClick : 0;
            if (click) {
                std::lock_guard lock(lock_);
                clicks_.push_back(Clock::now());
                sent_.fetch_add(1);
            }
            if (pa_simple_write(play_, block.data(), block.size() * 2, &error) < 0)
                return;
        }
    }
    void Hear()
    {
        std::vector<int16_t> block(kProbeFrames);
        int error = 0;
        Clock::time_point quietUntil{};
        while (!stop_) {
            if (pa_simple_read(hear_, block.data(), block.size() * 2, &error) < 0)
                return;
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
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::mutex lock_;
    std::vector<Clock::time_point> clicks_;
    std::vector<double> delays_;
    std::thread player_;
    std::thread listener_;
};

// Runs a shell command and returns what it printed.
std::string Run(const std::string& command)
{
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    return out;
}

// PulseAudio's own loopback from gtr's monitor to amp for a while; the delays heard.
std::vector<double> LoopbackPhase(Probe& probe)
{
    const std::string module =
        Run("pactl load-module module-loopback source=gtr.monitor sink=amp latency_msec=" +
            std::to_string(kLoopbackLatencyMs) + " source_dont_move=true sink_dont_move=true");
    std::this_thread::sleep_for(3s);
    probe.take();
    std::this_thread::sleep_for(kLoopbackPhase);
    std::vector<double> delays = probe.take();
    Run("pactl unload-module " + module);
    std::this_thread::sleep_for(1s);
    return delays;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    Run("pactl set-default-sink amp; pactl set-default-source gtr.monitor");
    Probe probe;
    if (!probe.running())
        return 1;
    std::this_thread::sleep_for(1s);
    const std::vector<double> before = LoopbackPhase(probe);

    std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    testsupport::WriteStore(dir, testsupport::StoreFor(kRate, kBytes));
    const pid_t pid = testsupport::SpawnProgram(
        VOBBLIX_EXE, {dir, {{"SDL_AUDIODRIVER", "pulseaudio"}}, {"--audio=sdl"}, dir / "stderr.txt"});
    // Past the start, once the sound comes through.
    const auto until = Clock::now() + 20s;
    while (Clock::now() < until && probe.take().empty())
        std::this_thread::sleep_for(100ms);
    const uint64_t sent0 = probe.sent();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::vector<double> through = probe.take();
    const uint64_t sent = probe.sent() - sent0;
    testsupport::Terminate(pid);
    std::ifstream f(dir / "stderr.txt");
    std::stringstream errors;
    errors << f.rdbuf();
    fs::remove_all(dir);
    uint64_t underruns = 0, overruns = 0;
    testsupport::CountGlitches(errors.str(), underruns, overruns);
    if (through.empty() || std::getenv("VOBBLIX_BENCH_VERBOSE"))
        std::printf("the program's standard error:\n%s\n", errors.str().c_str());

    const std::vector<double> after = LoopbackPhase(probe);
    std::vector<double> loopback = before;
    loopback.insert(loopback.end(), after.begin(), after.end());
    const double peer = Median(loopback), ours = Median(through);
    std::printf("SDL's pulseaudio driver on a private PulseAudio, null sinks at %u Hz, the program at its defaults "
                "(%u bytes):\n",
                kRate, kBytes);
    std::printf("  PulseAudio's loopback at %d ms: click delay median %.1f ms (before %.1f, after %.1f; %zu clicks)\n",
                kLoopbackLatencyMs, peer, Median(before), Median(after), loopback.size());
    std::printf("  program: click delay median %.1f ms (min %.1f, max %.1f; %zu of %llu clicks heard), %.1f ms over "
                "PulseAudio's loopback (one buffer is %.1f ms)\n",
                ours, through.empty() ? -1.0 : *std::min_element(through.begin(), through.end()),
                through.empty() ? -1.0 : *std::max_element(through.begin(), through.end()), through.size(),
                static_cast<unsigned long long>(sent), ours - peer, 1000.0 * (kBytes / 2) / kRate);
    std::printf("  program over %d s: %llu underruns, %llu overruns (goal 0)\n", seconds,
                static_cast<unsigned long long>(underruns), static_cast<unsigned long long>(overruns));
    return 0;
}
