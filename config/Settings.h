#pragma once
// The one settings record, its defaults and its persistence in the per-user store.

#include <atomic>
#include <cstdint>
#include <string>

struct TSettings {
    // Read on the audio and recorder threads as well as the UI thread, hence atomic.
    std::atomic<uint32_t> SampleRate{};
    std::atomic<uint32_t> memBlockLength{};
    std::atomic<bool> Recording{};
    std::string RecordFileName;
    std::atomic<bool> UsingMouse{};
    int32_t PedalDevice{};
    bool InvertPedal{};
    int32_t Priority{};
    int32_t PedalAxis{};
    uint32_t PedalMin{};
    uint32_t PedalMax{};
    int32_t LastFreqofs{};
    int32_t LastResonance{};
    int32_t LastPAF{};
    std::string LastPATH;
    // The backend's names of the chosen input and output; empty: the system default.
    std::string InputDevice;
    std::string OutputDevice;
    // The MIDI pedal is the depth source; with it UsingMouse is false, except for a run in
    // which the sound has no MIDI and the mouse stands in.
    bool MidiPedal{};
    // The MIDI output the pedal's port is linked to, by the server's name; "All": every one.
    std::string MidiSource;
    // 0: any channel; 1-16.
    int32_t MidiChannel{};
    int32_t MidiController{};
    // 14-bit from the start; otherwise 7-bit until the fine part arrives.
    bool Midi14Bit{};
    // 0: no MIDI footswitch; 1: a controller (64 and up on); 2: a note (each note-on toggles).
    int32_t MidiFootswitch{};
    int32_t MidiFootswitchChannel{};
    int32_t MidiFootswitchNumber{};
    // Whether the effect was on; the filter's own flag is the live one.
    bool EffectOn{};
    // The joystick button that switches the effect on and off, numbered from 1; 0: none.
    uint32_t FootswitchButton{};

    // The sweep source: "Off" (the slider or the pedal), "Envelope" or "LFO"; the automatic
    // modes sweep the depth from SweepLow to SweepHigh.
    std::string AutoMode;
    double SweepLow{};
    double SweepHigh{};
    // dB of gain into the envelope follower, and its times.
    uint32_t EnvSensitivity{};
    uint32_t EnvAttackMs{};
    uint32_t EnvReleaseMs{};
    // "Up": harder picking opens the filter; "Down": it closes it.
    std::string EnvDirection;
    // "Sine", "Triangle", "SawUp", "SawDown", "Square" or "Random"; the rate in Hz.
    std::string LfoShape;
    double LfoRate{};
    // The calibrated ends of the game pedal's axis (stored as PedalMin and PedalMax; the
    // members of those names hold the device's bounds) and of the MIDI pedal's value;
    // equal ends: not calibrated, the device's own range.
    uint32_t PedalCalMin{};
    uint32_t PedalCalMax{};
    uint32_t MidiMin{};
    uint32_t MidiMax{};
    // "Linear", "Log" or "Exp", for both pedals.
    std::string PedalCurve;
    // Rocking the pedal off its heel switches the effect on; resting at the heel for
    // SwitchlessMs switches it off.
    bool Switchless{};
    uint32_t SwitchlessMs{};
    // The joystick button that taps the LFO's tempo, from 1; 0: none.
    uint32_t TapButton{};
    // The learned MIDI tap: "" none, else "Note <channel> <number>" or "CC <channel> <number>"
    // (channel 0: any); see settings::ParseMidiTrigger.
    std::string TapMidi;
};

// The process-wide record, zeroed at program load.
extern TSettings Settings;

// The three parameter slider positions that a save stores.
struct SliderPositions {
    int32_t freqOffset{};
    int32_t resonance{};
    int32_t pedalAccel{};
};

// The values the settings window sets, which take effect at the next start. A save may store
// a set of them that the running program does not use yet: the sound keeps its own until it
// has stopped.
struct StartChoices {
    uint32_t SampleRate{};
    uint32_t memBlockLength{};
    bool UsingMouse{};
    int32_t Priority{};
    std::string InputDevice;
    std::string OutputDevice;
    bool MidiPedal{};
};

// The record's own start choices. UI thread only.
StartChoices CurrentStartChoices();
// Puts a saved set into the record, once the sound that used the old one has stopped.
// UI thread only.
void ApplyStartChoices(const StartChoices& choices);

