#pragma once
// The plugin's MIDI input: a host hands it whole messages (one per atom event), and it tells
// what they mean for the wah: a new reading of the expression pedal, or a tap of the tempo.
// Nothing here allocates or waits; it runs inside run().

#include <cstdint>

namespace vlv2 {

enum class TapFrom : uint8_t { Nothing = 0, Controller = 1, Note = 2 };

// What the MIDI ports of the plugin chose.
struct MidiChoices {
    int32_t channel = 0; // 0 any, 1-16
    int32_t controller = 11;
    // A coarse part alone reads as 7 bits until its fine part (32 above) follows, so a pedal
    // set up wrongly still reaches both ends.
    bool fourteenBit = false;
    TapFrom tapFrom = TapFrom::Nothing;
    int32_t tapChannel = 0; // 0 any, 1-16
    int32_t tapNumber = 64;
};

struct Heard {
    bool pedal = false;
    // The pedal's reading on 0..largest: 127 for a coarse part, 16383 with its fine part.
    uint32_t reading = 0;
    uint32_t largest = 0;
    bool tap = false;
};

class PedalInput {
public:
    // One message as the host delivered it. Running status never spans events in LV2, and
    // anything that is not a channel voice message is ignored.
    // Called on the plugin's audio thread.
    Heard take(const uint8_t* message, uint32_t size, const MidiChoices& choices);

private:
    int32_t coarse_ = -1;
    int32_t coarseChannel_ = -1;
    int32_t coarseController_ = -1;
    bool tapHeld_ = false;
};

} // namespace vlv2
