#pragma once
// MIDI messages a test sends to the program's pedal port: controller sweeps of 7 or 14 bits
// and notes, built once for every sender.

#include <array>
#include <cstdint>
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

} // namespace testsupport
