// The MIDI pedal ports as the sound backends own them, on the private servers
// (scripts/with-pipewire.sh, scripts/with-jack.sh), without the program around them: the
// sources are listed, the port is linked to the chosen one (or, told not to connect, to
// nothing), every message reaches the sink whole and in order, and the PipeWire node leaves
// the graph with its backend.

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
    void receive(const uint8_t* message, uint32_t size) override { log.add(message, size); }
    testsupport::MessageLog log;
};

bool Lists(const wave::DuplexDevice& device, const std::string& port)
{
    const auto sources = device.midiSources();
    return std::any_of(sources.begin(), sources.end(), [&](const wave::DeviceChoice& c) { return c.id == port; });
}

// The registry tells the backend of new ports on its own loop: look until it has.
bool WaitListed(const wave::DuplexDevice& device, const std::string& port)
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
        EXPECT_TRUE(device.midiCapable());
        ASSERT_TRUE(WaitListed(device, sender.port()));

        device.setMidiInput(&sink, sender.port());
        ASSERT_TRUE(WaitForLink(sender.port(), kPipeWirePedal, kWaitMs));
        // The pedal's own node is no source to choose.
        for (const auto& source : device.midiSources())
            EXPECT_EQ(source.id.rfind("vobblix.pedal:", 0), std::string::npos) << source.id;
        ExpectSweepsArrive(sender, sink.log);
    }
    EXPECT_TRUE(WaitForPort(kPipeWirePedal, kWaitMs, false));
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
    EXPECT_TRUE(device.midiCapable());
    EXPECT_TRUE(Lists(device, sender.port()));

    // No stream is open: the port is read whatever the sound does.
    device.setMidiInput(&sink, sender.port());
    ExpectSweepsArrive(sender, sink.log);
    // Checked once the messages came: PipeWire's JACK lists a new connection a little later.
    EXPECT_TRUE(sender.Connected(kJackPedal));
}

TEST_F(JackPedalPort, ToldNotToConnectItHearsOnlyWhatTheUserPatches)
{
    wave::JackDevice device(false);
    ASSERT_TRUE(device.connected()) << device.connectError();
    device.setMidiInput(&sink, sender.port());
    EXPECT_FALSE(sender.Connected(kJackPedal));

    ASSERT_TRUE(sender.Connect(kJackPedal));
    ExpectSweepsArrive(sender, sink.log);
}

} // namespace
