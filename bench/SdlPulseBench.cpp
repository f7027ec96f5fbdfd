// A desktop that runs PulseAudio alone: the real program at its defaults through its own
// PulseAudio device and through SDL's pulseaudio driver, each in turns with PulseAudio's own
// loopback at the same latency and with a plain client of the daemon at the program's delay,
// round after round on one daemon, so that whatever the machine or the daemon does meanwhile
// falls on every path alike. The loopback runs inside the daemon, in its sinks' own threads;
// a client's sound also passes the daemon's main thread both ways, so the plain client tells
// what any client gets at that delay, the program's sound aside. A probe plays a quiet low
// tone with a click a second into the "gtr" sink, without pause, zeros into "amp", and
// listens on both monitors; the program (or the loopback) carries gtr's monitor to amp. A click's delay is
// the time between hearing it at gtr's monitor and at amp's, by the clock, with both heard
// through streams alike: the probe's own buffers and a sink that runs ahead of the clock
// after idling fall out of the difference. Beside it, the latencies the server reports for
// the path's own streams (record plus playback) cross-check the figure. Silences heard (runs
// of 48 or more zero samples while the tone plays) are counted at amp and, as the reference,
// at gtr, and so are shorter runs of 8 or more; each turn's CPU is the daemon's and the
// program's threads together.
// Run by hand on the private daemon bench/sdl-pulse.sh starts (VOBBLIX_BENCH_VERBOSE=1 also
// prints the program's standard error):
//   bash bench/sdl-pulse.sh [rounds [seconds [sdl-seconds]]]

#include "platform/thread/ThreadPriority.h"
#include "platform/wave/PulseDevice.h"
#include "support/Spawn.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
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
// the program then runs dry many times a second; both monitors are heard alike, so what a
// block adds falls out of the delay.
constexpr uint32_t kProbeFrames = 512;
// About a second between clicks, in the probe's blocks.
constexpr uint64_t kClickBlocks = kRate / kProbeFrames;
// The tone under the clicks: low enough to pass the filter as it is, quiet enough to stay
// below a click's first sample, never zero for long.
constexpr double kToneHz = 100.0;
constexpr double kToneLevel = 40.0;
// A run of zero samples this long, while the tone plays, is a silence heard.
constexpr size_t kSilenceRun = 48;
// A shorter run, down to this, is a click of silence: still heard, and among what the server
// tells the program. The tone never crosses zero for this long.
constexpr size_t kShortSilenceRun = 8;
// PulseAudio's loopback at the latency the program's buffer stands for.
constexpr int kLoopbackLatencyMs = 11;
constexpr auto kLoopbackTurn = 15s;
// A path settles this long before its turn is measured.
constexpr auto kSettle = 3s;
// The probe's writers run realtime where the system allows, as a sound card's input never
// runs dry: on a busy machine a plain thread let the guitar sink play silence, which then
// passed for the path's own.
constexpr int32_t kWriterPriority = 2;
// A click heard at amp this long after it was heard at gtr is no longer that click's.
constexpr auto kClickWindow = 500ms;

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Plays the tone and a click a second into gtr and hears both monitors: each click's delay
// from gtr's monitor to amp's, and the silences at each.
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
        gtr_.stream = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_RECORD, "gtr.monitor", "played", &spec,
                                    nullptr, &in, &error);
        amp_.stream = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_RECORD, "amp.monitor", "heard", &spec,
                                    nullptr, &in, &error);
        // Zeros into amp all along: they change nothing of what its monitor hears, but keep
        // the sink at the latency a stream asks between turns. A null sink left alone goes
        // back to two seconds and renders that far ahead of the clock, which would hold the
        // next turn's first seconds back.
        keep_ = pa_simple_new(nullptr, "vobblix-probe", PA_STREAM_PLAYBACK, "amp", "kept busy", &spec, nullptr, &out,
                              &error);
        if (!running()) {
            std::printf("probe: %s\n", pa_strerror(error));
            return;
        }
        player_ = std::thread([this] { Play(); });
        keeper_ = std::thread([this] {
            thread::SetCurrentThreadPriority(kWriterPriority);
            const std::vector<int16_t> zeros(kProbeFrames, 0);
            while (!stop_ && pa_simple_write(keep_, zeros.data(), zeros.size() * 2, nullptr) == 0) {
            }
        });
        gtrListener_ = std::thread([this] { Listen(gtr_); });
        ampListener_ = std::thread([this] { Listen(amp_); });
    }
    ~Probe()
    {
        stop_ = true;
        for (std::thread* t : {&player_, &keeper_, &gtrListener_, &ampListener_})
            if (t->joinable())
                t->join();
        for (pa_simple* s : {play_, keep_, gtr_.stream, amp_.stream})
            if (s)
                pa_simple_free(s);
    }
    bool running() const { return play_ && keep_ && gtr_.stream && amp_.stream; }
    // Silences heard at amp and at gtr since the last call.
    uint64_t takeSilences() { return amp_.silences.exchange(0); }
    uint64_t takeInputSilences() { return gtr_.silences.exchange(0); }
    // Runs of at least kShortSilenceRun zero samples, shorter than a silence, likewise.
    uint64_t takeShort() { return amp_.shortOnes.exchange(0); }
    uint64_t takeInputShort() { return gtr_.shortOnes.exchange(0); }
    // The delays from gtr's monitor to amp's since the last call, in milliseconds.
    std::vector<double> take()
    {
        std::lock_guard lock(lock_);
        return std::exchange(delays_, {});
    }
    // Clicks heard at gtr so far.
    uint64_t sent() const { return sent_.load(); }

