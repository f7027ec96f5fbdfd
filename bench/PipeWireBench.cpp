// Round trip through the program on a PipeWire graph, beside a plain link's floor and
// PipeWire's own loopback, measured by one probe node on one clock (as jack_iodelay does):
// on a desktop graph at 48 kHz with its period left to the clients, and on graphs forced to
// a rate and period; playback underruns over a long run at 128 bytes; CPU of the whole
// program at the defaults beside PipeWire's own loopback, and its UI thread's wake-ups.
// Run by hand on a graph that bench/pipewire.sh sets up:
//   bash bench/pipewire.sh [underrun-seconds] [all|desktop|forced|cpu]

#include "support/PwProbe.h"
#include "support/ReferenceFilter.h"
#include "support/Spawn.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kQuantum = 128;
constexpr int kClicks = 8;
// CPU: how long a client runs before it is measured, over how long, in how many turns.
constexpr auto kSettle = std::chrono::seconds(3);
constexpr int kCpuSeconds = 10;
constexpr int kCpuRounds = 9;
// Side by side: the clients on the graph at once, their CPU taken over the same short
// windows, so that a burst of this virtual machine's stolen time weighs on all alike.
constexpr auto kPairWindow = std::chrono::seconds(2);
constexpr int kPairWindows = 30;
const std::string kProbeOut = "vobblix-probe:output";
const std::string kProbeIn = "vobblix-probe:input";
const std::string kSourceIn = "gtr:input_MONO";
const std::string kSourceOut = "gtr:capture_MONO";
const std::string kSinkIn = "amp:playback_MONO";
const std::string kSinkMonitor = "amp:monitor_MONO";
// PipeWire's configuration for realtime clients (it loads the module that sets the policy).
constexpr const char* kRealtimeClientConfig = "client-rt.conf";

std::vector<int16_t> ClickTrain(uint32_t rate)
{
    std::vector<int16_t> s(size_t(rate) * (kClicks + 1) / 4, 0);
    for (int k = 1; k <= kClicks; ++k)
        s[size_t(rate) * size_t(k) / 4 - rate / 8] = testsupport::kStoreClick;
    return s;
}

// The median delay between each click played and its first loud sample heard, in frames.
long MedianDelay(const std::vector<int16_t>& played, const std::vector<int16_t>& heard)
{
    // Nothing comes back early, and a click's ringing has died a quarter of a second later.
    std::vector<long> delays;
    for (size_t i = 0; i < played.size(); ++i) {
        if (played[i] == 0)
            continue;
        const long at = FirstAbove(heard, testsupport::kStoreClickHeard, i);
        if (at < 0)
            break;
        delays.push_back(at - long(i));
    }
    if (delays.empty())
        return -1;
    std::sort(delays.begin(), delays.end());
    return delays[delays.size() / 2];
}

long Measure(uint32_t rate, uint32_t* quantum = nullptr)
{
    const auto signal = ClickTrain(rate);
    PwProbe probe(signal, signal.size() + rate / 2);
    if (!probe.connected() || !WaitForPort(kProbeIn, 5000))
        return -1;
    PwLink(kProbeOut, kSourceIn);
    PwLink(kSinkMonitor, kProbeIn);
    if (!WaitForLink(kSinkMonitor, kProbeIn, 5000) || !WaitForLink(kProbeOut, kSourceIn, 5000))
        return -1;
    probe.start();
    if (!probe.waitRecorded(30000))
        return -1;
    if (quantum)
        *quantum = probe.quantum();
    return MedianDelay(signal, probe.recording());
}

