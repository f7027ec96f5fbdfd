// The tests' own JACK MIDI sender, checked against a receiving client of the test's own on
// the private jackd (scripts/with-jack.sh) and on PipeWire's JACK (pw-jack): what it sends
// arrives whole and in order, and a MIDI pedal fed from the receiver's process callback, as a
// backend will feed the program's, ends where the sweep ends.

#include "support/JackMidiSender.h"
#include "support/MidiRoundTrip.h"

#include <jack/midiport.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using testsupport::JackMidiSender;
using testsupport::MessageLog;

bool OnPipeWire() { return std::getenv("VOBBLIX_JACK_ON_PIPEWIRE") != nullptr; }

// A client with a MIDI input port that keeps every message and hands it to a pedal.
class Receiver {
public:
    Receiver(midi::MidiPedal& pedal, MessageLog& log) : pedal_(pedal), log_(log)
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

private:
    static int Process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<Receiver*>(arg);
        void* buffer = jack_port_get_buffer(self->in_, frames);
        const uint32_t events = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < events; ++i) {
            jack_midi_event_t e{};
            if (jack_midi_event_get(&e, buffer, i) != 0)
                continue;
            self->pedal_.receive(0, e.buffer, uint32_t(e.size));
            self->log_.add(e.buffer, uint32_t(e.size));
        }
        return 0;
    }

    midi::MidiPedal& pedal_;
    MessageLog& log_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
};

class JackMidi : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_JACK_SESSION") && !OnPipeWire())
            GTEST_SKIP() << "no private jackd (run through scripts/with-jack.sh, or pw-jack in with-pipewire.sh)";
        testsupport::ConfigureReceivingPedal(pedal);
        receiver = std::make_unique<Receiver>(pedal, log);
        ASSERT_TRUE(sender.ok());
        ASSERT_TRUE(receiver->ok());
        ASSERT_TRUE(sender.Connect(receiver->port()));
        ASSERT_TRUE(testsupport::Primed(sender, log));
    }
    midi::MidiPedal pedal;
    MessageLog log;
    JackMidiSender sender;
    std::unique_ptr<Receiver> receiver;
};

TEST_F(JackMidi, SweepsOfSevenAndFourteenBitsArriveWholeAndInOrder)
{
    testsupport::CheckSweeps(sender, log, pedal);
}

TEST_F(JackMidi, NotesOnDemand)
{
    testsupport::CheckNotes(sender, log, OnPipeWire());
}

} // namespace
