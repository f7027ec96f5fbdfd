// The tests' own JACK MIDI sender, checked against a receiving client of the test's own on
// the private jackd (scripts/with-jack.sh): what it sends arrives whole and in order, and a
// MIDI pedal fed from the receiver's process callback, as a backend will feed the program's,
// ends where the sweep ends.

#include "support/JackMidiSender.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"

#include <jack/midiport.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using testsupport::ControllerSweep;
using testsupport::JackMidiSender;
using testsupport::MidiMessage;

constexpr size_t kMost = 1 << 16;

// A client with a MIDI input port that keeps every message and hands it to a pedal.
class Receiver {
public:
    explicit Receiver(midi::MidiPedal& pedal) : pedal_(pedal), messages_(kMost)
    {
        jack_status_t status{};
        client_ = jack_client_open("vobblix-midi-receiver", JackNoStartServer, &status);
        if (!client_)
            return;
        in_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Process, this);
        jack_activate(client_);
    }
    ~Receiver()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    bool ok() const { return in_ != nullptr; }
    std::string port() const { return jack_port_name(in_); }
    bool WaitFor(size_t count) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received() < count && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return received() >= count;
    }
    size_t received() const { return count_.load(std::memory_order_acquire); }
    std::vector<MidiMessage> messages() const
    {
        return {messages_.begin(), messages_.begin() + long(received())};
    }

private:
    static int Process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<Receiver*>(arg);
        void* buffer = jack_port_get_buffer(self->in_, frames);
        const uint32_t events = jack_midi_get_event_count(buffer);
        size_t count = self->count_.load(std::memory_order_relaxed);
        for (uint32_t i = 0; i < events; ++i) {
            jack_midi_event_t e{};
            if (jack_midi_event_get(&e, buffer, i) != 0)
                continue;
            self->pedal_.receive(e.buffer, uint32_t(e.size));
            if (count < self->messages_.size() && e.size <= 3) {
                MidiMessage m;
                std::copy(e.buffer, e.buffer + e.size, m.bytes.begin());
                m.size = uint8_t(e.size);
                self->messages_[count++] = m;
            }
        }
        self->count_.store(count, std::memory_order_release);
        return 0;
    }

    midi::MidiPedal& pedal_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    std::vector<MidiMessage> messages_;
    std::atomic<size_t> count_{0};
};

class JackMidi : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_JACK_SESSION"))
            GTEST_SKIP() << "no private jackd (run through scripts/with-jack.sh)";
        fx::ResetForTests();
        midi::PedalConfig c;
        c.drivesDepth = true;
        c.switchKind = midi::SwitchKind::Note;
        c.switchNumber = 36;
        pedal.configure(c);
        receiver = std::make_unique<Receiver>(pedal);
        ASSERT_TRUE(sender.ok());
        ASSERT_TRUE(receiver->ok());
        ASSERT_TRUE(sender.Connect(receiver->port()));
    }
    // Sends and waits until everything arrived; what arrived, in order.
    std::vector<MidiMessage> RoundTrip(const std::vector<MidiMessage>& messages)
    {
        const size_t before = receiver->received();
        EXPECT_TRUE(sender.Send(messages));
        EXPECT_TRUE(sender.WaitSent(10000));
        EXPECT_TRUE(receiver->WaitFor(before + messages.size()));
        const auto all = receiver->messages();
        return {all.begin() + long(before), all.end()};
    }

    midi::MidiPedal pedal;
    JackMidiSender sender;
    std::unique_ptr<Receiver> receiver;
};

TEST_F(JackMidi, SweepsOfSevenAndFourteenBitsArriveWholeAndInOrder)
{
    EXPECT_EQ(sender.port(), "vobblix-midi-sender:midi_out");
    // More than one cycle's worth, so that the spreading over cycles is exercised.
    const auto up = ControllerSweep(1, 11, 0, 127, 127, false);
    EXPECT_EQ(RoundTrip(up), up);
    EXPECT_EQ(TargetDepth.load(), 0.99);
    const auto down = ControllerSweep(1, 11, 127, 0, 127, false);
    EXPECT_EQ(RoundTrip(down), down);
    EXPECT_EQ(TargetDepth.load(), 0.0);

    const auto fine = ControllerSweep(1, 11, 0, 16383, 300, true);
    ASSERT_EQ(fine.size(), 602u);
    EXPECT_EQ(RoundTrip(fine), fine);
    EXPECT_TRUE(pedal.heardFinePart());
    EXPECT_EQ(TargetDepth.load(), 0.99);
}

TEST_F(JackMidi, NotesOnDemand)
{
    ASSERT_TRUE(EffectOn.load());
    const std::vector<MidiMessage> press = {testsupport::NoteOnMessage(10, 36, 100),
                                            testsupport::NoteOnMessage(10, 36, 0)};
    EXPECT_EQ(RoundTrip(press), press);
    EXPECT_FALSE(EffectOn.load());
    RoundTrip(press);
    EXPECT_TRUE(EffectOn.load());
}

} // namespace