struct Program {
    pid_t pid = -1;
    fs::path dir;
    Program(uint32_t rate, uint32_t bytes)
    {
        std::string tmpl = (fs::temp_directory_path() / "vobblix-bench-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        testsupport::WriteStore(dir, testsupport::StoreFor(rate, bytes));
        pid = testsupport::SpawnProgram(VOBBLIX_EXE, {dir, {}, {"--audio=pipewire"}, dir / "stderr.txt"});
    }
    bool linked() const
    {
        return WaitForLink(kSourceOut, "vobblix.input:input_MONO", 10000) &&
               WaitForLink("vobblix.output:output_MONO", kSinkIn, 10000);
    }
    // What the program's glitch warnings counted so far, once the last second's are out
    // (they come at most once a second).
    void glitches(uint64_t& underruns, uint64_t& overruns) const
    {
        std::this_thread::sleep_for(1500ms);
        std::ifstream f(dir / "stderr.txt");
        std::stringstream s;
        s << f.rdbuf();
        testsupport::CountGlitches(s.str(), underruns, overruns);
    }
    ~Program()
    {
        testsupport::Terminate(pid);
        fs::remove_all(dir);
    }
};

// Whether a thread runs under a realtime scheduling policy (field 41 of its stat is not 0).
bool Realtime(const fs::path& task)
{
    std::ifstream f(task / "stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(s.substr(s.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 41; ++i)
        rest >> field;
    return !field.empty() && field != "0";
}

// CPU time, in seconds, that the process's threads have run: the scheduler's own count in
// nanoseconds, not the clock ticks that miss short wake-ups. The realtime threads' share
// goes to `realtime`.
double CpuSeconds(pid_t pid, double* realtime = nullptr)
{
    double all = 0.0, rt = 0.0;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
        unsigned long long ns = 0;
        std::ifstream(task.path() / "schedstat") >> ns;
        all += double(ns) / 1e9;
        if (Realtime(task.path()))
            rt += double(ns) / 1e9;
    }
    if (realtime)
        *realtime = rt;
    return all;
}

// PipeWire's own duplex client, two streams through its loopback module at the program's
// rate and latency: what any client doing this costs on this machine. `realtime` runs it
// under PipeWire's configuration for realtime clients, the one the program uses, so that
// its audio thread gets the same realtime policy; as pw-loopback starts by default, its
// thread is an ordinary one.
struct Loopback {
    pid_t pid = -1;
    std::string name = "vobblix-baseline";
    Loopback(uint32_t rate, double latencyMs, bool realtime = false)
    {
        if (realtime)
            name += "-rt";
        const std::string props = "audio.rate=" + std::to_string(rate) + " audio.format=S16LE";
        const std::string latency = std::to_string(latencyMs);
        // What the bench printed so far is not the child's to print again.
        std::fflush(stdout);
        pid = ::fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            if (realtime)
                ::setenv("PIPEWIRE_CONFIG_NAME", kRealtimeClientConfig, 1);
            ::execlp("pw-loopback", "pw-loopback", "-n", name.c_str(), "-c", "1", "-m", "[ MONO ]", "-l",
                     latency.c_str(), ("--capture-props=" + props).c_str(), ("--playback-props=" + props).c_str(),
                     nullptr);
            ::_exit(127);
        }
    }
    bool linked() const
    {
        return pid > 0 && WaitForLink(kSourceOut, "input." + name + ":input_MONO", 10000) &&
               WaitForLink("output." + name + ":output_MONO", kSinkIn, 10000);
    }
    ~Loopback() { testsupport::Terminate(pid); }
};

// How often a thread went to sleep and was woken: its voluntary context switches.
uint64_t WakeUps(pid_t pid, pid_t tid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stoull(line.substr(line.find(':') + 1));
    return 0;
}

// The write calls a process made, every thread's: an audio thread's are the wake-ups it gives
// the next node of the graph, each dear on this virtual machine.
uint64_t WriteCalls(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("syscw:", 0) == 0)
            return std::stoull(line.substr(line.find(':') + 1));
    return 0;
}

// The process's main (UI) thread.
uint64_t UiWakeUps(pid_t pid)
{
    return WakeUps(pid, pid);
}

// Wake-ups of every thread but the main one, summed: the audio threads, whether or not the
// client got a realtime policy (pw-loopback does not ask for one).
uint64_t AudioWakeUps(pid_t pid)
{
    uint64_t sum = 0;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
        const auto tid = pid_t(std::stol(task.path().filename().string()));
        if (tid != pid)
            sum += WakeUps(pid, tid);
    }
    return sum;
}

// What a running client took over one turn, past its start-up: its share of one core over
// the whole window and over the quietest second of it, its realtime threads' part of that
// second, and its UI thread's wake-ups a second. This virtual machine's cost of a wake-up
// jumps tenfold or more for seconds at a time, whoever runs: the quietest second is what
// the client itself costs.
struct Share {
    double mean = -1.0;
    double quietest = -1.0;
    double realtime = -1.0;
    double uiWakeUps = -1.0;
};

