#include "lv2/PedalInput.h"

namespace vlv2 {

namespace {

constexpr uint8_t kKindMask = 0xF0;
constexpr uint8_t kChannelMask = 0x0F;
constexpr uint8_t kDataMask = 0x7F;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
// 120-127 are channel mode messages (all notes off and the like), not controls.
constexpr int32_t kFirstModeMessage = 120;
constexpr int32_t kFinePartOffset = 32;
constexpr int32_t kSwitchOnFrom = 64;
constexpr uint32_t kLargest7Bit = 127;
constexpr uint32_t kLargest14Bit = 16383;
constexpr int kFineShift = 7;

bool OnChannel(int32_t wanted, int32_t channel) { return wanted == 0 || wanted == channel; }

} // namespace

Heard PedalInput::take(const uint8_t* message, uint32_t size, const MidiChoices& choices)
{
    Heard heard;
    if (size < 3)
        return heard;
    const uint8_t kind = message[0] & kKindMask;
    const int32_t channel = (message[0] & kChannelMask) + 1;
    const int32_t number = message[1] & kDataMask;
    const int32_t value = message[2] & kDataMask;
    const bool tapHere = OnChannel(choices.tapChannel, channel) && number == choices.tapNumber;
    if (kind == kNoteOn) {
        // A note-on of velocity 0 is a note-off.
        heard.tap = choices.tapFrom == TapFrom::Note && tapHere && value > 0;
        return heard;
    }
    if (kind != kControlChange || number >= kFirstModeMessage)
        return heard;
    if (choices.tapFrom == TapFrom::Controller && tapHere) {
        // A tap controller is a footswitch: it taps when it goes down into its upper half,
        // not again while it is held there.
        heard.tap = value >= kSwitchOnFrom && !tapHeld_;
        tapHeld_ = value >= kSwitchOnFrom;
    }
    if (!OnChannel(choices.channel, channel))
        return heard;
    if (choices.controller != coarseController_) {
        // Another controller chosen: what was heard of the old one says nothing.
        coarseController_ = choices.controller;
        coarse_ = -1;
    }
    if (number == choices.controller) {
        coarse_ = value;
        coarseChannel_ = channel;
        heard.pedal = true;
        heard.reading = uint32_t(value);
        heard.largest = kLargest7Bit;
    } else if (choices.fourteenBit && choices.controller < kFinePartOffset &&
               number == choices.controller + kFinePartOffset && coarse_ >= 0 && channel == coarseChannel_) {
        heard.pedal = true;
        heard.reading = uint32_t(coarse_) << kFineShift | uint32_t(value);
        heard.largest = kLargest14Bit;
    }
    return heard;
}

} // namespace vlv2
