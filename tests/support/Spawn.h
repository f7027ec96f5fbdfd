#pragma once
// Starting the real program for end-to-end tests and benchmarks: headless (offscreen), with
// its store in a folder of the caller's, the environment and arguments given, standard error
// into a file when asked; and ending it as a user would, with a signal.

#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testsupport {

struct Launch {
    std::filesystem::path configHome;
    std::vector<std::pair<std::string, std::string>> environment;
    std::vector<std::string> arguments;
    std::filesystem::path stderrFile; // empty: inherited
    int stderrFd = -1;                // put on standard error when not -1 (a pipe's end)
    bool closeStderr = false;         // the program starts with no standard error at all
};

// Runs a shell command and returns what it printed.
inline std::string Output(const std::string& command)
{
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    return out;
}

inline pid_t SpawnProgram(const char* exe, const Launch& launch)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("XDG_CONFIG_HOME", launch.configHome.c_str(), 1);
        for (const auto& [name, value] : launch.environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (!launch.stderrFile.empty())
            if (std::FILE* f = std::freopen(launch.stderrFile.c_str(), "w", stderr))
                (void)f;
        if (launch.stderrFd >= 0)
            ::dup2(launch.stderrFd, 2);
        if (launch.closeStderr)
            ::close(2);
        std::vector<char*> argv{const_cast<char*>("vobblix")};
        for (const auto& a : launch.arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe, argv.data());
        ::_exit(127);
    }
    return child;
}

// A whole store at this rate and buffer size, its sliders at the filter that
// testsupport::Filtered runs (offset 0.10, resonance 9, the starting depth).
inline std::string StoreFor(uint32_t rate, uint32_t bytes)
{
    return "Sample_rate = " + std::to_string(rate) + "\nmemBlockLength = " + std::to_string(bytes) +
           "\nUsingMouse = 1\nPedalDevice = 0\nInvertPedal = 0\nPriority = 0\nPedalAxis = 1\n"
           "LastFreqofs = 10\nLastResonance = 90\nLastPAF = 100\nLastPATH = \"\"\n";
}

// A click played into the program at the filter StoreFor sets, and the level its first
// sample keeps at least on the way out: the sample a click is found at.
inline constexpr int16_t kStoreClick = 30000;
inline constexpr int kStoreClickHeard = 200;

// Writes a store for the program under configHome.
inline void WriteStore(const std::filesystem::path& configHome, const std::string& toml)
{
    std::filesystem::create_directories(configHome / "Drenmarq");
    std::ofstream(configHome / "Drenmarq/Vobblix 1.1.toml") << toml;
}

// The wait status once the child ended, or -1 when it did not within the timeout (it is then
// killed).
inline int WaitForExit(pid_t child, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

// Whether the file came to hold the text within the timeout.
inline bool WaitForText(const std::filesystem::path& file, const std::string& text, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(file, std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (all.find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The last latency the program told on standard error ("vobblix: <backend>, latency 2.9 ms"),
// in milliseconds; below zero when it told none.
inline double ToldLatencyMs(const std::string& errors)
{
    constexpr std::string_view kTold = ", latency ";
    const auto at = errors.rfind(kTold);
    if (at == std::string::npos)
        return -1.0;
    return std::strtod(errors.c_str() + at + kTold.size(), nullptr);
}

// Sums what the program's glitch warnings on standard error counted.
inline void CountGlitches(const std::string& errors, uint64_t& underruns, uint64_t& overruns)
{
    const std::regex part(R"((\d+) (playback underruns|capture overruns) \()");
    for (auto it = std::sregex_iterator(errors.begin(), errors.end(), part); it != std::sregex_iterator(); ++it)
        ((*it)[2] == "capture overruns" ? overruns : underruns) += std::stoull((*it)[1]);
}

// Ends the program with SIGTERM, as a logout does.
inline int Terminate(pid_t child, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    ::kill(child, SIGTERM);
    return WaitForExit(child, timeout);
}

// Signals the program at moments spread over its start (before anything is open, between
// the open and the start, starting, just started) and says, for each try that did not end
// in order within the close's usual time, when it was sent and how it ended.
inline std::vector<std::string> SignalsThroughTheStart(const char* exe, const Launch& launch)
{
    constexpr int kDelaysMs[] = {0, 5, 10, 20, 30, 40, 50, 70, 100, 130, 160, 200, 250, 300, 400, 600};
    constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    std::vector<std::string> failures;
    int turn = 0;
    for (int delay : kDelaysMs) {
        const int sig = kSignals[turn++ % 3];
        const pid_t child = SpawnProgram(exe, launch);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        ::kill(child, sig);
        const int status = WaitForExit(child, std::chrono::seconds(10));
        // Before the program installs its handlers the signal ends it at once, with nothing
        // open yet; after, it ends through the close.
        const bool inOrder = status != -1 && ((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                                              (WIFSIGNALED(status) && WTERMSIG(status) == sig));
        if (std::getenv("VOBBLIX_TELL_SIGNALS"))
            std::fprintf(stderr, "signal %d after %d ms: status %d\n", sig, delay, status);
        if (!inOrder)
            failures.push_back("signal " + std::to_string(sig) + " after " + std::to_string(delay) + " ms: " +
                               (status == -1 ? std::string("hung") : "status " + std::to_string(status)));
    }
    return failures;
}

} // namespace testsupport