Share CpuShare(pid_t pid)
{
    std::this_thread::sleep_for(kSettle);
    Share share;
    double rt0 = 0.0;
    double cpu0 = CpuSeconds(pid, &rt0);
    const double first = cpu0;
    const uint64_t wakes = UiWakeUps(pid);
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < kCpuSeconds; ++s) {
        const auto at = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1s);
        double rt1 = 0.0;
        const double cpu1 = CpuSeconds(pid, &rt1);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count();
        const double used = 100.0 * (cpu1 - cpu0) / seconds;
        if (share.quietest < 0 || used < share.quietest) {
            share.quietest = used;
            share.realtime = 100.0 * (rt1 - rt0) / seconds;
        }
        cpu0 = cpu1;
        rt0 = rt1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    share.mean = 100.0 * (cpu0 - first) / seconds;
    share.uiWakeUps = double(UiWakeUps(pid) - wakes) / seconds;
    return share;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The desktop: the graph at its own 48 kHz with its period left to the clients (the probe
// asks 128 frames, as jack_iodelay does through pw-jack), the program at the settings' rates
// and so resampled by its streams' adapters; beside the plain link's floor and beside
// PipeWire's own loopback at the same rate and latency.
void DesktopRoundTrips()
{
    constexpr uint32_t kGraphRate = 48000;
    ForceGraph(0, 0);
    std::this_thread::sleep_for(300ms);
    PwLink(kSourceOut, kSinkIn);
    uint32_t quantum = 0;
    const long floor = Measure(kGraphRate, &quantum);
    PwLink(kSourceOut, kSinkIn, true);
    std::printf("desktop graph at %u Hz, period left to the clients; round trips in frames at %u Hz (ms), "
                "floor %ld (%.2f ms) at period %u\n",
                kGraphRate, kGraphRate, floor, 1000.0 * double(floor) / kGraphRate, quantum);
    std::printf("%-8s %-7s %-8s %-14s %-8s %-14s %-8s %-29s %s\n", "rate", "bytes", "period", "program", "added",
                "pw-loopback", "added", "goal: buffer + period", "program's underruns/overruns (goal 0)");
    for (uint32_t rate : {44100u, 22050u}) {
        for (uint32_t bytes : {128u, 1000u}) {
            long through = -1, peer = -1;
            uint32_t period = 0;
            uint64_t underruns = 0, overruns = 0;
            {
                Program program(rate, bytes);
                if (program.linked())
                    through = Measure(kGraphRate, &period);
                program.glitches(underruns, overruns);
            }
            {
                Loopback loopback(rate, 1000.0 * (bytes / 2) / rate);
                if (loopback.linked())
                    peer = Measure(kGraphRate);
            }
            const long goal = std::lround(double(bytes / 2) * kGraphRate / rate) + long(period);
            std::printf("%-8u %-7u %-8u %5ld (%5.2f)  %-8ld %5ld (%5.2f)  %-8ld %ld %-8s %llu/%llu\n", rate, bytes,
                        period, through, 1000.0 * double(through) / kGraphRate, through - floor, peer,
                        1000.0 * double(peer) / kGraphRate, peer - floor, goal,
                        through >= 0 && floor >= 0 && through - floor <= goal ? "met" : "NOT met",
                        static_cast<unsigned long long>(underruns), static_cast<unsigned long long>(overruns));
        }
    }
}

void SideBySide(uint32_t rate, uint32_t bytes, double latencyMs)
{
    Program p(rate, bytes);
    Loopback l(rate, latencyMs);
    Loopback lrt(rate, latencyMs, true);
    if (!p.linked() || !l.linked() || !lrt.linked()) {
        std::printf("CPU side by side: a client did not join the graph\n");
        return;
    }
    std::this_thread::sleep_for(kSettle);
    std::vector<double> ours, theirs, theirsRt, ratio, ratioRt;
    const uint64_t pw0 = AudioWakeUps(p.pid), lw0 = AudioWakeUps(l.pid), rw0 = AudioWakeUps(lrt.pid);
    const uint64_t pc0 = WriteCalls(p.pid), lc0 = WriteCalls(l.pid), rc0 = WriteCalls(lrt.pid);
    const auto began = std::chrono::steady_clock::now();
    double p0 = CpuSeconds(p.pid), l0 = CpuSeconds(l.pid), r0 = CpuSeconds(lrt.pid);
    const double pFirst = p0, lFirst = l0, rFirst = r0;
    for (int w = 0; w < kPairWindows; ++w) {
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kPairWindow);
        const double p1 = CpuSeconds(p.pid), l1 = CpuSeconds(l.pid), r1 = CpuSeconds(lrt.pid);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ours.push_back(100.0 * (p1 - p0) / seconds);
        theirs.push_back(100.0 * (l1 - l0) / seconds);
        theirsRt.push_back(100.0 * (r1 - r0) / seconds);
        if (l1 > l0)
            ratio.push_back((p1 - p0) / (l1 - l0));
        if (r1 > r0)
            ratioRt.push_back((p1 - p0) / (r1 - r0));
        p0 = p1;
        l0 = l1;
        r0 = r1;
    }
    const double all = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double pw = double(AudioWakeUps(p.pid) - pw0), lw = double(AudioWakeUps(l.pid) - lw0),
                 rw = double(AudioWakeUps(lrt.pid) - rw0);
    const double pc = double(WriteCalls(p.pid) - pc0), lc = double(WriteCalls(l.pid) - lc0),
                 rc = double(WriteCalls(lrt.pid) - rc0);
    uint64_t underruns = 0, overruns = 0;
    p.glitches(underruns, overruns);
    std::printf("CPU side by side: the program glitched %llu times (underruns) and %llu (overruns) meanwhile "
                "(goal 0)\n",
                static_cast<unsigned long long>(underruns), static_cast<unsigned long long>(overruns));
    std::printf("CPU side by side at the defaults, all three on the graph at once, median of %d windows of %lld s: "
                "program %.2f %%, PipeWire's loopback %.2f %% (ratio %.2f, goal <= 1), the same loopback with "
                "PipeWire's realtime client configuration, as the program has, %.2f %% (ratio %.2f); audio "
                "threads' wake-ups a second: program %.1f, loopback %.1f, realtime loopback %.1f\n",
                kPairWindows, static_cast<long long>(kPairWindow.count()), Median(ours), Median(theirs),
                Median(ratio), Median(theirsRt), Median(ratioRt), pw / all, lw / all, rw / all);
    // A window's ratio swings with whichever client a burst of the host's stolen time hit;
    // over the whole run the three shared the same bursts.
    std::printf("CPU side by side over the whole %.0f s: program %.2f %%, loopback %.2f %% (ratio %.2f), realtime "
                "loopback %.2f %% (ratio %.2f); write calls per audio wake-up: program %.2f, loopback %.2f, "
                "realtime loopback %.2f\n",
                all, 100.0 * (p0 - pFirst) / all, 100.0 * (l0 - lFirst) / all,
                l0 > lFirst ? (p0 - pFirst) / (l0 - lFirst) : -1.0, 100.0 * (r0 - rFirst) / all,
                r0 > rFirst ? (p0 - pFirst) / (r0 - rFirst) : -1.0, pw > 0 ? pc / pw : -1.0, lw > 0 ? lc / lw : -1.0,
                rw > 0 ? rc / rw : -1.0);
}

