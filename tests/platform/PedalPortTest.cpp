// The MIDI pedal ports as the sound backends carry them, on the private servers
// (scripts/with-pipewire.sh, scripts/with-jack.sh), without the program around them: the
// sources are listed, the port is linked to the chosen one (or, told not to connect, to
// nothing), every message reaches the sink whole and in order, two hardware sources reach it
// apart, and the PipeWire node leaves the graph with its backend.

#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "platform/wave/JackDevice.h"
#include "platform/wave/PipeWireDevice.h"

#include "support/JackMidiSender.h"
#include "support/MidiRoundTrip.h"
#include "support/PwMidiSender.h"
#include "support/PwProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr const char* kPipeWirePedal = "vobblix.pedal:pedal";
constexpr const char* kJackPedal = "vobblix:pedal";
constexpr int kWaitMs = 10000;

// Keeps what the port handed on, as the program's MIDI pedal would take it.
class LoggingSink final : public midi::MidiSink {
public:
    // Called on the server's realtime thread.
    void receive(uint32_t, const uint8_t* message, uint32_t size) override { log.add(message, size); }
    testsupport::MessageLog log;
};

bool Lists(wave::DuplexDevice& device, const std::string& port)
{
    const auto sources = device.midiPort()->sources();
    return std::any_of(sources.begin(), sources.end(), [&](const midi::Source& c) { return c.id == port; });
}

// The registry tells the backend of new ports on its own loop: look until it has.
bool WaitListed(wave::DuplexDevice& device, const std::string& port)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!Lists(device, port)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// More than one cycle's worth of 7-bit steps, then 14-bit ones, once the new link carries.
template <typename Sender>
void ExpectSweepsArrive(Sender& sender, const testsupport::MessageLog& log)
{
    ASSERT_TRUE(testsupport::Primed(sender, log));
    const auto coarse = testsupport::ControllerSweep(1, 11, 0, 127, 127, false);
    EXPECT_EQ(testsupport::RoundTrip(sender, log, coarse), coarse);
    const auto fine = testsupport::ControllerSweep(3, 4, 16383, 0, 200, true);
    EXPECT_EQ(testsupport::RoundTrip(sender, log, fine), fine);
}

// A MIDI pedal behind the port, keeping what came.
class PedalSink final : public midi::MidiSink {
public:
    PedalSink()
    {
        fx::ResetForTests();
        midi::PedalConfig config;
        config.drivesDepth = true;
        pedal.configure(config);
    }
    // Called on the server's realtime thread.
    void receive(uint32_t from, const uint8_t* message, uint32_t size) override
    {
        pedal.receive(from, message, size);
        log.add(message, size);
    }
    midi::MidiPedal pedal;
    testsupport::MessageLog log;
};

// Sends active sensing until one more arrives than before: the sender's link carries.
template <typename Sender>
bool Carries(Sender& sender, const testsupport::MessageLog& log)
{
    const size_t before = log.sensed();
    const testsupport::MidiMessage sensing{{testsupport::kActiveSensing}, 1};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (log.sensed() == before && std::chrono::steady_clock::now() < end) {
        if (!sender.Send({sensing}) || !sender.WaitSent(1000))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return log.sensed() > before;
}

// Two 14-bit pedals on one controller and channel, A and B, take turns: each fine part pairs
// with its own sender's coarse part, never with the other's that came between.
template <typename Sender>
void ExpectPairsApart(Sender& a, Sender& b, PedalSink& sink)
{
    ASSERT_TRUE(Carries(a, sink.log));
    ASSERT_TRUE(Carries(b, sink.log));
    struct Step {
        Sender& sender;
        testsupport::MidiMessage message;
        double depth;
    };
    const Step steps[] = {
        {a, testsupport::ControllerMessage(1, 11, 64), 0.498897637795276},
        {b, testsupport::ControllerMessage(1, 11, 127), 0.99},
        {a, testsupport::ControllerMessage(1, 43, 0), 0.495030214246475},
        {b, testsupport::ControllerMessage(1, 43, 0), 127.0 * 128 * 0.99 / 16383},
    };
    for (const Step& step : steps) {
        const size_t before = sink.log.received();
        ASSERT_TRUE(step.sender.Send({step.message}) && step.sender.WaitSent(kWaitMs));
        ASSERT_TRUE(sink.log.WaitFor(before + 1));
        EXPECT_NEAR(TargetDepth.load(), step.depth, 1e-12);
    }
}

TEST(PipeWirePedalPort, ListsTheSourcesLinksTheChosenOneAndLeavesWithItsBackend)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    testsupport::PwMidiSender sender;
    ASSERT_TRUE(sender.connected());
    LoggingSink sink;
    {
        wave::PipeWireDevice device;
        ASSERT_TRUE(device.connected()) << device.connectError();
        ASSERT_TRUE(device.midiPort());
        ASSERT_TRUE(WaitListed(device, sender.port()));

        device.midiPort()->setInput(&sink, sender.port());
        ASSERT_TRUE(WaitForLink(sender.port(), kPipeWirePedal, kWaitMs));
        // The pedal's own node is no source to choose.
        for (const auto& source : device.midiPort()->sources())
            EXPECT_EQ(source.id.rfind("vobblix.pedal:", 0), std::string::npos) << source.id;
        ExpectSweepsArrive(sender, sink.log);
    }
    EXPECT_TRUE(WaitForPort(kPipeWirePedal, kWaitMs, false));
}

