#include "config/Settings.h"

#include "platform/midi/MidiSink.h"

#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

#include <limits>
#include <optional>
#include <string>
#include <vector>

TSettings Settings;

namespace {

constexpr const char* kCannotCreate = "Could not create a key in the registry, please check your user permissions!";
constexpr const char* kCannotOpen = "Could not open a required registry key. Please try to restart the application!";

int32_t Signed(uint32_t dword) { return static_cast<int32_t>(dword); }

enum class Stored { Dword, Bool, String };

constexpr uint32_t kNoLimit = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kLargestChannel = 16;
constexpr uint32_t kLargestMidiNumber = 127;
constexpr uint32_t kLargestFootswitchKind = 2;

// What a save stores: the slider positions and the start choices, given or the record's.
struct Saving {
    const SliderPositions& sliders;
    const StartChoices& start;
};

// One row per value in the store, in the order they are read and written: its name, its
// type, the default a new store gets (and a value that cannot be read falls back to), where
// it goes in the record and what a save stores. A string is kept in the record's member
// named; one absent from the store reads as empty, with no report. A row added after the
// first stores (later) takes its default when absent, with no report, so that an older store
// loads as it did; a number may have a largest value, checked at load.
struct StoredValue {
    const char* name;
    Stored type;
    uint32_t fallback = 0;
    void (*set)(uint32_t) = nullptr;
    uint32_t (*saved)(const Saving&) = nullptr;
    std::string TSettings::*text = nullptr;
    const std::string& (*savedText)(const Saving&) = nullptr;
    bool later = false;
    uint32_t largest = kNoLimit;
    const char* textFallback = "";
};

constexpr StoredValue kStoredValues[] = {
    {"Sample_rate", Stored::Dword, settings::kDefaultRate, [](uint32_t v) { Settings.SampleRate = v; },
     [](const Saving& s) { return s.start.SampleRate; }},
    {"memBlockLength", Stored::Dword, settings::kDefaultBlockLength, [](uint32_t v) { Settings.memBlockLength = v; },
     [](const Saving& s) { return s.start.memBlockLength; }},
    {"UsingMouse", Stored::Bool, 1, [](uint32_t v) { Settings.UsingMouse = v != 0; },
     [](const Saving& s) { return uint32_t(s.start.UsingMouse); }},
    {"PedalDevice", Stored::Dword, 0, [](uint32_t v) { Settings.PedalDevice = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.PedalDevice); }},
    {"InvertPedal", Stored::Bool, 0, [](uint32_t v) { Settings.InvertPedal = v != 0; },
     [](const Saving&) { return uint32_t(Settings.InvertPedal); }},
    {"Priority", Stored::Dword, 1, [](uint32_t v) { Settings.Priority = Signed(v); },
     [](const Saving& s) { return uint32_t(s.start.Priority); }},
    {"PedalAxis", Stored::Dword, 1, [](uint32_t v) { Settings.PedalAxis = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.PedalAxis); }},
    // The three slider positions are read at start only; a save takes them from the sliders.
    {"LastFreqofs", Stored::Dword, 10, [](uint32_t v) { Settings.LastFreqofs = Signed(v); },
     [](const Saving& s) { return uint32_t(s.sliders.freqOffset); }},
    {"LastResonance", Stored::Dword, 90, [](uint32_t v) { Settings.LastResonance = Signed(v); },
     [](const Saving& s) { return uint32_t(s.sliders.resonance); }},
    {"LastPAF", Stored::Dword, 100, [](uint32_t v) { Settings.LastPAF = Signed(v); },
     [](const Saving& s) { return uint32_t(s.sliders.pedalAccel); }},
    {"LastPATH", Stored::String, 0, nullptr, nullptr, &TSettings::LastPATH,
     [](const Saving&) -> const std::string& { return Settings.LastPATH; }},
    // The devices chosen in the settings window, by the backend's own names; empty is the
    // system default.
    {"InputDevice", Stored::String, 0, nullptr, nullptr, &TSettings::InputDevice,
     [](const Saving& s) -> const std::string& { return s.start.InputDevice; }},
    {"OutputDevice", Stored::String, 0, nullptr, nullptr, &TSettings::OutputDevice,
     [](const Saving& s) -> const std::string& { return s.start.OutputDevice; }},
    {"FootswitchButton", Stored::Dword, 0, [](uint32_t v) { Settings.FootswitchButton = v; },
     [](const Saving&) { return uint32_t(Settings.FootswitchButton); }, nullptr, nullptr, true},
    // The MIDI pedal and footswitch, and whether the effect is on.
    {"MidiPedal", Stored::Bool, 0, [](uint32_t v) { Settings.MidiPedal = v != 0; },
     [](const Saving& s) { return uint32_t(s.start.MidiPedal); }, nullptr, nullptr, true, 1},
    {"MidiSource", Stored::String, 0, nullptr, nullptr, &TSettings::MidiSource,
     [](const Saving&) -> const std::string& { return Settings.MidiSource; }, true, kNoLimit, midi::kAllSources},
    {"MidiChannel", Stored::Dword, 0, [](uint32_t v) { Settings.MidiChannel = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.MidiChannel); }, nullptr, nullptr, true, kLargestChannel},
    {"MidiController", Stored::Dword, 11, [](uint32_t v) { Settings.MidiController = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.MidiController); }, nullptr, nullptr, true, kLargestMidiNumber},
    {"Midi14Bit", Stored::Bool, 0, [](uint32_t v) { Settings.Midi14Bit = v != 0; },
     [](const Saving&) { return uint32_t(Settings.Midi14Bit); }, nullptr, nullptr, true, 1},
    {"MidiFootswitch", Stored::Dword, 0, [](uint32_t v) { Settings.MidiFootswitch = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.MidiFootswitch); }, nullptr, nullptr, true,
     kLargestFootswitchKind},
    {"MidiFootswitchChannel", Stored::Dword, 0, [](uint32_t v) { Settings.MidiFootswitchChannel = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.MidiFootswitchChannel); }, nullptr, nullptr, true,
     kLargestChannel},
    {"MidiFootswitchNumber", Stored::Dword, 64, [](uint32_t v) { Settings.MidiFootswitchNumber = Signed(v); },
     [](const Saving&) { return uint32_t(Settings.MidiFootswitchNumber); }, nullptr, nullptr, true,
     kLargestMidiNumber},
    {"EffectOn", Stored::Bool, 1, [](uint32_t v) { Settings.EffectOn = v != 0; },
     [](const Saving&) { return uint32_t(Settings.EffectOn); }, nullptr, nullptr, true, 1},
};

