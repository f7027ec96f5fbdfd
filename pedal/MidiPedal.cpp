#include "pedal/MidiPedal.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/report/Report.h"
#include "platform/wave/Wave.h"

#include <algorithm>

namespace midi {

MidiPedal MidiInput;

namespace {

constexpr uint8_t kStatusBit = 0x80;
constexpr uint8_t kRealtimeFirst = 0xF8;
constexpr uint8_t kSystemFirst = 0xF0;
constexpr uint8_t kSysexStart = 0xF0;
constexpr uint8_t kKindMask = 0xF0;
constexpr uint8_t kChannelMask = 0x0F;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kChannelPressure = 0xD0;

// The whole configuration in one word, so that the audio thread reads it in one load.
constexpr uint64_t kSevenBits = 0x7F;
constexpr uint64_t kFiveBits = 0x1F;
constexpr uint64_t kTwoBits = 0x3;
constexpr int kChannelAt = 1;
constexpr int kControllerAt = 6;
constexpr int kFourteenAt = 13;
constexpr int kInvertAt = 14;
constexpr int kSwitchKindAt = 15;
constexpr int kSwitchChannelAt = 17;
constexpr int kSwitchNumberAt = 22;
constexpr int kLowestAt = 29;
constexpr int kHighestAt = 36;
constexpr int kCurveAt = 43;
constexpr int kTapKindAt = 45;
constexpr int kTapChannelAt = 47;
constexpr int kTapNumberAt = 52;

// What Learn caught, in one word: number, channel, kind, and a bit that says it waits.
constexpr int kCaughtChannelAt = 7;
constexpr int kCaughtKindAt = 12;
constexpr uint32_t kCaughtWaiting = 1u << 31;

uint64_t Field(int32_t value, uint64_t mask) { return static_cast<uint64_t>(static_cast<uint32_t>(value)) & mask; }

uint64_t Pack(const PedalConfig& c)
{
    return uint64_t(c.drivesDepth) | Field(c.channel, kFiveBits) << kChannelAt |
           Field(c.controller, kSevenBits) << kControllerAt | uint64_t(c.fourteenBit) << kFourteenAt |
           uint64_t(c.invert) << kInvertAt | Field(int32_t(c.switchKind), kTwoBits) << kSwitchKindAt |
           Field(c.switchChannel, kFiveBits) << kSwitchChannelAt | Field(c.switchNumber, kSevenBits) << kSwitchNumberAt |
           Field(c.lowest, kSevenBits) << kLowestAt | Field(c.highest, kSevenBits) << kHighestAt |
           Field(int32_t(c.curve), kTwoBits) << kCurveAt | Field(int32_t(c.tapKind), kTwoBits) << kTapKindAt |
           Field(c.tapChannel, kFiveBits) << kTapChannelAt | Field(c.tapNumber, kSevenBits) << kTapNumberAt;
}

PedalConfig Unpack(uint64_t w)
{
    PedalConfig c;
    c.drivesDepth = (w & 1u) != 0;
    c.channel = int32_t(w >> kChannelAt & kFiveBits);
    c.controller = int32_t(w >> kControllerAt & kSevenBits);
    c.fourteenBit = (w >> kFourteenAt & 1u) != 0;
    c.invert = (w >> kInvertAt & 1u) != 0;
    c.switchKind = SwitchKind(w >> kSwitchKindAt & kTwoBits);
    c.switchChannel = int32_t(w >> kSwitchChannelAt & kFiveBits);
    c.switchNumber = int32_t(w >> kSwitchNumberAt & kSevenBits);
    c.lowest = int32_t(w >> kLowestAt & kSevenBits);
    c.highest = int32_t(w >> kHighestAt & kSevenBits);
    c.curve = pedal::PedalCurve(w >> kCurveAt & kTwoBits);
    c.tapKind = SwitchKind(w >> kTapKindAt & kTwoBits);
    c.tapChannel = int32_t(w >> kTapChannelAt & kFiveBits);
    c.tapNumber = int32_t(w >> kTapNumberAt & kSevenBits);
    return c;
}

// The program pairs a fine part whatever the setup says the pedal sends, and reads every
// controller the settings can name.
pedal::MessageChoices ChoicesOf(const PedalConfig& c)
{
    pedal::MessageChoices m;
    m.channel = c.channel;
    m.controller = c.controller;
    m.pairsFinePart = true;
    m.modeMessagesCount = true;
    m.tapKind = c.tapKind;
    m.tapChannel = c.tapChannel;
    m.tapNumber = c.tapNumber;
    return m;
}

} // namespace

void MidiPedal::receive(uint32_t from, const uint8_t* message, uint32_t size)
{
    // The servers deliver whole messages, and one port may merge several sources: an event
    // starts afresh, so that one source's data bytes never complete another's message (a
    // sysex left open by one would else be read under the running status of the next).
    status_ = 0;
    count_ = 0;
    inSysex_ = false;
    for (uint32_t i = 0; i < size; ++i)
        feed(from, message[i]);
}

void MidiPedal::feed(uint32_t from, uint8_t byte)
{
    // Realtime bytes (clock, start, stop, active sensing) may stand anywhere, even inside
    // another message, and change nothing.
    if (byte >= kRealtimeFirst)
        return;
    if (byte >= kSystemFirst) {
        // System exclusive and system common cancel running status; their data is skipped.
        inSysex_ = byte == kSysexStart;
        status_ = 0;
        count_ = 0;
        return;
    }
    if (byte & kStatusBit) {
        status_ = byte;
        count_ = 0;
        inSysex_ = false;
        return;
    }
    if (inSysex_ || status_ == 0)
        return;
    data_[count_++] = byte;
    const uint8_t kind = status_ & kKindMask;
    const uint8_t needed = kind == kProgramChange || kind == kChannelPressure ? 1 : 2;
    if (count_ < needed)
        return;
    // Running status: the next data bytes make another message of the same kind.
    count_ = 0;
    dispatch(from);
}

void MidiPedal::dispatch(uint32_t from)
{
    const uint64_t packed = config_.load(std::memory_order_acquire);
    if (packed != seenConfig_) {
        // Another controller or mode: what was heard of the old one says nothing.
        seenConfig_ = packed;
        choices_ = ChoicesOf(Unpack(packed));
        readers_.fill(pedal::PedalReader{});
        readerFrom_.fill(0);
        tap_ = pedal::TapReader{};
        heardFine_.store(false, std::memory_order_relaxed);
    }
    const int32_t channel = (status_ & kChannelMask) + 1;
    switch (status_ & kKindMask) {
    case kControlChange: controller(from, channel, data_[0], data_[1]); break;
    case kNoteOn:
        // A note-on of velocity 0 is a note-off.
        if (data_[1] > 0)
            noteOn(channel, data_[0]);
        break;
    default: break;
    }
}

void MidiPedal::controller(uint32_t from, int32_t channel, int32_t number, int32_t value)
{
    if (learning_.load(std::memory_order_relaxed) != uint8_t(LearnFor::Nothing) && number < pedal::kFirstModeMessage)
        Catch(SwitchKind::Controller, channel, number);
    const PedalConfig c = Unpack(seenConfig_);
    if (c.switchKind == SwitchKind::Controller && number == c.switchNumber &&
        pedal::OnMidiChannel(c.switchChannel, channel)) {
        EffectOn.store(value >= pedal::kPressedFrom, std::memory_order_relaxed);
        ControlsMoved.tell();
    }
    tap();
    if (!c.drivesDepth || !pedal::OnMidiChannel(c.channel, channel))
        return;
    const uint32_t slot = from % kSourcesApart;
    if (readerFrom_[slot] != from) {
        // Another source on this way in: what the one before sent says nothing.
        readerFrom_[slot] = from;
        readers_[slot] = pedal::PedalReader{};
    }
    const pedal::MidiReading r = readers_[slot].read(status_, uint8_t(number), uint8_t(value), choices_);
    if (!r.heard)
        return;
    if (r.largest > pedal::kLargestMidiEnd)
        heardFine_.store(true, std::memory_order_relaxed);
    else
        reading_.store(value, std::memory_order_relaxed);
    publishDepth(r.value, r.largest > pedal::kLargestMidiEnd, c);
}

void MidiPedal::Catch(SwitchKind kind, int32_t channel, int32_t number)
{
    caught_.store(kCaughtWaiting | uint32_t(kind) << kCaughtKindAt | uint32_t(channel) << kCaughtChannelAt |
                      uint32_t(number),
                  std::memory_order_release);
    learning_.store(uint8_t(LearnFor::Nothing), std::memory_order_relaxed);
}

void MidiPedal::noteOn(int32_t channel, int32_t number)
{
    const uint8_t learning = learning_.load(std::memory_order_relaxed);
    if (learning == uint8_t(LearnFor::Footswitch) || learning == uint8_t(LearnFor::Tap))
        Catch(SwitchKind::Note, channel, number);
    const PedalConfig c = Unpack(seenConfig_);
    if (c.switchKind == SwitchKind::Note && number == c.switchNumber && pedal::OnMidiChannel(c.switchChannel, channel))
        ToggleEffect();
    tap();
}

void MidiPedal::tap()
{
    if (tap_.tapped(status_, data_[0], data_[1], choices_))
        fx::Program().Tap();
}

void MidiPedal::publishDepth(uint32_t reading, bool fourteenBit, const PedalConfig& c)
{
    // Uncalibrated, scaled as a joystick reading with the bounds 0..largest, so both ends are
    // reached: 0 gives 0 and the largest value 0.99. Calibrated, the ends found do that.
    pedal::PedalMapping mapping;
    mapping.curve = c.curve;
    mapping.invert = c.invert;
    mapping.lowest = uint32_t(c.lowest);
    mapping.highest = uint32_t(c.highest);
    const PedalScaled scaled = pedal::MapMidiReading(mapping, reading, fourteenBit);
    TargetDepth.store(scaled.depth, std::memory_order_relaxed);
    depth_.publish(scaled);
    ControlsMoved.tell();
}

void MidiPedal::configure(const PedalConfig& config)
{
    config_.store(Pack(config), std::memory_order_release);
}

PedalConfig MidiPedal::config() const
{
    return Unpack(config_.load(std::memory_order_acquire));
}

void MidiPedal::learn(LearnFor what)
{
    caught_.store(0, std::memory_order_relaxed);
    learning_.store(uint8_t(what), std::memory_order_release);
}

LearnFor MidiPedal::learning() const
{
    return LearnFor(learning_.load(std::memory_order_acquire));
}

std::optional<Caught> MidiPedal::takeCaught()
{
    if ((caught_.load(std::memory_order_relaxed) & kCaughtWaiting) == 0)
        return std::nullopt;
    const uint32_t w = caught_.exchange(0, std::memory_order_acquire);
    if ((w & kCaughtWaiting) == 0)
        return std::nullopt;
    Caught c;
    c.kind = SwitchKind(w >> kCaughtKindAt & kTwoBits);
    c.channel = int32_t(w >> kCaughtChannelAt & kFiveBits);
    c.number = int32_t(w & kSevenBits);
    return c;
}

bool MidiPedal::takeDepth(PedalScaled& out)
{
    return depth_.take(out);
}

std::vector<Source> MidiPedal::sources() const
{
    return port_ ? port_->sources() : std::vector<Source>();
}

void MidiPedal::reset()
{
    config_ = 0;
    port_ = nullptr;
    learning_ = 0;
    caught_ = 0;
    heardFine_ = false;
    reading_ = -1;
    PedalScaled discard;
    while (depth_.take(discard)) {
    }
    seenConfig_ = ~uint64_t(0);
    tap_ = pedal::TapReader{};
    status_ = 0;
    count_ = 0;
    inSysex_ = false;
    readers_.fill(pedal::PedalReader{});
    readerFrom_.fill(0);
}

} // namespace midi