TEST(PipeWirePedalPort, TwoHardwareSourcesReachThePedalApart)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    testsupport::PwMidiSender a("vobblix-midi-a", true);
    testsupport::PwMidiSender b("vobblix-midi-b", true);
    ASSERT_TRUE(a.connected() && b.connected());
    PedalSink sink;
    wave::PipeWireDevice device;
    ASSERT_TRUE(device.midiPort()) << device.connectError();
    ASSERT_TRUE(WaitListed(device, a.port()) && WaitListed(device, b.port()));
    device.midiPort()->setInput(&sink, midi::kAllSources);
    ExpectPairsApart(a, b, sink);
}

class JackPedalPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_JACK_SESSION") && !std::getenv("VOBBLIX_JACK_ON_PIPEWIRE"))
            GTEST_SKIP() << "no private jackd (run through scripts/with-jack.sh, or pw-jack in with-pipewire.sh)";
        ASSERT_TRUE(sender.ok());
    }
    testsupport::JackMidiSender sender;
    LoggingSink sink;
};

TEST_F(JackPedalPort, ListsTheSourcesAndReadsTheChosenOneInTheProcessCallback)
{
    wave::JackDevice device;
    ASSERT_TRUE(device.connected()) << device.connectError();
    ASSERT_TRUE(device.midiPort());
    EXPECT_TRUE(Lists(device, sender.port()));

    // No stream is open: the port is read whatever the sound does.
    device.midiPort()->setInput(&sink, sender.port());
    ExpectSweepsArrive(sender, sink.log);
    // Checked once the messages came: PipeWire's JACK lists a new connection a little later.
    EXPECT_TRUE(sender.Connected(kJackPedal));
}

TEST_F(JackPedalPort, ToldNotToConnectItHearsOnlyWhatTheUserPatches)
{
    wave::JackDevice device(false);
    ASSERT_TRUE(device.connected()) << device.connectError();
    ASSERT_TRUE(device.midiPort());
    device.midiPort()->setInput(&sink, sender.port());
    EXPECT_FALSE(sender.Connected(kJackPedal));

    ASSERT_TRUE(sender.Connect(kJackPedal));
    ExpectSweepsArrive(sender, sink.log);
}

TEST_F(JackPedalPort, TwoHardwareSourcesReachThePedalApart)
{
    testsupport::JackMidiSender a("vobblix-midi-a", true);
    testsupport::JackMidiSender b("vobblix-midi-b", true);
    ASSERT_TRUE(a.ok() && b.ok());
    PedalSink pedalSink;
    wave::JackDevice device;
    ASSERT_TRUE(device.midiPort()) << device.connectError();
    device.midiPort()->setInput(&pedalSink, midi::kAllSources);
    ExpectPairsApart(a, b, pedalSink);
}

} // namespace