void Fallback(const StoredValue& v)
{
    if (v.type == Stored::String)
        Settings.*v.text = v.textFallback;
    else
        v.set(v.fallback);
}

// Reads one value; a number beyond the row's range takes the default and is added to
// `outOfRange`, to be said once.
void Read(const registry::Registry& reg, const StoredValue& v, std::vector<std::string>& outOfRange)
{
    if (v.later && !reg.ValueExists(v.name)) {
        Fallback(v);
        return;
    }
    if (v.type == Stored::String) {
        Settings.*v.text = reg.ReadString(v.name);
        return;
    }
    const uint32_t value = reg.ReadInteger(v.name);
    if (value > v.largest) {
        outOfRange.push_back(std::string(v.name) + " = " + std::to_string(value) + " is out of range (0 to " +
                             std::to_string(v.largest) + "); Vobblix uses " + std::to_string(v.fallback) + ".");
        Fallback(v);
        return;
    }
    v.set(v.type == Stored::Bool ? uint32_t(value != 0) : value);
}

void Write(registry::Registry& reg, const StoredValue& v, const Saving& saving)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, v.saved(saving)); break;
    case Stored::Bool: reg.WriteBool(v.name, v.saved(saving) != 0); break;
    case Stored::String: reg.WriteString(v.name, v.savedText(saving)); break;
    }
}

