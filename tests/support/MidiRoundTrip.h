#pragma once
// What the MIDI senders' tests check on either server: a receiving port of the test's own
// keeps every message it got and hands it to a MIDI pedal, as a backend will hand it to the
// program's; sweeps and notes then arrive whole and in order, and the pedal ends where the
// sweep ends.

#include "support/MidiMessages.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace testsupport {

constexpr uint8_t kActiveSensing = 0xFE;

// Every message a receiving port got, kept without allocating. Active sensing is only
// counted: a priming byte that arrives a cycle late must not land inside a sweep.
class MessageLog {
public:
    // Called on the receiver's realtime thread.
    void add(const uint8_t* bytes, uint32_t size)
    {
        if (size == 1 && bytes[0] == kActiveSensing) {
            sensed_.fetch_add(1, std::memory_order_release);
            return;
        }
        const size_t count = count_.load(std::memory_order_relaxed);
        if (count >= messages_.size() || size > 3)
            return;
        MidiMessage m;
        std::copy(bytes, bytes + size, m.bytes.begin());
        m.size = uint8_t(size);
        messages_[count] = m;
        count_.store(count + 1, std::memory_order_release);
    }
    size_t received() const { return count_.load(std::memory_order_acquire); }
    size_t sensed() const { return sensed_.load(std::memory_order_acquire); }
    // False after 10 s.
    bool WaitFor(size_t count) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received() < count && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return received() >= count;
    }
    std::vector<MidiMessage> since(size_t from) const
    {
        return {messages_.begin() + long(from), messages_.begin() + long(received())};
    }

private:
    std::vector<MidiMessage> messages_ = std::vector<MidiMessage>(1 << 16);
    std::atomic<size_t> count_{0};
    std::atomic<size_t> sensed_{0};
};

// Sends active sensing (a byte every receiver ignores) until one arrives: a server may drop
// what a source sends in the first cycles after a new link is listed (PipeWire's JACK does).
// False when none arrived in two seconds.
template <typename Sender>
bool Primed(Sender& sender, const MessageLog& log)
{
    const MidiMessage sensing{{kActiveSensing}, 1};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (log.sensed() == 0 && std::chrono::steady_clock::now() < end) {
        if (!sender.Send({sensing}) || !sender.WaitSent(1000))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return log.sensed() > 0;
}

// The pedal the receivers feed: controller 11 on any channel drives the depth, note 36
// switches the effect.
inline void ConfigureReceivingPedal(midi::MidiPedal& pedal)
{
    fx::ResetForTests();
    midi::PedalConfig c;
    c.drivesDepth = true;
    c.switchKind = midi::SwitchKind::Note;
    c.switchNumber = 36;
    pedal.configure(c);
}

// Sends, waits until everything went out and arrived, and gives back what arrived.
template <typename Sender>
std::vector<MidiMessage> RoundTrip(Sender& sender, const MessageLog& log, const std::vector<MidiMessage>& messages)
{
    const size_t before = log.received();
    EXPECT_TRUE(sender.Send(messages));
    EXPECT_TRUE(sender.WaitSent(10000));
    EXPECT_TRUE(log.WaitFor(before + messages.size()));
    return log.since(before);
}

template <typename Sender>
void CheckSweeps(Sender& sender, const MessageLog& log, const midi::MidiPedal& pedal)
{
    EXPECT_EQ(sender.port(), "vobblix-midi-sender:midi_out");
    // More than one cycle's worth, so that the spreading over cycles is exercised.
    const auto up = ControllerSweep(1, 11, 0, 127, 127, false);
    EXPECT_EQ(RoundTrip(sender, log, up), up);
    EXPECT_EQ(TargetDepth.load(), 0.99);
    const auto down = ControllerSweep(1, 11, 127, 0, 127, false);
    EXPECT_EQ(RoundTrip(sender, log, down), down);
    EXPECT_EQ(TargetDepth.load(), 0.0);

    const auto fine = ControllerSweep(1, 11, 0, 16383, 300, true);
    ASSERT_EQ(fine.size(), 602u);
    EXPECT_EQ(RoundTrip(sender, log, fine), fine);
    EXPECT_TRUE(pedal.heardFinePart());
    EXPECT_EQ(TargetDepth.load(), 0.99);
}

// PipeWire's JACK hands a note-on of velocity 0 on as the note-off it means, of velocity 64:
// with noteOffRewritten the release is expected so.
template <typename Sender>
void CheckNotes(Sender& sender, const MessageLog& log, bool noteOffRewritten = false)
{
    ASSERT_TRUE(EffectOn.load());
    const std::vector<MidiMessage> press = {NoteOnMessage(10, 36, 100), NoteOnMessage(10, 36, 0)};
    const std::vector<MidiMessage> arrives = {press[0], noteOffRewritten ? NoteOffMessage(10, 36, 64) : press[1]};
    EXPECT_EQ(RoundTrip(sender, log, press), arrives);
    EXPECT_FALSE(EffectOn.load());
    RoundTrip(sender, log, press);
    EXPECT_TRUE(EffectOn.load());
}

} // namespace testsupport
