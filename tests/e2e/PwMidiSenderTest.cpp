// The tests' own PipeWire MIDI sender, checked against a receiving node of the test's own on
// the private session (scripts/with-pipewire.sh): what it sends arrives whole and in order
// as raw MIDI controls of a sequence, and a MIDI pedal fed from the receiver's realtime
// cycle, as the backend will feed the program's, ends where the sweep ends.

#include "support/MidiRoundTrip.h"
#include "support/PwFilterNode.h"
#include "support/PwMidiSender.h"
#include "support/PwProbe.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/pod/iter.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using testsupport::MessageLog;
using testsupport::PwMidiSender;
constexpr const char* kReceiver = "vobblix-midi-receiver";

// A node with a raw MIDI input port that keeps every message and hands it to a pedal.
class Receiver {
public:
    Receiver(midi::MidiPedal& pedal, MessageLog& log)
        : pedal_(pedal), log_(log),
          node_(kReceiver,
                pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                                  "DSP", PW_KEY_NODE_NAME, kReceiver, PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr),
                PW_DIRECTION_INPUT, "8 bit raw midi", "midi_in", &Process, this)
    {
    }
    bool ok() const { return node_.ok(); }
    std::string port() const { return std::string(kReceiver) + ":midi_in"; }

private:
    // Called on PipeWire's realtime thread.
    static void Process(void* data, spa_io_position*)
    {
        auto* self = static_cast<Receiver*>(data);
        void* in = self->node_.port();
        pw_buffer* b = pw_filter_dequeue_buffer(in);
        if (!b)
            return;
        spa_data* d = &b->buffer->datas[0];
        auto* pod = d->data ? static_cast<spa_pod*>(spa_pod_from_data(d->data, d->maxsize, d->chunk->offset,
                                                                      d->chunk->size))
                            : nullptr;
        if (pod && spa_pod_is_sequence(pod)) {
            spa_pod_control* c = nullptr;
            SPA_POD_SEQUENCE_FOREACH(reinterpret_cast<spa_pod_sequence*>(pod), c)
            {
                if (c->type != SPA_CONTROL_Midi)
                    continue;
                const auto* bytes = static_cast<const uint8_t*>(SPA_POD_BODY(&c->value));
                const uint32_t size = SPA_POD_BODY_SIZE(&c->value);
                self->pedal_.receive(0, bytes, size);
                self->log_.add(bytes, size);
            }
        }
        pw_filter_queue_buffer(in, b);
    }

    midi::MidiPedal& pedal_;
    MessageLog& log_;
    // Last, so that it stops calling Process before the rest goes.
    testsupport::PwFilterNode node_;
};

class PwMidi : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
            GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
        testsupport::ConfigureReceivingPedal(pedal);
        sender = std::make_unique<PwMidiSender>();
        receiver = std::make_unique<Receiver>(pedal, log);
        ASSERT_TRUE(sender->connected());
        ASSERT_TRUE(receiver->ok());
        ASSERT_TRUE(WaitForPort(sender->port(), 10000));
        ASSERT_TRUE(WaitForPort(receiver->port(), 10000));
        ASSERT_TRUE(PwLink(sender->port(), receiver->port()));
        ASSERT_TRUE(WaitForLink(sender->port(), receiver->port(), 10000));
        ASSERT_TRUE(testsupport::Primed(*sender, log));
    }
    midi::MidiPedal pedal;
    MessageLog log;
    std::unique_ptr<PwMidiSender> sender;
    std::unique_ptr<Receiver> receiver;
};

TEST_F(PwMidi, SweepsOfSevenAndFourteenBitsArriveWholeAndInOrder)
{
    testsupport::CheckSweeps(*sender, log, pedal);
}

TEST_F(PwMidi, NotesOnDemand)
{
    testsupport::CheckNotes(*sender, log);
}

} // namespace
