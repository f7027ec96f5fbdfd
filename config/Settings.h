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
    // The joystick button that switches the effect on and off, numbered from 1; 0: none.
    uint32_t FootswitchButton{};
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
// value that cannot be read takes its default and the others are still read; then the first
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