private:
    struct Monitor {
        pa_simple* stream = nullptr;
        std::atomic<uint64_t> silences{0};
        std::atomic<uint64_t> shortOnes{0};
    };

    void Play()
    {
        thread::SetCurrentThreadPriority(kWriterPriority);
        std::vector<int16_t> block(kProbeFrames, 0);
        uint64_t blocks = 0;
        uint64_t at = 0;
        int error = 0;
        while (!stop_) {
            for (int16_t& v : block)
                v = int16_t(std::lround(kToneLevel * std::sin(2 * M_PI * kToneHz * double(at++) / kRate)));
            if (blocks++ % kClickBlocks == 0)
                block[0] = testsupport::kStoreClick;
            if (pa_simple_write(play_, block.data(), block.size() * 2, &error) < 0)
                return;
        }
    }
    // Counts the silences and stamps each click a monitor hears: gtr's are kept, amp's are
    // matched with the latest of gtr's before them.
    void Listen(Monitor& m)
    {
        const bool isAmp = &m == &amp_;
        std::vector<int16_t> block(kProbeFrames);
        size_t run = 0;
        Clock::time_point quietUntil{};
        while (!stop_ && pa_simple_read(m.stream, block.data(), block.size() * 2, nullptr) == 0) {
            const auto now = Clock::now();
            for (int16_t v : block) {
                if (v != 0 && run >= kShortSilenceRun && run < kSilenceRun)
                    m.shortOnes.fetch_add(1);
                run = v == 0 ? run + 1 : 0;
                if (run == kSilenceRun)
                    m.silences.fetch_add(1);
            }
            if (now < quietUntil)
                continue;
            const auto loud = std::find_if(block.begin(), block.end(),
                                           [](int16_t s) { return std::abs(s) >= testsupport::kStoreClickHeard; });
            if (loud == block.end())
                continue;
            // The sample came in the rest of the block before the read returned.
            const auto heard =
                now - std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(double(block.end() - loud) / kRate));
            // Past the click's ringing, well short of the next click.
            quietUntil = now + kClickWindow;
            std::lock_guard lock(lock_);
            if (!isAmp) {
                clicks_.push_back(heard);
                sent_.fetch_add(1);
                continue;
            }
            auto sent = std::find_if(clicks_.rbegin(), clicks_.rend(), [&](Clock::time_point t) { return t <= heard; });
            if (sent != clicks_.rend() && heard - *sent < kClickWindow)
                delays_.push_back(std::chrono::duration<double, std::milli>(heard - *sent).count());
        }
    }

    pa_simple* play_ = nullptr;
    pa_simple* keep_ = nullptr;
    Monitor gtr_;
    Monitor amp_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::mutex lock_;
    std::vector<Clock::time_point> clicks_;
    std::vector<double> delays_;
    std::thread player_;
    std::thread keeper_;
    std::thread gtrListener_;
    std::thread ampListener_;
};