void WriteDefault(registry::Registry& reg, const StoredValue& v)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, v.fallback); break;
    case Stored::Bool: reg.WriteBool(v.name, v.fallback != 0); break;
    case Stored::String: reg.WriteString(v.name, v.textFallback); break;
    }
}

void SetDefaultsInMemory()
{
    for (const auto& v : kStoredValues)
        Fallback(v);
    Settings.Recording = false;
    Settings.RecordFileName.clear();
    // The first run uses an inverted pedal while the store says otherwise; the first save
    // stores what the run used.
    Settings.InvertPedal = true;
}

// A file that does not parse: kept aside, said once with what became of it, and the run goes
// on with the defaults. Nothing else is said about it: no value of it was read.
void UseDefaultsForUnreadableFile(const registry::ParseProblem& problem)
{
    const auto path = registry::StorePath(settings::kKeyPath);
    std::string reason;
    std::string text = problem.message + ". ";
    if (registry::KeepAside(path, &reason))
        text += "It was kept as '" + registry::KeptAsidePath(path).string() +
                "', and Vobblix started with the default settings.";
    else
        text += "It could not be kept aside (" + reason +
                "), so Vobblix started with the default settings and will not save over it.";
    report::Error(text);
    for (const auto& v : kStoredValues)
        Fallback(v);
}

// A rate or a buffer size the sound cannot use is replaced by its default; the text that says
// so, empty when both were usable.
std::string KeepToWhatTheSoundCanUse()
{
    std::string text;
    const std::string file = "The settings file '" + registry::StorePath(settings::kKeyPath).string() + "' holds ";
    const uint32_t rate = Settings.SampleRate;
    if (!settings::IsOfferedRate(rate)) {
        Settings.SampleRate = settings::kDefaultRate;
        text += file + "Sample_rate = " + std::to_string(rate) +
                ", which is not one of the rates Vobblix offers (44100, 22050 or 11025 Hz); Vobblix uses " +
                std::to_string(settings::kDefaultRate) + " instead.";
    }
    const uint32_t size = Settings.memBlockLength;
    if (!settings::BlockLengthProblem(size, Settings.SampleRate).empty()) {
        Settings.memBlockLength = settings::kDefaultBlockLength;
        if (!text.empty())
            text += "\n";
        text += file + "memBlockLength = " + std::to_string(size) + ", which is not a buffer size Vobblix can play at " +
                std::to_string(Settings.SampleRate) + " Hz (an even number of bytes from " +
                std::to_string(settings::kSmallestBlockLength) + " to " +
                std::to_string(settings::LargestBlockLength(Settings.SampleRate)) + "); Vobblix uses " +
                std::to_string(settings::kDefaultBlockLength) + " instead.";
    }
    return text;
}

// The values out of range and a rate or size the sound cannot use, said together, once.
void ReportWhatWasReplaced(const std::vector<std::string>& outOfRange)
{
    std::string text;
    if (!outOfRange.empty()) {
        text = "Settings in " + registry::StorePath(settings::kKeyPath).string() + ":";
        for (const auto& line : outOfRange)
            text += "\n" + line;
    }
    if (const std::string unusable = KeepToWhatTheSoundCanUse(); !unusable.empty())
        text += (text.empty() ? "" : "\n") + unusable;
    if (!text.empty())
        report::Error(text);
}

} // namespace

namespace settings {

bool IsOfferedRate(uint32_t rate)
{
    for (uint32_t offered : kOfferedRates)
        if (rate == offered)
            return true;
    return false;
}

uint32_t LargestBlockLength(uint32_t rate)
{
    return rate > kSmallestBlockLength ? (rate - 1) & ~1u : kSmallestBlockLength;
}

std::string BlockLengthProblem(int64_t size, uint32_t rate)
{
    if (size < int64_t(kSmallestBlockLength) || size > int64_t(LargestBlockLength(rate)))
        return "Buffer size must be an even number of bytes from " + std::to_string(kSmallestBlockLength) + " to " +
               std::to_string(LargestBlockLength(rate)) + " at " + std::to_string(rate) + " Hz";
    if (size % 2 != 0)
        return "Buffer size must be divisible by two";
    return {};
}

} // namespace settings

