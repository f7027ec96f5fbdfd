#pragma once
// A MIDI expression pedal, a MIDI footswitch and a MIDI tap button. The messages a native
// server's port received are read on its realtime thread: a controller value becomes the
// filter's target depth at once (the glide smooths its steps), through the pedal's calibrated
// ends and taper, a footswitch switches the effect, a tap sets the LFO's tempo, and "Learn"
// catches the next controller or note. The UI picks up the latest depth and what Learn
// caught at its own pace, from atomics: a flood of messages costs it nothing.

#include "pedal/Pedal.h"
#include "pedal/PedalMessages.h"
#include "platform/midi/MidiSink.h"
#include "platform/thread/LatestValue.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wave { class WaveService; }

namespace midi {

inline constexpr int32_t kAnyChannel = pedal::kAnyMidiChannel;
inline constexpr int32_t kChannels = 16;
inline constexpr int32_t kDefaultController = 11;
inline constexpr int32_t kDefaultFootswitch = 64;
inline constexpr int32_t kLargestNumber = 127;
inline constexpr int32_t kFinePartOffset = pedal::kFinePartOffset;

using SwitchKind = pedal::MidiKind;

// What the pedal listens to.
struct PedalConfig {
    // Whether the controller drives the depth (the MIDI pedal is the source).
    bool drivesDepth = false;
    int32_t channel = kAnyChannel; // 0 any, 1-16
    int32_t controller = kDefaultController;
    // What the setup says the pedal sends. Both read alike: a coarse part counts as 7 bits
    // until its fine part follows, so a pedal chosen wrongly still reaches both ends.
    bool fourteenBit = false;
    bool invert = false;
    SwitchKind switchKind = SwitchKind::None;
    int32_t switchChannel = kAnyChannel;
    int32_t switchNumber = kDefaultFootswitch;
    // The pedal's ends in 7-bit steps, as calibration found them (equal: none, the full
    // range), and its taper. The defaults keep the plain mapping.
    int32_t lowest = 0;
    int32_t highest = 0;
    pedal::PedalCurve curve = pedal::PedalCurve::Linear;
    // What taps the LFO's tempo: a note-on, or a controller as it is pressed.
    SwitchKind tapKind = SwitchKind::None;
    int32_t tapChannel = kAnyChannel;
    int32_t tapNumber = 0;
    bool operator==(const PedalConfig&) const = default;
};

// What Learn caught: a controller or a note, on channel 1-16.
struct Caught {
    SwitchKind kind = SwitchKind::Controller;
    int32_t channel = 1;
    int32_t number = 0;
    bool operator==(const Caught&) const = default;
};

enum class LearnFor : uint8_t { Nothing = 0, Pedal = 1, Footswitch = 2, Tap = 3 };

class MidiPedal final : public MidiSink {
public:
    // One event as the server delivered it: one message or several under running status,
    // realtime bytes anywhere, system exclusive skipped, a note-on of velocity 0 taken as a
    // note-off. Nothing of one event completes a message of another, and a fine part pairs
    // only with the coarse part of its own source. Called on the audio thread.
    void receive(uint32_t from, const uint8_t* message, uint32_t size) override;

    // Takes effect from the next message. Called on the UI thread.
    void configure(const PedalConfig& config);
    // Called on the UI thread.
    PedalConfig config() const;

    // The pedal: the next controller that moves; the footswitch and the tap: the next
    // controller or note-on. Nothing cancels a Learn. Called on the UI thread.
    void learn(LearnFor what);
    // Called on the UI thread.
    LearnFor learning() const;
    // What the last Learn caught, once. Called on the UI thread.
    std::optional<Caught> takeCaught();

    // The latest depth and slider position, when a new one came since the last take.
    // Called on the UI thread.
    bool takeDepth(PedalScaled& out);
    // The pedal controller's latest value in 7-bit steps (its coarse part), for the live
    // readout and the calibration; -1 before any. Any thread.
    int32_t reading() const { return reading_.load(std::memory_order_relaxed); }
    // Whether the fine part of the pedal's controller arrived. Any thread.
    bool heardFinePart() const { return heardFine_.load(std::memory_order_relaxed); }

    // The port the sound service carries for this pedal (null: none), and the sources it
    // can listen to. UI thread only.
    void attach(PedalPort* port) { port_ = port; }
    PedalPort* port() const { return port_; }
    std::vector<Source> sources() const;

    // Back to a pedal that heard nothing (tests run several in one process). UI thread,
    // while no port feeds it.
    void reset();

private:
    void feed(uint32_t from, uint8_t byte);
    void dispatch(uint32_t from);
    void controller(uint32_t from, int32_t channel, int32_t number, int32_t value);
    void noteOn(int32_t channel, int32_t number);
    // A tap from the chosen note, or from the chosen controller as it goes down.
    void tap();
    // Hands what Learn caught to the UI and ends the Learn.
    void Catch(SwitchKind kind, int32_t channel, int32_t number);
    void publishDepth(uint32_t reading, bool fourteenBit, const PedalConfig& c);

    std::atomic<uint64_t> config_{};
    std::atomic<uint8_t> learning_{0};
    // Packed Caught, with a bit that says one is waiting.
    std::atomic<uint32_t> caught_{0};
    std::atomic<bool> heardFine_{false};
    std::atomic<int32_t> reading_{-1};
    thread::LatestValue<PedalScaled> depth_;
    PedalPort* port_ = nullptr; // the UI thread's own

    // The audio thread's own.
    uint64_t seenConfig_ = ~uint64_t(0);
    pedal::MessageChoices choices_;
    // One tap for all sources, so that holding its controller taps once whoever else sends it.
    pedal::TapReader tap_;
    uint8_t status_ = 0;
    uint8_t data_[2]{};
    uint8_t count_ = 0;
    bool inSysex_ = false;
    // The pedal as read on each way in, and the source that way last carried.
    std::array<pedal::PedalReader, kSourcesApart> readers_{};
    std::array<uint32_t, kSourcesApart> readerFrom_{};
};

// The process-wide pedal that the native backends feed.
extern MidiPedal MidiInput;

} // namespace midi

// From the settings: whether the MIDI port is needed (the MIDI pedal is the source, or a MIDI
// footswitch is chosen), what the pedal listens to. UI thread only.
midi::PedalConfig MidiConfigFromSettings();

// At start, before the stream opens: the pedal takes the port the service carries. A MIDI
// pedal on a service without MIDI is reported, and the depth follows the mouse for this
// run; the choice stays stored. UI thread only.
void OpenMidiPedal(wave::WaveService& service);

// Links the pedal's port to the stored source, in place of the one before, and says once, by
// name, that a chosen source is missing: it is linked as soon as it appears. Nothing without
// a port. UI thread only.
void LinkMidiSource();