// A plain client from gtr's monitor to amp: the program's own device's buffer attributes and
// margin, each block written the moment its last sample came in, on a realtime loop thread,
// and nothing else (no filter, no catching up after a late wake-up). Its delay is the
// program's; its silences are what the daemon lets any client's sound go through.
class PlainLink {
public:
    PlainLink()
        : attributes_(wave::PulseDevice::AttributesFor(kRate, kBytes)), pending_(4 * kBytes), margin_(kBytes)
    {
        loop_ = pa_threaded_mainloop_new();
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "vobblix-plain-link");
        pa_context_set_state_callback(
            context_, [](pa_context*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
            loop_);
        pa_threaded_mainloop_lock(loop_);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0 &&
            pa_threaded_mainloop_start(loop_) == 0) {
            pa_threaded_mainloop_once_unlocked(
                loop_, [](pa_threaded_mainloop*, void*) { thread::SetCurrentThreadPriority(kWriterPriority); },
                nullptr);
            pa_context_state_t state;
            while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
                pa_threaded_mainloop_wait(loop_);
            if (state == PA_CONTEXT_READY) {
                out_ = Connect(false);
                in_ = out_ ? Connect(true) : nullptr;
            }
        }
        pa_threaded_mainloop_unlock(loop_);
    }
    ~PlainLink()
    {
        pa_threaded_mainloop_lock(loop_);
        // The callbacks left in place only ring the loop, which nobody waits on any more.
        for (pa_stream* s : {in_, out_})
            if (s) {
                pa_stream_disconnect(s);
                pa_stream_unref(s);
            }
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    bool running() const { return in_ && out_; }
    // The server's underflows of amp's stream so far.
    uint64_t underflows() const { return underflows_.load(); }

private:
    pa_stream* Connect(bool record)
    {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
        pa_stream* s = pa_stream_new(context_, record ? "plain input" : "plain output", &spec, nullptr);
        const wave::PulseDevice::Attributes& a = attributes_;
        constexpr uint32_t kAny = uint32_t(-1);
        const pa_buffer_attr attr =
            record ? pa_buffer_attr{.maxlength = a.recordMax, .tlength = kAny, .prebuf = kAny, .minreq = kAny,
                                    .fragsize = a.fragment}
                   : pa_buffer_attr{.maxlength = kAny, .tlength = a.target, .prebuf = a.prebuffer,
                                    .minreq = a.minimumRequest, .fragsize = kAny};
        pa_stream_set_state_callback(
            s, [](pa_stream*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
            loop_);
        int r;
        if (record) {
            pa_stream_set_read_callback(
                s, [](pa_stream* in, size_t, void* self) { static_cast<PlainLink*>(self)->Read(in); }, this);
            r = pa_stream_connect_record(s, "gtr.monitor", &attr, PA_STREAM_ADJUST_LATENCY);
        } else {
            pa_stream_set_underflow_callback(
                s, [](pa_stream*, void* self) { static_cast<PlainLink*>(self)->underflows_.fetch_add(1); }, this);
            r = pa_stream_connect_playback(s, "amp", &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr);
        }
        pa_stream_state_t state = PA_STREAM_FAILED;
        if (r == 0)
            while ((state = pa_stream_get_state(s)) == PA_STREAM_CREATING)
                pa_threaded_mainloop_wait(loop_);
        if (state == PA_STREAM_READY)
            return s;
        std::printf("plain link: %s\n", pa_strerror(pa_context_errno(context_)));
        pa_stream_unref(s);
        return nullptr;
    }
    // Called on the loop's thread.
    void Read(pa_stream* in)
    {
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(in, &data, &bytes) == 0 && bytes > 0) {
            const size_t room = std::min(bytes, pending_.size() - held_);
            if (data)
                std::memcpy(pending_.data() + held_, data, room);
            else
                std::memset(pending_.data() + held_, 0, room);
            held_ += room;
            pa_stream_drop(in);
            if (held_ < kBytes)
                continue;
            if (!marginSent_) {
                marginSent_ = true;
                pa_stream_write(out_, margin_.data(), attributes_.margin, nullptr, 0, PA_SEEK_RELATIVE);
            }
            const size_t ready = held_ - held_ % kBytes;
            pa_stream_write(out_, pending_.data(), ready, nullptr, 0, PA_SEEK_RELATIVE);
            std::memmove(pending_.data(), pending_.data() + ready, held_ - ready);
            held_ -= ready;
        }
    }

    wave::PulseDevice::Attributes attributes_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* in_ = nullptr;
    pa_stream* out_ = nullptr;
    std::vector<uint8_t> pending_;
    size_t held_ = 0;
    std::vector<uint8_t> margin_;
    bool marginSent_ = false;
    std::atomic<uint64_t> underflows_{0};
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

// The latency the server reports for every stream but the probe's, record and playback
// together, in milliseconds: what the path's own streams hold as the server sees it.
double ServerLatencyMs()
{
    double us = 0;
    for (const char* kind : {"sink-inputs", "source-outputs"}) {
        const std::string list = testsupport::Output(std::string("pactl list ") + kind);
        // One stream a paragraph.
        size_t at = 0;
        while (at < list.size()) {
            const size_t end = std::min(list.find("\n\n", at), list.size());
            const std::string one = list.substr(at, end - at);
            at = end + 2;
            std::smatch m;
            if (one.find("vobblix-probe") == std::string::npos &&
                std::regex_search(one, m, std::regex(R"(Latency: (\d+) usec)")))
                us += std::stod(m[1]);
        }
    }
    return us / 1000.0;
}

// What the turns of one path heard: the clicks' delays, the silences at amp and at gtr, the
// CPU of the daemon and the program together, the server's view of the path's latency, and
// what the program counted itself.
struct Turns {
    std::vector<double> delays;
    std::vector<double> serverMs;
    uint64_t silences = 0;
    uint64_t inputSilences = 0;
    uint64_t shortOnes = 0;
    uint64_t inputShortOnes = 0;
    uint64_t cpuNs = 0;
    uint64_t programNs = 0;
    uint64_t wallNs = 0;
    uint64_t sent = 0;
    uint64_t underruns = 0;
    uint64_t overruns = 0;
    int seconds = 0;

    double cpuPercent() const { return wallNs ? 100.0 * double(cpuNs) / double(wallNs) : 0.0; }
    double programPercent() const { return wallNs ? 100.0 * double(programNs) / double(wallNs) : 0.0; }
};

// Measures from now for `length`, with `program` (0: none) beside the daemon, into `t`.
void Measure(Probe& probe, pid_t daemon, pid_t program, std::chrono::seconds length, Turns& t)
{
    probe.take();
    probe.takeSilences();
    probe.takeInputSilences();
    probe.takeShort();
    probe.takeInputShort();
    const uint64_t sent0 = probe.sent();
    const uint64_t program0 = program ? CpuNs(program) : 0;
    const uint64_t daemon0 = CpuNs(daemon);
    const auto start = Clock::now();
    std::this_thread::sleep_for(length / 2);
    t.serverMs.push_back(ServerLatencyMs());
    std::this_thread::sleep_for(length - length / 2);
    const uint64_t programNs = (program ? CpuNs(program) : 0) - program0;
    t.cpuNs += CpuNs(daemon) - daemon0 + programNs;
    t.programNs += programNs;
    t.wallNs += uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    const std::vector<double> delays = probe.take();
    t.delays.insert(t.delays.end(), delays.begin(), delays.end());
    t.silences += probe.takeSilences();
    t.inputSilences += probe.takeInputSilences();
    t.shortOnes += probe.takeShort();
    t.inputShortOnes += probe.takeInputShort();
    t.sent += probe.sent() - sent0;
    t.seconds += int(length.count());
}

// PulseAudio's own loopback from gtr's monitor to amp for a turn.
void LoopbackTurn(Probe& probe, pid_t daemon, Turns& t)
{
    const std::string module =
        testsupport::Output("pactl load-module module-loopback source=gtr.monitor sink=amp latency_msec=" +
            std::to_string(kLoopbackLatencyMs) + " source_dont_move=true sink_dont_move=true");
    std::this_thread::sleep_for(kSettle);
    Measure(probe, daemon, 0, std::chrono::duration_cast<std::chrono::seconds>(kLoopbackTurn), t);
    testsupport::Output("pactl unload-module " + module);
    std::this_thread::sleep_for(1s);
}

// The plain client for a turn of `seconds` once the sound comes through; the underflows the
// server told it of over those seconds.
void PlainTurn(Probe& probe, pid_t daemon, int seconds, Turns& t)
{
    PlainLink link;
    if (!link.running())
        return;
    const auto until = Clock::now() + 20s;
    while (Clock::now() < until && probe.take().empty())
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(kSettle);
    const uint64_t before = link.underflows();
    Measure(probe, daemon, 0, std::chrono::seconds(seconds), t);
    t.underruns += link.underflows() - before;
}

// The program at its defaults with these environment and arguments for a turn of `seconds`
// once the sound comes through; its own count over those seconds, from the warnings it
// printed then.
void ProgramTurn(Probe& probe, pid_t daemon, const std::vector<std::pair<std::string, std::string>>& environment,
                 const std::vector<std::string>& arguments, int seconds, Turns& t)
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    testsupport::WriteStore(dir, testsupport::StoreFor(kRate, kBytes));
    const pid_t pid = testsupport::SpawnProgram(VOBBLIX_EXE, {dir, environment, arguments, dir / "stderr.txt"});
    // Past the start, once the sound comes through.
    const auto until = Clock::now() + 20s;
    while (Clock::now() < until && probe.take().empty())
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(kSettle);
    const auto told = [&] {
        std::ifstream f(dir / "stderr.txt");
        std::stringstream text;
        text << f.rdbuf();
        return text.str();
    };
    const size_t before = told().size();
    const size_t heardBefore = t.delays.size();
    Measure(probe, daemon, pid, std::chrono::seconds(seconds), t);
    // Its warnings come at most once a second: the last second's, too.
    std::this_thread::sleep_for(1500ms);
    testsupport::Terminate(pid);
    const std::string errors = told();
    fs::remove_all(dir);
    testsupport::CountGlitches(errors.substr(std::min(before, errors.size())), t.underruns, t.overruns);
    if (t.delays.size() == heardBefore || std::getenv("VOBBLIX_BENCH_VERBOSE"))
        std::printf("the program's standard error:\n%s\n", errors.c_str());
}

