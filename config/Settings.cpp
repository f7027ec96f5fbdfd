#include "config/Settings.h"

#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

#include <optional>

TSettings Settings;

namespace {

constexpr const char* kCannotCreate = "Could not create a key in the registry, please check your user permissions!";
constexpr const char* kCannotOpen = "Could not open a required registry key. Please try to restart the application!";

int32_t Signed(uint32_t dword) { return static_cast<int32_t>(dword); }

enum class Stored { Dword, Bool, String };

// One row per value in the store, in the order they are read and written: its name, its
// type, the default a new store gets (and a value that cannot be read falls back to), where
// it goes in the record and what a save stores. A string is kept in the record's member
// named, its default empty; one absent from the store reads as empty, with no report. A
// number added after the first stores (later) reads its default when absent, so that an
// older store loads as it did.
struct StoredValue {
    const char* name;
    Stored type;
    uint32_t fallback = 0;
    void (*set)(uint32_t) = nullptr;
    uint32_t (*saved)(const SliderPositions&) = nullptr;
    std::string TSettings::*text = nullptr;
    bool later = false;
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
    {"FootswitchButton", Stored::Dword, 0, [](uint32_t v) { Settings.FootswitchButton = v; },
     [](const SliderPositions&) { return Settings.FootswitchButton; }, nullptr, true},
};

void Fallback(const StoredValue& v);

void Read(const registry::Registry& reg, const StoredValue& v)
{
    if (v.later && !reg.ValueExists(v.name)) {
        Fallback(v);
        return;
    }
    switch (v.type) {
    case Stored::Dword: v.set(reg.ReadInteger(v.name)); break;
    case Stored::Bool: v.set(reg.ReadBool(v.name) ? 1u : 0u); break;
    case Stored::String: Settings.*v.text = reg.ReadString(v.name); break;
    }
}

void Fallback(const StoredValue& v)
{
    if (v.type == Stored::String)
        (Settings.*v.text).clear();
    else
        v.set(v.fallback);
}

void Write(registry::Registry& reg, const StoredValue& v, uint32_t value)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, value); break;
    case Stored::Bool: reg.WriteBool(v.name, value != 0); break;
    case Stored::String: reg.WriteString(v.name, Settings.*v.text); break;
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
        for (const auto& v : kStoredValues) {
            try {
                Read(reg, v);
            } catch (const report::FrameworkError& e) {
                Fallback(v);
                if (!failure)
                    failure = e;
            }
        }
        reg.CloseKey();
        if (failure) {
            registry::KeepAside(registry::StorePath(settings::kKeyPath));
            throw *failure;
        }
        return;
    }
    if (reg.OpenKey(settings::kKeyPath, true)) {
        try {
            for (const auto& v : kStoredValues)
                Write(reg, v, v.fallback);
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
        Write(reg, v, v.saved ? v.saved(sliders) : 0);
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
    Settings.FootswitchButton = 0;
    for (const auto& v : kStoredValues)
        if (v.type == Stored::String)
            (Settings.*v.text).clear();
}
