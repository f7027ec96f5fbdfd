#pragma once
// How soon the program's sound is back after a server or a device returned, measured from a
// probe's recording of the amplifier: the probe starts playing into the guitar as soon as it
// can, so the time it took to get there counts too. For the tests and the benchmark.

#include "support/Filtered.h"
#include "support/JackProbe.h"
#include "support/PrivateSession.h"
#include "support/PwProbe.h"
#include "support/Spawn.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace testsupport {

// The level a sample of the guitar's signal keeps through the program.
inline constexpr int kSoundHeard = 200;

// On the PipeWire server of `runtime`: ms from `back` to the amplifier's first sound through
// the program; below zero when none came within three seconds of the probe's start.
inline double PwMsToSound(const std::filesystem::path& runtime, std::chrono::steady_clock::time_point back)
{
    TalkTo talk(runtime);
    constexpr uint32_t kRate = 48000;
    PwProbe probe(Signal(3 * kRate, kRate), 3 * kRate);
    if (!probe.connected() || !WaitForPort("vobblix-probe:input", 5000) ||
        !PwLink("vobblix-probe:output", "gtr:input_MONO") || !PwLink("amp:monitor_MONO", "vobblix-probe:input") ||
        !WaitForLink("amp:monitor_MONO", "vobblix-probe:input", 5000))
        return -1.0;
    probe.start();
    const double startedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - back).count();
    if (!probe.waitRecorded(20000))
        return -1.0;
    const long at = FirstAbove(probe.recording(), kSoundHeard);
    return at < 0 ? -1.0 : startedMs + 1000.0 * double(at) / probe.rate();
}

// On the JACK server the environment names: ms from `back` to the first sound the program
// passes from the probe's source to its sink; below zero when none came.
inline double JackMsToSound(JackProbe& probe, std::chrono::steady_clock::time_point back)
{
    constexpr uint32_t kFrames = 44100 * 2;
    if (!probe.PatchProgramWhenReady())
        return -1.0;
    std::vector<float> signal;
    for (int16_t s : Signal(kFrames))
        signal.push_back(float(s) / 32768.0f);
    probe.Play(signal);
    const double playedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - back).count();
    if (!probe.WaitRecorded(kFrames))
        return -1.0;
    const auto& heard = probe.recording();
    const auto first = std::find_if(heard.begin(), heard.end(),
                                    [](float v) { return std::fabs(v) * 32768.0f >= float(kSoundHeard); });
    return first == heard.end() ? -1.0 : playedMs + 1000.0 * double(first - heard.begin()) / probe.rate();
}

// Starts a jackd of this name on its dummy driver; its pid.
inline pid_t StartJackd(const std::string& name)
{
    // The child's stdout is redirected: whatever waits in the buffer is written once, here.
    std::fflush(nullptr);
    const pid_t server = ::fork();
    if (server == 0) {
        ::setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execlp("jackd", "jackd", "--no-realtime", "-d", "dummy", "-r", "44100", "-p", "128", nullptr);
        ::_exit(127);
    }
    return server;
}

// The server's return: when a probe of the test's own first gets in; null after 20 s.
inline std::unique_ptr<JackProbe> WaitForJackd(size_t recordFrames = 44100 * 2)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        auto probe = std::make_unique<JackProbe>(recordFrames);
        if (probe->ok())
            return probe;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

} // namespace testsupport
