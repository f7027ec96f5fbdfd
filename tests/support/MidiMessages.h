#pragma once
// MIDI messages a test sends to the program's pedal port: controller sweeps of 7 or 14 bits
// and notes, built once for every sender.

#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace testsupport {

struct MidiMessage {
    std::array<uint8_t, 3> bytes{};
    uint8_t size = 0;
    bool operator==(const MidiMessage&) const = default;
};

// Channels are 1-16, as people count them.
inline MidiMessage ControllerMessage(int channel, int number, int value)
{
    return {{uint8_t(0xB0 | ((channel - 1) & 0x0F)), uint8_t(number & 0x7F), uint8_t(value & 0x7F)}, 3};
}

inline MidiMessage NoteOnMessage(int channel, int note, int velocity)
{
    return {{uint8_t(0x90 | ((channel - 1) & 0x0F)), uint8_t(note & 0x7F), uint8_t(velocity & 0x7F)}, 3};
}

inline MidiMessage NoteOffMessage(int channel, int note, int velocity)
{
    return {{uint8_t(0x80 | ((channel - 1) & 0x0F)), uint8_t(note & 0x7F), uint8_t(velocity & 0x7F)}, 3};
}

// From `from` to `to` in `steps` even steps, both ends included: 7-bit values on the
// controller, or 14-bit ones as the coarse part on the controller and the fine part on
// controller + 32 after it.
inline std::vector<MidiMessage> ControllerSweep(int channel, int controller, int from, int to, int steps,
                                                bool fourteenBit)
{
    std::vector<MidiMessage> out;
    for (int i = 0; i <= steps; ++i) {
        const int value = from + (to - from) * i / (steps > 0 ? steps : 1);
        if (fourteenBit) {
            out.push_back(ControllerMessage(channel, controller, value >> 7));
            out.push_back(ControllerMessage(channel, controller + 32, value & 0x7F));
        } else {
            out.push_back(ControllerMessage(channel, controller, value));
        }
    }
    return out;
}

// Sends a message that sets a state (a footswitch's level), again and again for `during`: a
// server may drop what a source sends in the first cycles after a new link is listed
// (PipeWire's JACK does), and a repeat changes nothing once one arrived. False when one could
// not be queued or sent.
template <typename Sender>
bool KeepSending(Sender& sender, const MidiMessage& message, std::chrono::milliseconds during)
{
    constexpr auto kResendEvery = std::chrono::milliseconds(100);
    const auto end = std::chrono::steady_clock::now() + during;
    bool queued = true;
    while (std::chrono::steady_clock::now() < end) {
        queued = sender.Send({message}) && queued;
        std::this_thread::sleep_for(kResendEvery);
    }
    return queued && sender.WaitSent(5000);
}

} // namespace testsupport
