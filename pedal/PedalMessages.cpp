#include "pedal/PedalMessages.h"

namespace pedal {

namespace {

constexpr uint8_t kKindMask = 0xF0;
constexpr uint8_t kChannelMask = 0x0F;
constexpr uint8_t kDataMask = 0x7F;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr int kFineShift = 7;

int32_t ChannelOf(uint8_t status) { return (status & kChannelMask) + 1; }

bool IsControl(uint8_t status, int32_t number, const MessageChoices& choices)
{
    return (status & kKindMask) == kControlChange && (choices.modeMessagesCount || number < kFirstModeMessage);
}

} // namespace

bool OnMidiChannel(int32_t wanted, int32_t channel) { return wanted == kAnyMidiChannel || wanted == channel; }

MidiReading PedalReader::read(uint8_t status, uint8_t number, uint8_t value, const MessageChoices& choices)
{
    MidiReading reading;
    const int32_t n = number & kDataMask;
    const int32_t channel = ChannelOf(status);
    if (!IsControl(status, n, choices) || !OnMidiChannel(choices.channel, channel))
        return reading;
    if (choices.controller != coarseController_) {
        // Another controller chosen: what was heard of the old one says nothing.
        coarseController_ = choices.controller;
        coarse_ = -1;
    }
    const int32_t v = value & kDataMask;
    if (n == choices.controller) {
        coarse_ = v;
        coarseChannel_ = channel;
        reading = {true, uint32_t(v), kLargest7Bit};
    } else if (choices.pairsFinePart && choices.controller < kFinePartOffset &&
               n == choices.controller + kFinePartOffset && coarse_ >= 0 && channel == coarseChannel_) {
        reading = {true, uint32_t(coarse_) << kFineShift | uint32_t(v), kLargest14Bit};
    }
    return reading;
}

bool TapReader::tapped(uint8_t status, uint8_t number, uint8_t value, const MessageChoices& choices)
{
    const int32_t n = number & kDataMask;
    const int32_t v = value & kDataMask;
    if (n != choices.tapNumber || !OnMidiChannel(choices.tapChannel, ChannelOf(status)))
        return false;
    if ((status & kKindMask) == kNoteOn)
        // A note-on of velocity 0 is a note-off.
        return choices.tapKind == MidiKind::Note && v > 0;
    if (choices.tapKind != MidiKind::Controller || !IsControl(status, n, choices))
        return false;
    // A tap controller is a footswitch: it taps when it goes down into its upper half, not
    // again while it is held there.
    const bool down = v >= kPressedFrom;
    const bool tap = down && !held_;
    held_ = down;
    return tap;
}

} // namespace pedal