StartChoices CurrentStartChoices()
{
    return {Settings.SampleRate, Settings.memBlockLength, Settings.UsingMouse, Settings.Priority,
            Settings.InputDevice, Settings.OutputDevice, Settings.MidiPedal};
}

void ApplyStartChoices(const StartChoices& choices)
{
    Settings.SampleRate = choices.SampleRate;
    Settings.memBlockLength = choices.memBlockLength;
    Settings.UsingMouse = choices.UsingMouse;
    Settings.Priority = choices.Priority;
    Settings.InputDevice = choices.InputDevice;
    Settings.OutputDevice = choices.OutputDevice;
    Settings.MidiPedal = choices.MidiPedal;
}

void LoadSettings()
{
    registry::Registry reg;
    if (reg.OpenKeyReadOnly(settings::kKeyPath)) {
        if (reg.parseProblem()) {
            UseDefaultsForUnreadableFile(*reg.parseProblem());
            reg.CloseKey();
            return;
        }
        // A value that cannot be read takes its default, not a zero, and the others are still
        // read: the save at the close then stores a sound record that keeps all the user's
        // values. The first failure is reported, and the damaged file is kept aside first.
        std::optional<report::FrameworkError> failure;
        std::vector<std::string> outOfRange;
        for (const auto& v : kStoredValues) {
            try {
                Read(reg, v, outOfRange);
            } catch (const report::FrameworkError& e) {
                Fallback(v);
                if (!failure)
                    failure = e;
            }
        }
        reg.CloseKey();
        // The MIDI pedal's row says what the source is, also in a store written by hand.
        if (Settings.MidiPedal)
            Settings.UsingMouse = false;
        ReportWhatWasReplaced(outOfRange);
        if (failure) {
            registry::KeepAside(registry::StorePath(settings::kKeyPath));
            throw *failure;
        }
        return;
    }
    if (reg.OpenKey(settings::kKeyPath, true)) {
        try {
            for (const auto& v : kStoredValues)
                WriteDefault(reg, v);
            reg.CloseKey();
            SetDefaultsInMemory();
            return;
        } catch (const report::FrameworkError&) {
            // The new store could not be written whole: as good as a key not created.
        }
    }
    report::Error(kCannotCreate);
    report::RequestTermination();
}

bool SaveSettings(const SliderPositions& sliders, AfterFailedOpen after)
{
    return SaveSettings(sliders, CurrentStartChoices(), after);
}

bool SaveSettings(const SliderPositions& sliders, const StartChoices& choices, AfterFailedOpen after)
{
    registry::Registry reg;
    if (!reg.OpenKey(settings::kKeyPath, false)) {
        report::Error(kCannotOpen);
        if (after == AfterFailedOpen::End)
            report::RequestTermination();
        return false;
    }
    const Saving saving{sliders, choices};
    for (const auto& v : kStoredValues)
        Write(reg, v, saving);
    reg.CloseKey();
    return true;
}

void ResetSettingsRecord()
{
    Settings.SampleRate = 0;
    Settings.memBlockLength = 0;
    Settings.Recording = false;
    Settings.RecordFileName.clear();
    Settings.UsingMouse = false;
    Settings.PedalDevice = 0;
    Settings.InvertPedal = false;
    Settings.Priority = 0;
    Settings.PedalAxis = 0;
    Settings.PedalMin = 0;
    Settings.PedalMax = 0;
    Settings.LastFreqofs = 0;
    Settings.LastResonance = 0;
    Settings.LastPAF = 0;
    Settings.MidiPedal = false;
    Settings.MidiChannel = 0;
    Settings.MidiController = 0;
    Settings.Midi14Bit = false;
    Settings.MidiFootswitch = 0;
    Settings.MidiFootswitchChannel = 0;
    Settings.MidiFootswitchNumber = 0;
    Settings.EffectOn = false;
    Settings.FootswitchButton = 0;
    for (const auto& v : kStoredValues)
        if (v.type == Stored::String)
            (Settings.*v.text).clear();
}