void PrintProgram(const char* name, const Turns& t, double peer, double peerCpu)
{
    const double ours = Median(t.delays);
    std::printf("  %s: click delay median %.1f ms (min %.1f, max %.1f; %zu of %llu clicks heard), %.1f ms over "
                "PulseAudio's loopback (goal at most one buffer, %.1f ms); the server's latencies %.1f ms\n",
                name, ours, t.delays.empty() ? -1.0 : *std::min_element(t.delays.begin(), t.delays.end()),
                t.delays.empty() ? -1.0 : *std::max_element(t.delays.begin(), t.delays.end()), t.delays.size(),
                static_cast<unsigned long long>(t.sent), ours - peer, 1000.0 * (kBytes / 2) / kRate,
                Median(t.serverMs));
    std::printf("    over %d s: %llu silences heard at amp (%llu at gtr, the input), and %llu shorter runs of "
                "zeros (%llu at gtr); the program counted %llu underruns, %llu overruns (goal 0, and the count "
                "agrees)\n",
                t.seconds, static_cast<unsigned long long>(t.silences),
                static_cast<unsigned long long>(t.inputSilences), static_cast<unsigned long long>(t.shortOnes),
                static_cast<unsigned long long>(t.inputShortOnes), static_cast<unsigned long long>(t.underruns),
                static_cast<unsigned long long>(t.overruns));
    std::printf("    CPU %.2f %% (daemon and program, the program %.2f %%), %.2fx the loopback's (goal at most "
                "1.2x)\n",
                t.cpuPercent(), t.programPercent(), t.cpuPercent() / peerCpu);
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 5;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 120;
    const int sdlSeconds = argc > 3 ? std::atoi(argv[3]) : 30;
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
    // Round after round: the loopback, the device, the loopback, the plain client, the
    // loopback, SDL.
    Turns loopback, pulse, plain, sdl;
    for (int round = 0; round < rounds; ++round) {
        LoopbackTurn(probe, daemon, loopback);
        if (seconds > 0) {
            ProgramTurn(probe, daemon, {}, {"--audio=pulse"}, seconds, pulse);
            LoopbackTurn(probe, daemon, loopback);
            PlainTurn(probe, daemon, seconds, plain);
        }
        LoopbackTurn(probe, daemon, loopback);
        if (sdlSeconds > 0)
            ProgramTurn(probe, daemon, {{"SDL_AUDIODRIVER", "pulseaudio"}}, {"--audio=sdl"}, sdlSeconds, sdl);
    }

    const double peer = Median(loopback.delays);
    const double peerCpu = loopback.cpuPercent();
    std::printf("On a private PulseAudio, null sinks at %u Hz, the program at its defaults (%u bytes), %d rounds:\n",
                kRate, kBytes, rounds);
    std::printf("  PulseAudio's loopback at %d ms: click delay median %.1f ms (min %.1f, max %.1f; %zu clicks), "
                "the server's latencies %.1f ms; %llu silences heard at amp (%llu at gtr) and %llu shorter runs (%llu "
                "at gtr) in %d s, CPU %.2f %% (daemon)\n",
                kLoopbackLatencyMs, peer,
                loopback.delays.empty() ? -1.0 : *std::min_element(loopback.delays.begin(), loopback.delays.end()),
                loopback.delays.empty() ? -1.0 : *std::max_element(loopback.delays.begin(), loopback.delays.end()),
                loopback.delays.size(), Median(loopback.serverMs), static_cast<unsigned long long>(loopback.silences),
                static_cast<unsigned long long>(loopback.inputSilences),
                static_cast<unsigned long long>(loopback.shortOnes),
                static_cast<unsigned long long>(loopback.inputShortOnes), loopback.seconds, peerCpu);
    if (seconds > 0) {
        std::printf("  a plain client at the program's delay: click delay median %.1f ms (%zu clicks), %.1f ms over "
                    "the loopback; %llu silences heard at amp (%llu at gtr) and %llu shorter runs (%llu at gtr) "
                    "in %d s; the server told it of %llu underflows\n",
                    Median(plain.delays), plain.delays.size(), Median(plain.delays) - peer,
                    static_cast<unsigned long long>(plain.silences),
                    static_cast<unsigned long long>(plain.inputSilences),
                    static_cast<unsigned long long>(plain.shortOnes),
                    static_cast<unsigned long long>(plain.inputShortOnes), plain.seconds,
                    static_cast<unsigned long long>(plain.underruns));
        PrintProgram("the program's own PulseAudio device", pulse, peer, peerCpu);
    }
    if (sdlSeconds > 0)
        PrintProgram("the program through SDL's pulseaudio driver", sdl, peer, peerCpu);
    return 0;
}
