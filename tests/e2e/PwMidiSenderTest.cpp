// The tests' own PipeWire MIDI sender, checked against a receiving node of the test's own on
// the private session (scripts/with-pipewire.sh): what it sends arrives whole and in order
// as raw MIDI controls of a sequence, and a MIDI pedal fed from the receiver's realtime
// cycle, as the backend will feed the program's, ends where the sweep ends.

#include "support/PwMidiSender.h"
#include "support/PwProbe.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/pod/iter.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using testsupport::ControllerSweep;
using testsupport::MidiMessage;
using testsupport::PwMidiSender;

constexpr size_t kMost = 1 << 16;
constexpr const char* kReceiver = "vobblix-midi-receiver";

// A node with a raw MIDI input port that keeps every message and hands it to a pedal.
class Receiver {
public:
    explicit Receiver(midi::MidiPedal& pedal) : pedal_(pedal), messages_(kMost)
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("midi-receiver", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        events_.version = PW_VERSION_FILTER_EVENTS;
        events_.process = &Process;
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        if (context_)
            core_ = pw_context_connect(context_, nullptr, 0);
        if (core_)
            filter_ = pw_filter_new(core_, kReceiver,
                                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                      PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, kReceiver,
                                                      PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr));
        if (filter_) {
            pw_filter_add_listener(filter_, &listener_, &events_, this);
            in_ = pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                     pw_properties_new(PW_KEY_FORMAT_DSP, "8 bit raw midi", PW_KEY_PORT_NAME,
                                                       "midi_in", nullptr),
                                     nullptr, 0);
            ok_ = in_ && pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) == 0;
        }
        pw_thread_loop_unlock(loop_);
    }
    ~Receiver()
    {
        pw_thread_loop_lock(loop_);
        if (filter_)
            pw_filter_destroy(filter_);
        if (core_)
            pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    bool ok() const { return ok_; }
    std::string port() const { return std::string(kReceiver) + ":midi_in"; }
    bool WaitFor(size_t count) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received() < count && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return received() >= count;
    }
    size_t received() const { return count_.load(std::memory_order_acquire); }
    std::vector<MidiMessage> messages() const { return {messages_.begin(), messages_.begin() + long(received())}; }

private:
    // Called on PipeWire's realtime thread.
    static void Process(void* data, spa_io_position*)
    {
        auto* self = static_cast<Receiver*>(data);
        pw_buffer* b = pw_filter_dequeue_buffer(self->in_);
        if (!b)
            return;
        spa_data* d = &b->buffer->datas[0];
        auto* pod = d->data ? static_cast<spa_pod*>(spa_pod_from_data(d->data, d->maxsize, d->chunk->offset,
                                                                      d->chunk->size))
                            : nullptr;
        if (pod && spa_pod_is_sequence(pod)) {
            size_t count = self->count_.load(std::memory_order_relaxed);
            spa_pod_control* c = nullptr;
            SPA_POD_SEQUENCE_FOREACH(reinterpret_cast<spa_pod_sequence*>(pod), c)
            {
                if (c->type != SPA_CONTROL_Midi)
                    continue;
                const auto* bytes = static_cast<const uint8_t*>(SPA_POD_BODY(&c->value));
                const uint32_t size = SPA_POD_BODY_SIZE(&c->value);
                self->pedal_.receive(bytes, size);
                if (count < self->messages_.size() && size <= 3) {
                    MidiMessage m;
                    std::copy(bytes, bytes + size, m.bytes.begin());
                    m.size = uint8_t(size);
                    self->messages_[count++] = m;
                }
            }
            self->count_.store(count, std::memory_order_release);
        }
        pw_filter_queue_buffer(self->in_, b);
    }

    midi::MidiPedal& pedal_;
    std::vector<MidiMessage> messages_;
    std::atomic<size_t> count_{0};
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_filter* filter_ = nullptr;
    void* in_ = nullptr;
    spa_hook listener_{};
    pw_filter_events events_{};
    bool ok_ = false;
};

class PwMidi : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
            GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
        fx::ResetForTests();
        midi::PedalConfig c;
        c.drivesDepth = true;
        c.switchKind = midi::SwitchKind::Note;
        c.switchNumber = 36;
        pedal.configure(c);
        sender = std::make_unique<PwMidiSender>();
        receiver = std::make_unique<Receiver>(pedal);
        ASSERT_TRUE(sender->connected());
        ASSERT_TRUE(receiver->ok());
        ASSERT_TRUE(WaitForPort(sender->port(), 10000));
        ASSERT_TRUE(WaitForPort(receiver->port(), 10000));
        ASSERT_TRUE(PwLink(sender->port(), receiver->port()));
        ASSERT_TRUE(WaitForLink(sender->port(), receiver->port(), 10000));
    }
    std::vector<MidiMessage> RoundTrip(const std::vector<MidiMessage>& messages)
    {
        const size_t before = receiver->received();
        EXPECT_TRUE(sender->Send(messages));
        EXPECT_TRUE(sender->WaitSent(10000));
        EXPECT_TRUE(receiver->WaitFor(before + messages.size()));
        const auto all = receiver->messages();
        return {all.begin() + long(before), all.end()};
    }

    midi::MidiPedal pedal;
    std::unique_ptr<PwMidiSender> sender;
    std::unique_ptr<Receiver> receiver;
};

TEST_F(PwMidi, SweepsOfSevenAndFourteenBitsArriveWholeAndInOrder)
{
    EXPECT_EQ(sender->port(), "vobblix-midi-sender:midi_out");
    const auto up = ControllerSweep(1, 11, 0, 127, 127, false);
    EXPECT_EQ(RoundTrip(up), up);
    EXPECT_EQ(TargetDepth.load(), 0.99);
    const auto down = ControllerSweep(1, 11, 127, 0, 127, false);
    EXPECT_EQ(RoundTrip(down), down);
    EXPECT_EQ(TargetDepth.load(), 0.0);

    const auto fine = ControllerSweep(1, 11, 0, 16383, 300, true);
    EXPECT_EQ(RoundTrip(fine), fine);
    EXPECT_TRUE(pedal.heardFinePart());
    EXPECT_EQ(TargetDepth.load(), 0.99);
}

TEST_F(PwMidi, NotesOnDemand)
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