int CpuTurns()
{
    // At the defaults the graph runs at its own 48000 Hz and both adapters resample. The
    // program and PipeWire's own loopback (as it starts, and with the realtime policy the
    // program has) take turns; each turn's quietest second, the medians of those and of
    // their ratios, are what to read. The turns' whole-window means follow, for the record
    // of how much this machine's state swings.
    ForceGraph(0, 0);
    constexpr uint32_t kDefaultRate = 44100, kDefaultBytes = 1000;
    const double latencyMs = 1000.0 * (kDefaultBytes / 2) / kDefaultRate;
    std::vector<double> program, realtime, baseline, baselineRt, ratio, ratioRt, wakeUps;
    std::vector<double> programMean, baselineMean, ratioMean;
    for (int round = 0; round < kCpuRounds; ++round) {
        Share ours, theirs, theirsRt;
        {
            Program p(kDefaultRate, kDefaultBytes);
            if (p.linked())
                ours = CpuShare(p.pid);
        }
        {
            Loopback l(kDefaultRate, latencyMs);
            if (l.linked())
                theirs = CpuShare(l.pid);
        }
        {
            Loopback l(kDefaultRate, latencyMs, true);
            if (l.linked())
                theirsRt = CpuShare(l.pid);
        }
        std::printf("CPU turn %d at the defaults, quietest second (whole turn): program %.2f %% (%.2f %%; realtime "
                    "thread %.2f %%, UI thread %.1f wake-ups a second), PipeWire's loopback %.2f %% (%.2f %%), "
                    "realtime loopback %.2f %% (%.2f %%)\n",
                    round + 1, ours.quietest, ours.mean, ours.realtime, ours.uiWakeUps, theirs.quietest, theirs.mean,
                    theirsRt.quietest, theirsRt.mean);
        if (ours.quietest < 0 || theirs.quietest <= 0 || theirsRt.quietest <= 0)
            continue;
        wakeUps.push_back(ours.uiWakeUps);
        program.push_back(ours.quietest);
        realtime.push_back(ours.realtime);
        baseline.push_back(theirs.quietest);
        baselineRt.push_back(theirsRt.quietest);
        ratio.push_back(ours.quietest / theirs.quietest);
        ratioRt.push_back(ours.quietest / theirsRt.quietest);
        programMean.push_back(ours.mean);
        baselineMean.push_back(theirs.mean);
        if (theirs.mean > 0)
            ratioMean.push_back(ours.mean / theirs.mean);
    }
    std::printf("CPU at the defaults (44100 Hz, 1000 bytes, the server's own period), median of %zu turns' quietest "
                "second: program %.2f %% of one core (realtime thread %.2f %%; goal < 1 %%), PipeWire's loopback "
                "%.2f %% (program / loopback %.2f, goal <= 1), realtime loopback %.2f %% (program / it %.2f); UI "
                "thread in silence %.1f wake-ups a second (goal <= 2)\n",
                program.size(), Median(program), Median(realtime), Median(baseline), Median(ratio),
                Median(baselineRt), Median(ratioRt), Median(wakeUps));
    std::printf("CPU over the turns' whole %d s (this machine's swings included): program %.2f %%, PipeWire's "
                "loopback %.2f %% (program / loopback %.2f)\n",
                kCpuSeconds, Median(programMean), Median(baselineMean), Median(ratioMean));
    SideBySide(kDefaultRate, kDefaultBytes, latencyMs);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int underrunSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    // Which parts run: all, or one of "desktop", "cpu", "pair" (the CPU side by side alone).
    const std::string part = argc > 2 ? argv[2] : "all";
    if (part == "all" || part == "desktop")
        DesktopRoundTrips();
    if (part == "desktop")
        return 0;
    if (part == "cpu")
        return CpuTurns();
    if (part == "pair") {
        constexpr uint32_t kRate = 44100, kBytes = 1000;
        ForceGraph(0, 0);
        SideBySide(kRate, kBytes, 1000.0 * (kBytes / 2) / kRate);
        return 0;
    }
    std::printf("graph period %u frames; round trips in frames (ms), median of %d clicks\n", kQuantum, kClicks);
    std::printf("%-8s %-7s %-14s %-14s %-10s %-22s\n", "rate", "bytes", "floor", "program", "added",
                "goal: buffer + period");
    for (uint32_t rate : {44100u, 22050u}) {
        ForceGraph(rate, kQuantum);
        std::this_thread::sleep_for(300ms); // the forced clock takes effect at the next cycle
        PwLink(kSourceOut, kSinkIn);
        const long floor = Measure(rate);
        PwLink(kSourceOut, kSinkIn, true);
        for (uint32_t bytes : {128u, 1000u}) {
            long through = -1;
            {
                Program program(rate, bytes);
                if (program.linked())
                    through = Measure(rate);
            }
            const long goal = long(bytes / 2 + kQuantum);
            std::printf("%-8u %-7u %5ld (%5.2f)  %5ld (%5.2f)  %5ld      %ld %s\n", rate, bytes, floor,
                        1000.0 * double(floor) / rate, through, 1000.0 * double(through) / rate, through - floor,
                        goal, through >= 0 && floor >= 0 && through - floor <= goal ? "met" : "NOT met");
        }
    }

    ForceGraph(44100, kQuantum);
    {
        Program program(44100, 128);
        if (program.linked()) {
            std::this_thread::sleep_for(std::chrono::seconds(underrunSeconds));
            uint64_t underruns = 0, overruns = 0;
            program.glitches(underruns, overruns);
            std::printf("128 bytes at 44100 Hz for %d s: %llu underruns, %llu overruns (goal 0)\n", underrunSeconds,
                        static_cast<unsigned long long>(underruns), static_cast<unsigned long long>(overruns));
        }
    }
    return CpuTurns();
}