// Fills Settings from the store, creating it whole with the defaults on the first run. A row
// that cannot be used (missing, of another type or sign, out of its range) takes its default
// and every other row is still read; all of them, and a rate or buffer size the sound cannot
// use, are said together in one error box, each with the value found and the value used. A
// file holding a row that could not be read at all is first kept aside as "<file>.broken". A
// file that does not parse is kept aside the same way and reported once, by its path and
// line, and the defaults are used. A store that can be neither opened nor created reports and
// requests termination. Never throws.
// UI thread only.
void LoadSettings();

// What a save that cannot open the store does after its report.
enum class AfterFailedOpen { End, Stay };

// Writes Settings and the slider positions; false when the store could not be opened, which
// is reported (and, unless told to stay, asks the program to end) with nothing written. A
// value the store refuses throws report::FrameworkError.
// UI thread only.
bool SaveSettings(const SliderPositions& sliders, AfterFailedOpen after = AfterFailedOpen::End);
// The same, storing the start choices given in place of the record's.
// UI thread only.
bool SaveSettings(const SliderPositions& sliders, const StartChoices& choices, AfterFailedOpen after);

// Back to the zeroed record of program load (tests run several start-ups in one process).
// UI thread only.
void ResetSettingsRecord();

namespace settings {
inline constexpr const char* kKeyPath = "\\Software\\Drenmarq\\Vobblix 1.1";

// What a rate and a buffer size may be: the rates the settings window offers, and the even
// sizes from one sample up to the largest that still makes a capture buffer of the stream's
// quarter-second queue at that rate. The settings window's "Set" and OK, the load and the
// stream's own message all go by this.
inline constexpr uint32_t kOfferedRates[] = {44100, 22050, 11025};
inline constexpr uint32_t kDefaultRate = 44100;
inline constexpr uint32_t kDefaultBlockLength = 1000;
inline constexpr uint32_t kSmallestBlockLength = 2;

// Where the three parameter sliders move, and so where their stored positions must lie.
struct SliderRange {
    int32_t lowest;
    int32_t largest;
};
inline constexpr SliderRange kFreqofsRange{0, 100};
inline constexpr SliderRange kResonanceRange{1, 100};
inline constexpr SliderRange kPafRange{1, 200};

// The highest joystick button the footswitch may be (the pedal setup offers 1 to this).
inline constexpr uint32_t kLargestFootswitchButton = 64;

// The sweep rows' choices and ranges, as the store checks them and the windows offer them;
// the choices in the order of fx::SweepMode, fx::EnvDirection, fx::LfoShape, pedal::PedalCurve.
inline constexpr const char* kAutoModes[] = {"Off", "Envelope", "LFO", nullptr};
inline constexpr const char* kEnvDirections[] = {"Up", "Down", nullptr};
inline constexpr const char* kLfoShapes[] = {"Sine", "Triangle", "SawUp", "SawDown", "Square", "Random", nullptr};
inline constexpr const char* kPedalCurves[] = {"Linear", "Log", "Exp", nullptr};
struct NumberRange {
    double lowest;
    double largest;
};
inline constexpr NumberRange kSweepRange{0.0, 0.99};
inline constexpr NumberRange kEnvSensitivityRange{0, 40};
inline constexpr NumberRange kEnvAttackRange{1, 100};
inline constexpr NumberRange kEnvReleaseRange{10, 2000};
inline constexpr NumberRange kLfoRateRange{0.05, 20.0};
inline constexpr NumberRange kSwitchlessRange{50, 5000};
// A joystick axis reads 0 to 65535; a MIDI pedal 0 to 16383 (14 bits).
inline constexpr uint32_t kLargestAxisReading = 0xFFFF;
inline constexpr uint32_t kLargestMidiReading = 0x3FFF;

// A learned MIDI trigger (the tap): none, a controller or a note, on a channel (0: any).
struct MidiTrigger {
    enum class Kind : uint8_t { None, Controller, Note };
    Kind kind = Kind::None;
    uint32_t channel = 0;
    uint32_t number = 0;
};
// false when the text is neither "" nor "<Note|CC> <0-16> <0-127>".
bool ParseMidiTrigger(const std::string& text, MidiTrigger* out);
std::string MidiTriggerText(const MidiTrigger& trigger);

bool IsOfferedRate(uint32_t rate);
// The largest even size under half a second of sound at that rate: half a second or more
// makes no buffer of a quarter-second queue.
uint32_t LargestBlockLength(uint32_t rate);
// Empty when the stream can play buffers of this size at this rate; otherwise the settings
// window's message about it.
std::string BlockLengthProblem(int64_t size, uint32_t rate);
}