midi::PedalConfig MidiConfigFromSettings()
{
    midi::PedalConfig c;
    c.drivesDepth = Settings.MidiPedal && !Settings.UsingMouse;
    c.channel = Settings.MidiChannel;
    c.controller = Settings.MidiController;
    c.fourteenBit = Settings.Midi14Bit;
    c.invert = Settings.InvertPedal;
    c.switchKind = midi::SwitchKind(Settings.MidiFootswitch);
    c.switchChannel = Settings.MidiFootswitchChannel;
    c.switchNumber = Settings.MidiFootswitchNumber;
    // The store holds the calibrated ends in 7-bit steps.
    c.lowest = int32_t(std::min<uint32_t>(Settings.MidiMin, midi::kLargestNumber));
    c.highest = int32_t(std::min<uint32_t>(Settings.MidiMax, midi::kLargestNumber));
    c.curve = pedal::CurveNamed(Settings.PedalCurve);
    settings::MidiTrigger tap;
    if (settings::ParseMidiTrigger(Settings.TapMidi, &tap) && tap.kind != settings::MidiTrigger::Kind::None) {
        c.tapKind = tap.kind == settings::MidiTrigger::Kind::Note ? midi::SwitchKind::Note : midi::SwitchKind::Controller;
        c.tapChannel = int32_t(tap.channel);
        c.tapNumber = int32_t(tap.number);
    }
    return c;
}

