#pragma once
// What one MIDI channel voice message means for the wah: a new reading of the expression
// pedal, or a tap of the tempo. The program's MIDI pedal and the plugin both read their
// messages through these, each with its own choices; how the bytes arrive is theirs. Nothing
// here allocates, locks or waits: it runs on the audio thread.

#include <cstdint>

namespace pedal {

inline constexpr int32_t kAnyMidiChannel = 0;
// Controllers 0-31 have a fine part, 32 above.
inline constexpr int32_t kFinePartOffset = 32;
// A button controller counts as pressed from this value up.
inline constexpr int32_t kPressedFrom = 64;
// 120-127 are the channel mode messages (all notes off and the like), not controls.
inline constexpr int32_t kFirstModeMessage = 120;
inline constexpr uint32_t kLargest7Bit = 127;
inline constexpr uint32_t kLargest14Bit = 16383;

// What a footswitch or a tap listens to.
enum class MidiKind : uint8_t { None = 0, Controller = 1, Note = 2 };

// What the pedal and the tap listen to.
struct MessageChoices {
    int32_t channel = kAnyMidiChannel; // 0 any, 1-16
    int32_t controller = 11;
    // Whether the fine part of a controller below 32 pairs with its coarse part. Either way a
    // coarse part alone reads as 7 bits, so a pedal set up wrongly still reaches both ends.
    bool pairsFinePart = false;
    // Whether the mode messages count as controllers too.
    bool modeMessagesCount = false;
    MidiKind tapKind = MidiKind::None;
    int32_t tapChannel = kAnyMidiChannel; // 0 any, 1-16
    int32_t tapNumber = 64;
};

// A reading of the pedal on 0..largest: 127 for a coarse part, 16383 with its fine part.
struct MidiReading {
    bool heard = false;
    uint32_t value = 0;
    uint32_t largest = 0;
};

// Whether a message on channel (1-16) is for one that wants the channel given (0: any).
bool OnMidiChannel(int32_t wanted, int32_t channel);

// The pedal's controller, its fine part paired with the coarse part of the same channel.
class PedalReader {
public:
    // One message: its status byte and its two data bytes. Called on the audio thread.
    MidiReading read(uint8_t status, uint8_t number, uint8_t value, const MessageChoices& choices);

private:
    int32_t coarse_ = -1;
    int32_t coarseChannel_ = -1;
    int32_t coarseController_ = -1;
};

// The tap: a note-on, or a controller as it goes down into its upper half, once per press.
class TapReader {
public:
    // One message: its status byte and its two data bytes. Called on the audio thread.
    bool tapped(uint8_t status, uint8_t number, uint8_t value, const MessageChoices& choices);

private:
    bool held_ = false;
};

} // namespace pedal
