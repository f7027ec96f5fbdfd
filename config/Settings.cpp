#include "config/Settings.h"

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

// One row per value in the store, in the order they are read and written: its name, its
// type, the default a new store gets (and a value that cannot be read falls back to), where
// it goes in the record and what a save stores. A string is kept in the record's member
// named; one absent from the store reads as empty, with no report. The rows added after the
// first stores are optional: absent, they take their default with no report, so a store of
// before them loads as it always did; and they have a range, checked at load.
struct StoredValue {
    const char* name;
    Stored type;
    uint32_t fallback = 0;
    void (*set)(uint32_t) = nullptr;
    uint32_t (*saved)(const SliderPositions&) = nullptr;
    std::string TSettings::*text = nullptr;
    bool optional = false;
    uint32_t largest = kNoLimit;
    const char* textFallback = "";
};

constexpr StoredValue kStoredValues[] = {
    {"Sample_rate", Stored::Dword, 44100, [](uint32_t v) { Settings.SampleRate = v; },
     [](const SliderPositions&) { return Settings.SampleRate.load(); }},
    {"memBlockLength", Stored::Dword, 1000, [](uint32_t v) { Settings.memBlockLength = v; },
     [](const SliderPositions&) { return Settings.memBlockLength.load(); }},
    {"UsingMouse", Stored::Bool, 1, [](uint32_t v) { Settings.UsingMouse = v != 0; },
     [](const SliderPositions&) { return uint32_t(Settings.UsingMouse.load()); }},
    {"PedalDevice", Stored::Dword, 0, [](uint32_t v) { Settings.PedalDevice = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.PedalDevice); }},
    {"InvertPedal", Stored::Bool, 0, [](uint32_t v) { Settings.InvertPedal = v != 0; },
     [](const SliderPositions&) { return uint32_t(Settings.InvertPedal); }},
    {"Priority", Stored::Dword, 1, [](uint32_t v) { Settings.Priority = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.Priority); }},
    {"PedalAxis", Stored::Dword, 1, [](uint32_t v) { Settings.PedalAxis = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.PedalAxis); }},
    // The three slider positions are read at start only; a save takes them from the sliders.
    {"LastFreqofs", Stored::Dword, 10, [](uint32_t v) { Settings.LastFreqofs = Signed(v); },
     [](const SliderPositions& s) { return uint32_t(s.freqOffset); }},
    {"LastResonance", Stored::Dword, 90, [](uint32_t v) { Settings.LastResonance = Signed(v); },
     [](const SliderPositions& s) { return uint32_t(s.resonance); }},
    {"LastPAF", Stored::Dword, 100, [](uint32_t v) { Settings.LastPAF = Signed(v); },
     [](const SliderPositions& s) { return uint32_t(s.pedalAccel); }},
    {"LastPATH", Stored::String, 0, nullptr, nullptr, &TSettings::LastPATH},
    // The devices chosen in the settings window, by the backend's own names; empty is the
    // system default.
    {"InputDevice", Stored::String, 0, nullptr, nullptr, &TSettings::InputDevice},
    {"OutputDevice", Stored::String, 0, nullptr, nullptr, &TSettings::OutputDevice},
    // The MIDI pedal and footswitch, and whether the effect is on.
    {"MidiPedal", Stored::Bool, 0, [](uint32_t v) { Settings.MidiPedal = v != 0; },
     [](const SliderPositions&) { return uint32_t(Settings.MidiPedal); }, nullptr, true, 1},
    {"MidiSource", Stored::String, 0, nullptr, nullptr, &TSettings::MidiSource, true, kNoLimit, "All"},
    {"MidiChannel", Stored::Dword, 0, [](uint32_t v) { Settings.MidiChannel = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.MidiChannel); }, nullptr, true, kLargestChannel},
    {"MidiController", Stored::Dword, 11, [](uint32_t v) { Settings.MidiController = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.MidiController); }, nullptr, true, kLargestMidiNumber},
    {"Midi14Bit", Stored::Bool, 0, [](uint32_t v) { Settings.Midi14Bit = v != 0; },
     [](const SliderPositions&) { return uint32_t(Settings.Midi14Bit); }, nullptr, true, 1},
    {"MidiFootswitch", Stored::Dword, 0, [](uint32_t v) { Settings.MidiFootswitch = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.MidiFootswitch); }, nullptr, true, kLargestFootswitchKind},
    {"MidiFootswitchChannel", Stored::Dword, 0, [](uint32_t v) { Settings.MidiFootswitchChannel = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.MidiFootswitchChannel); }, nullptr, true, kLargestChannel},
    {"MidiFootswitchNumber", Stored::Dword, 64, [](uint32_t v) { Settings.MidiFootswitchNumber = Signed(v); },
     [](const SliderPositions&) { return uint32_t(Settings.MidiFootswitchNumber); }, nullptr, true,
     kLargestMidiNumber},
    {"EffectOn", Stored::Bool, 1, [](uint32_t v) { Settings.EffectOn = v != 0; },
     [](const SliderPositions&) { return uint32_t(Settings.EffectOn); }, nullptr, true, 1},
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
    if (v.optional && !reg.ValueExists(v.name)) {
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

void Write(registry::Registry& reg, const StoredValue& v, uint32_t value, const std::string& text)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, value); break;
    case Stored::Bool: reg.WriteBool(v.name, value != 0); break;
    case Stored::String: reg.WriteString(v.name, text); break;
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

} // namespace

void LoadSettings()
{
    registry::Registry reg;
    if (reg.OpenKeyReadOnly(settings::kKeyPath)) {
        if (reg.parseProblem())
            report::Error(reg.parseProblem()->message);
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
        if (!outOfRange.empty()) {
            std::string text = "Settings in " + registry::StorePath(settings::kKeyPath).string() + ":";
            for (const auto& line : outOfRange)
                text += "\n" + line;
            report::Error(text);
        }
        if (failure) {
            registry::KeepAside(registry::StorePath(settings::kKeyPath));
            throw *failure;
        }
        return;
    }
    if (reg.OpenKey(settings::kKeyPath, true)) {
        try {
            for (const auto& v : kStoredValues)
                Write(reg, v, v.fallback, v.textFallback);
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
    registry::Registry reg;
    if (!reg.OpenKey(settings::kKeyPath, false)) {
        report::Error(kCannotOpen);
        if (after == AfterFailedOpen::End)
            report::RequestTermination();
        return false;
    }
    for (const auto& v : kStoredValues)
        Write(reg, v, v.saved ? v.saved(sliders) : 0, v.text ? Settings.*v.text : std::string());
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
    for (const auto& v : kStoredValues)
        if (v.type == Stored::String)
            (Settings.*v.text).clear();
}