void LinkMidiSource()
{
    // Said once per source that is missing, not at every OK that keeps it.
    static std::string toldMissing;
    midi::PedalPort* port = midi::MidiInput.port();
    if (!port)
        return;
    port->setInput(&midi::MidiInput, Settings.MidiSource);
    const std::string& chosen = Settings.MidiSource;
    bool present = chosen == midi::kAllSources;
    for (const midi::Source& s : present ? std::vector<midi::Source>() : port->sources())
        present = present || s.id == chosen;
    if (present || chosen == toldMissing) {
        if (present)
            toldMissing.clear();
        return;
    }
    toldMissing = chosen;
    report::Information("The MIDI source \"" + chosen +
                        "\" is not connected. Vobblix links the pedal to it as soon as it is there.");
}

void OpenMidiPedal(wave::WaveService& service)
{
    midi::MidiInput.attach(service.midiPort());
    if (midi::MidiInput.port()) {
        // The port is there whatever the source, so that "Learn" hears a pedal being set up
        // for the first time; it changes nothing until the settings ask it to.
        midi::MidiInput.configure(MidiConfigFromSettings());
        LinkMidiSource();
        return;
    }
    const std::string road = std::string(" needs PipeWire or JACK, and the sound goes through ") + service.name();
    if (Settings.MidiPedal && !Settings.UsingMouse) {
        report::Error("A MIDI pedal" + road + ". The depth follows the mouse until Vobblix runs on PipeWire or JACK.");
        Settings.UsingMouse = true;
    } else if (Settings.MidiFootswitch != int32_t(midi::SwitchKind::None)) {
        report::Warning("a MIDI footswitch" + road + "; the \"Effect on\" box still switches the effect");
    }
}
