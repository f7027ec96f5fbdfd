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

// What a save stores: the slider positions and the start choices, given or the record's.
struct Saving {
    const SliderPositions& sliders;
    const StartChoices& start;
};

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
    uint32_t (*saved)(const Saving&) = nullptr;
    std::string TSettings::*text = nullptr;
    const std::string& (*savedText)(const Saving&) = nullptr;
    bool later = false;
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
    case Stored::String: reg.WriteString(v.name, ""); break;
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

// A rate or a buffer size the sound cannot use is replaced by its default, and said, once.
void KeepToWhatTheSoundCanUse()
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
            Settings.InputDevice, Settings.OutputDevice};
}

void ApplyStartChoices(const StartChoices& choices)
{
    Settings.SampleRate = choices.SampleRate;
    Settings.memBlockLength = choices.memBlockLength;
    Settings.UsingMouse = choices.UsingMouse;
    Settings.Priority = choices.Priority;
    Settings.InputDevice = choices.InputDevice;
    Settings.OutputDevice = choices.OutputDevice;
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
        KeepToWhatTheSoundCanUse();
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
    Settings.FootswitchButton = 0;
    for (const auto& v : kStoredValues)
        if (v.type == Stored::String)
            (Settings.*v.text).clear();
}
