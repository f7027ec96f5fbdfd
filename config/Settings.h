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
};

// The process-wide record, zeroed at program load.
extern TSettings Settings;

// The three parameter slider positions that a save stores.
struct SliderPositions {
    int32_t freqOffset{};
    int32_t resonance{};
    int32_t pedalAccel{};
};

// Fills Settings from the store, creating it whole with the defaults on the first run. A
// value that cannot be read takes its default and the others are still read; a value outside
// its range is reported once, in one error box, and takes its default; then the first
// failure is thrown as report::FrameworkError, the file kept aside as "<file>.broken";
// a store that can be neither opened nor created reports and requests termination.
// UI thread only.
void LoadSettings();

// What a save that cannot open the store does after its report.
enum class AfterFailedOpen { End, Stay };

// Writes Settings and the slider positions; false when the store could not be opened, which
// is reported (and, unless told to stay, asks the program to end) with nothing written. A
// value the store refuses throws report::FrameworkError.
// UI thread only.
bool SaveSettings(const SliderPositions& sliders, AfterFailedOpen after = AfterFailedOpen::End);

// Back to the zeroed record of program load (tests run several start-ups in one process).
// UI thread only.
void ResetSettingsRecord();

namespace settings {
inline constexpr const char* kKeyPath = "\\Software\\Drenmarq\\Vobblix 1.1";
}
