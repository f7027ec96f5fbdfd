// A MIDI message through the program's real pedal port to the new TargetDepth: the tests'
// own sender on the private server sends one controller at a time, and the time from the
// sender's cycle to the moment the pedal stored the depth is taken on the steady clock, in
// milliseconds and in the server's cycles (goal: within the cycle the message arrives in).
// A message the server never delivered counts as lost (PipeWire's JACK may drop what a
// source sends in the first cycles after a new link is listed).
// On the PipeWire graph ("vobblix.pedal") and on jackd ("vobblix:pedal"), whichever of the
// two private servers answers (bench/midi_port.sh starts both, then runs the JACK part again
// on PipeWire's JACK). Prints figures, never fails.

#include "support/JackMidiSender.h"
#include "support/PwMidiSender.h"
#include "support/PwProbe.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "platform/wave/Backend.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kMessages = 300;
constexpr uint32_t kRate = 44100;
constexpr uint32_t kQuantum = 128;
constexpr auto kArrivalTimeout = std::chrono::seconds(2);

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The program's pedal behind the port, with the time each message's depth was stored.
class TimedPedal final : public midi::MidiSink {
public:
    TimedPedal()
    {
        midi::PedalConfig config;
        config.drivesDepth = true;
        pedal_.configure(config);
    }
    // Called on the server's realtime thread.
    void receive(uint32_t from, const uint8_t* message, uint32_t size) override
    {
        pedal_.receive(from, message, size);
        const int64_t now = NowNs();
        const size_t at = count_.load(std::memory_order_relaxed);
        if (at < stamps_.size()) {
            stamps_[at] = now;
            count_.store(at + 1, std::memory_order_release);
        }
    }
    size_t received() const { return count_.load(std::memory_order_acquire); }
    int64_t stamp(size_t i) const { return stamps_[i]; }

private:
    midi::MidiPedal pedal_;
    std::vector<int64_t> stamps_ = std::vector<int64_t>(kMessages);
    std::atomic<size_t> count_{0};
};

// Sends the messages one at a time, at scattered moments of the cycle, and prints how long
// each took from the sender's cycle to TargetDepth.
template <typename Sender>
void Measure(const char* road, Sender& sender, const TimedPedal& timed, uint32_t period, uint32_t rate)
{
    std::vector<double> ms;
    int lost = 0;
    uint32_t seed = 20261209;
    for (int i = 0; i < kMessages; ++i) {
        const uint64_t sentBefore = sender.sent();
        const size_t receivedBefore = timed.received();
        sender.Send({testsupport::ControllerMessage(1, midi::kDefaultController, i % 128)});
        const auto end = std::chrono::steady_clock::now() + kArrivalTimeout;
        while ((sender.sent() == sentBefore || timed.received() == receivedBefore) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (timed.received() == receivedBefore) {
            ++lost;
            continue;
        }
        ms.push_back(double(timed.stamp(receivedBefore) - sender.sentAtNs()) / 1e6);
        seed = seed * 1664525u + 1013904223u;
        std::this_thread::sleep_for(std::chrono::microseconds(seed >> 20)); // 0-4 ms
    }
    if (ms.empty()) {
        std::printf("%-34s no message reached the pedal\n", road);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const double cycleMs = 1000.0 * period / rate;
    const auto within = std::count_if(ms.begin(), ms.end(), [cycleMs](double m) { return m < cycleMs; });
    std::printf("%-34s median %6.3f ms (%.2f cycles)   max %6.3f ms (%.2f cycles)   %ld of %zu within the "
                "cycle (%u frames at %u Hz), %d lost\n",
                road, ms[ms.size() / 2], ms[ms.size() / 2] / cycleMs, ms.back(), ms.back() / cycleMs, long(within),
                ms.size(), period, rate, lost);
}

void OnPipeWire()
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION")) {
        std::puts("PipeWire: no private session (run through bench/midi_port.sh)");
        return;
    }
    ForceGraph(kRate, kQuantum);
    {
        testsupport::PwMidiSender sender;
        TimedPedal timed;
        std::string why;
        auto engine = sender.connected() && WaitForPort(sender.port(), 5000) ? wave::OpenPipeWire(&why) : nullptr;
        if (!engine) {
            std::printf("PipeWire: could not start (%s)\n", why.c_str());
            ForceGraph(0, 0);
            return;
        }
        engine->midiPort()->setInput(&timed, sender.port());
        if (WaitForLink(sender.port(), "vobblix.pedal:pedal", 15000))
            Measure("PipeWire, vobblix.pedal:", sender, timed, kQuantum, kRate);
        else
            std::puts("PipeWire: the pedal node was never linked to the sender");
    }
    ForceGraph(0, 0);
}

void OnJack()
{
    const bool onPipeWire = std::getenv("VOBBLIX_JACK_ON_PIPEWIRE") != nullptr;
    if (!std::getenv("VOBBLIX_JACK_SESSION") && !onPipeWire) {
        std::puts("JACK: no private jackd (run through bench/midi_port.sh)");
        return;
    }
    // PipeWire's graph at the period jackd runs, so that the figures compare.
    if (onPipeWire) {
        ForceGraph(kRate, kQuantum);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    jack_status_t status{};
    jack_client_t* clock = jack_client_open("vobblix-bench-clock", JackNoStartServer, &status);
    if (!clock) {
        std::puts("JACK: the server did not answer");
        return;
    }
    const uint32_t period = jack_get_buffer_size(clock);
    const uint32_t rate = jack_get_sample_rate(clock);
    jack_client_close(clock);
    testsupport::JackMidiSender sender;
    TimedPedal timed;
    std::string why;
    auto engine = sender.ok() ? wave::OpenJack(true, &why) : nullptr;
    if (!engine) {
        std::printf("JACK: could not start (%s)\n", why.c_str());
        return;
    }
    if (!engine->midiPort()) {
        std::puts("JACK: the server took no MIDI port");
        return;
    }
    engine->midiPort()->setInput(&timed, sender.port());
    Measure(onPipeWire ? "PipeWire's JACK, vobblix:pedal:" : "JACK, vobblix:pedal:", sender, timed, period, rate);
    if (onPipeWire)
        ForceGraph(0, 0);
}

} // namespace

int main()
{
    OnPipeWire();
    OnJack();
    return 0;
}
