#include "config/Settings.h"

#include "platform/joystick/Joystick.h"
#include "platform/midi/MidiSink.h"

#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

TSettings Settings;

namespace {

constexpr const char* kCannotCreate = "Could not create a key in the registry, please check your user permissions!";
constexpr const char* kCannotOpen = "Could not open a required registry key. Please try to restart the application!";

int32_t Signed(uint32_t dword) { return static_cast<int32_t>(dword); }

enum class Stored { Dword, Bool, String, Number };

constexpr double kNoLimit = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kLargestChannel = 16;
constexpr uint32_t kLargestMidiNumber = 127;
constexpr uint32_t kLargestFootswitchKind = 2;
constexpr const char* kNoteTrigger = "Note";
constexpr const char* kControllerTrigger = "CC";
constexpr uint32_t kLargestPriority = 2;
constexpr uint32_t kLargestAxis = 2;
// The joystick ids the pedal can open.
constexpr uint32_t kLargestPedalDevice = joystick::kMaxJoysticks - 1;

// What a save stores: the slider positions and the start choices, given or the record's.
struct Saving {
    const SliderPositions& sliders;
    const StartChoices& start;
};

// One row per value in the store, in the order they are read and written: its name, its
// type, the default a new store gets (and a value that cannot be read falls back to), where
// it goes in the record, what a save stores and what it may hold. A string is kept in the
// record's member named; one absent from the store reads as empty, with no report. A row
// added after the first stores (later) takes its default when absent, with no report, so that
// an older store loads as it did. A number must lie within [lowest, largest]; a text with
// choices (a list ended by nullptr) must be one of them. Anything else takes the default and
// is said in the one box of the start.
struct StoredValue {
    const char* name;
    Stored type;
    uint32_t fallback = 0;
    void (*set)(uint32_t) = nullptr;
    uint32_t (*saved)(const Saving&) = nullptr;
    std::string TSettings::*text = nullptr;
    const std::string& (*savedText)(const Saving&) = nullptr;
    bool later = false;
    double lowest = 0;
    double largest = kNoLimit;
    const char* textFallback = "";
    const char* const* choices = nullptr;
    // A number row (integer or not in the file) keeps its value here.
    double TSettings::*number = nullptr;
    double numberFallback = 0;
    // A text with a form rather than a list of choices.
    bool (*textUsable)(const std::string&) = nullptr;
};

bool UsableMidiTrigger(const std::string& text)
{
    settings::MidiTrigger trigger;
    return settings::ParseMidiTrigger(text, &trigger);
}

constexpr StoredValue kStoredValues[] = {
    // The rate and the buffer size are held to what the sound can use after the load.
    {.name = "Sample_rate", .type = Stored::Dword, .fallback = settings::kDefaultRate,
     .set = [](uint32_t v) { Settings.SampleRate = v; }, .saved = [](const Saving& s) { return s.start.SampleRate; }},
    {.name = "memBlockLength", .type = Stored::Dword, .fallback = settings::kDefaultBlockLength,
     .set = [](uint32_t v) { Settings.memBlockLength = v; },
     .saved = [](const Saving& s) { return s.start.memBlockLength; }},
    // The first stores' booleans are true for any number but 0.
    {.name = "UsingMouse", .type = Stored::Bool, .fallback = 1, .set = [](uint32_t v) { Settings.UsingMouse = v != 0; },
     .saved = [](const Saving& s) { return uint32_t(s.start.UsingMouse); }},
    {.name = "PedalDevice", .type = Stored::Dword, .fallback = 0,
     .set = [](uint32_t v) { Settings.PedalDevice = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.PedalDevice); }, .largest = kLargestPedalDevice},
    {.name = "InvertPedal", .type = Stored::Bool, .fallback = 0, .set = [](uint32_t v) { Settings.InvertPedal = v != 0; },
     .saved = [](const Saving&) { return uint32_t(Settings.InvertPedal); }},
    {.name = "Priority", .type = Stored::Dword, .fallback = 1, .set = [](uint32_t v) { Settings.Priority = Signed(v); },
     .saved = [](const Saving& s) { return uint32_t(s.start.Priority); }, .largest = kLargestPriority},
    {.name = "PedalAxis", .type = Stored::Dword, .fallback = 1, .set = [](uint32_t v) { Settings.PedalAxis = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.PedalAxis); }, .largest = kLargestAxis},
    // The three slider positions are read at start only; a save takes them from the sliders.
    {.name = "LastFreqofs", .type = Stored::Dword, .fallback = 10,
     .set = [](uint32_t v) { Settings.LastFreqofs = Signed(v); },
     .saved = [](const Saving& s) { return uint32_t(s.sliders.freqOffset); }, .lowest = settings::kFreqofsRange.lowest,
     .largest = settings::kFreqofsRange.largest},
    {.name = "LastResonance", .type = Stored::Dword, .fallback = 90,
     .set = [](uint32_t v) { Settings.LastResonance = Signed(v); },
     .saved = [](const Saving& s) { return uint32_t(s.sliders.resonance); },
     .lowest = settings::kResonanceRange.lowest, .largest = settings::kResonanceRange.largest},
    {.name = "LastPAF", .type = Stored::Dword, .fallback = 100, .set = [](uint32_t v) { Settings.LastPAF = Signed(v); },
     .saved = [](const Saving& s) { return uint32_t(s.sliders.pedalAccel); }, .lowest = settings::kPafRange.lowest,
     .largest = settings::kPafRange.largest},
    {.name = "LastPATH", .type = Stored::String, .text = &TSettings::LastPATH,
     .savedText = [](const Saving&) -> const std::string& { return Settings.LastPATH; }},
    // The devices chosen in the settings window, by the backend's own names; empty is the
    // system default.
    {.name = "InputDevice", .type = Stored::String, .text = &TSettings::InputDevice,
     .savedText = [](const Saving& s) -> const std::string& { return s.start.InputDevice; }},
    {.name = "OutputDevice", .type = Stored::String, .text = &TSettings::OutputDevice,
     .savedText = [](const Saving& s) -> const std::string& { return s.start.OutputDevice; }},
    {.name = "FootswitchButton", .type = Stored::Dword, .fallback = 0,
     .set = [](uint32_t v) { Settings.FootswitchButton = v; },
     .saved = [](const Saving&) { return uint32_t(Settings.FootswitchButton); }, .later = true,
     .largest = settings::kLargestFootswitchButton},
    // The MIDI pedal and footswitch, and whether the effect is on.
    {.name = "MidiPedal", .type = Stored::Bool, .fallback = 0, .set = [](uint32_t v) { Settings.MidiPedal = v != 0; },
     .saved = [](const Saving& s) { return uint32_t(s.start.MidiPedal); }, .later = true, .largest = 1},
    {.name = "MidiSource", .type = Stored::String, .text = &TSettings::MidiSource,
     .savedText = [](const Saving&) -> const std::string& { return Settings.MidiSource; }, .later = true,
     .textFallback = midi::kAllSources},
    {.name = "MidiChannel", .type = Stored::Dword, .fallback = 0,
     .set = [](uint32_t v) { Settings.MidiChannel = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.MidiChannel); }, .later = true, .largest = kLargestChannel},
    {.name = "MidiController", .type = Stored::Dword, .fallback = 11,
     .set = [](uint32_t v) { Settings.MidiController = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.MidiController); }, .later = true,
     .largest = kLargestMidiNumber},
    {.name = "Midi14Bit", .type = Stored::Bool, .fallback = 0, .set = [](uint32_t v) { Settings.Midi14Bit = v != 0; },
     .saved = [](const Saving&) { return uint32_t(Settings.Midi14Bit); }, .later = true, .largest = 1},
    {.name = "MidiFootswitch", .type = Stored::Dword, .fallback = 0,
     .set = [](uint32_t v) { Settings.MidiFootswitch = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.MidiFootswitch); }, .later = true,
     .largest = kLargestFootswitchKind},
    {.name = "MidiFootswitchChannel", .type = Stored::Dword, .fallback = 0,
     .set = [](uint32_t v) { Settings.MidiFootswitchChannel = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.MidiFootswitchChannel); }, .later = true,
     .largest = kLargestChannel},
    {.name = "MidiFootswitchNumber", .type = Stored::Dword, .fallback = 64,
     .set = [](uint32_t v) { Settings.MidiFootswitchNumber = Signed(v); },
     .saved = [](const Saving&) { return uint32_t(Settings.MidiFootswitchNumber); }, .later = true,
     .largest = kLargestMidiNumber},
    {.name = "EffectOn", .type = Stored::Bool, .fallback = 1, .set = [](uint32_t v) { Settings.EffectOn = v != 0; },
     .saved = [](const Saving&) { return uint32_t(Settings.EffectOn); }, .later = true, .largest = 1},
    // The sweep, the pedals' calibration and taper, the switchless wah and the tap triggers.
    {.name = "AutoMode", .type = Stored::String, .text = &TSettings::AutoMode,
     .savedText = [](const Saving&) -> const std::string& { return Settings.AutoMode; }, .later = true,
     .textFallback = "Off", .choices = settings::kAutoModes},
    {.name = "SweepLow", .type = Stored::Number, .later = true, .lowest = settings::kSweepRange.lowest,
     .largest = settings::kSweepRange.largest, .number = &TSettings::SweepLow, .numberFallback = 0.0},
    {.name = "SweepHigh", .type = Stored::Number, .later = true, .lowest = settings::kSweepRange.lowest,
     .largest = settings::kSweepRange.largest, .number = &TSettings::SweepHigh, .numberFallback = 0.99},
    {.name = "EnvSensitivity", .type = Stored::Dword, .fallback = 20,
     .set = [](uint32_t v) { Settings.EnvSensitivity = v; },
     .saved = [](const Saving&) { return Settings.EnvSensitivity; }, .later = true,
     .lowest = settings::kEnvSensitivityRange.lowest, .largest = settings::kEnvSensitivityRange.largest},
    {.name = "EnvAttackMs", .type = Stored::Dword, .fallback = 5, .set = [](uint32_t v) { Settings.EnvAttackMs = v; },
     .saved = [](const Saving&) { return Settings.EnvAttackMs; }, .later = true,
     .lowest = settings::kEnvAttackRange.lowest, .largest = settings::kEnvAttackRange.largest},
    {.name = "EnvReleaseMs", .type = Stored::Dword, .fallback = 200, .set = [](uint32_t v) { Settings.EnvReleaseMs = v; },
     .saved = [](const Saving&) { return Settings.EnvReleaseMs; }, .later = true,
     .lowest = settings::kEnvReleaseRange.lowest, .largest = settings::kEnvReleaseRange.largest},
    {.name = "EnvDirection", .type = Stored::String, .text = &TSettings::EnvDirection,
     .savedText = [](const Saving&) -> const std::string& { return Settings.EnvDirection; }, .later = true,
     .textFallback = "Up", .choices = settings::kEnvDirections},
    {.name = "LfoShape", .type = Stored::String, .text = &TSettings::LfoShape,
     .savedText = [](const Saving&) -> const std::string& { return Settings.LfoShape; }, .later = true,
     .textFallback = "Sine", .choices = settings::kLfoShapes},
    {.name = "LfoRate", .type = Stored::Number, .later = true, .lowest = settings::kLfoRateRange.lowest,
     .largest = settings::kLfoRateRange.largest, .number = &TSettings::LfoRate, .numberFallback = 1.5},
    {.name = "PedalMin", .type = Stored::Dword, .fallback = 0, .set = [](uint32_t v) { Settings.PedalCalMin = v; },
     .saved = [](const Saving&) { return Settings.PedalCalMin; }, .later = true,
     .largest = settings::kLargestAxisReading},
    {.name = "PedalMax", .type = Stored::Dword, .fallback = 0, .set = [](uint32_t v) { Settings.PedalCalMax = v; },
     .saved = [](const Saving&) { return Settings.PedalCalMax; }, .later = true,
     .largest = settings::kLargestAxisReading},
    {.name = "MidiMin", .type = Stored::Dword, .fallback = 0, .set = [](uint32_t v) { Settings.MidiMin = v; },
     .saved = [](const Saving&) { return Settings.MidiMin; }, .later = true, .largest = settings::kLargestMidiReading},
    {.name = "MidiMax", .type = Stored::Dword, .fallback = 0, .set = [](uint32_t v) { Settings.MidiMax = v; },
     .saved = [](const Saving&) { return Settings.MidiMax; }, .later = true, .largest = settings::kLargestMidiReading},
    {.name = "PedalCurve", .type = Stored::String, .text = &TSettings::PedalCurve,
     .savedText = [](const Saving&) -> const std::string& { return Settings.PedalCurve; }, .later = true,
     .textFallback = "Linear", .choices = settings::kPedalCurves},
    {.name = "Switchless", .type = Stored::Bool, .fallback = 0, .set = [](uint32_t v) { Settings.Switchless = v != 0; },
     .saved = [](const Saving&) { return uint32_t(Settings.Switchless); }, .later = true, .largest = 1},
    {.name = "SwitchlessMs", .type = Stored::Dword, .fallback = 400, .set = [](uint32_t v) { Settings.SwitchlessMs = v; },
     .saved = [](const Saving&) { return Settings.SwitchlessMs; }, .later = true,
     .lowest = settings::kSwitchlessRange.lowest, .largest = settings::kSwitchlessRange.largest},
    {.name = "TapButton", .type = Stored::Dword, .fallback = 0, .set = [](uint32_t v) { Settings.TapButton = v; },
     .saved = [](const Saving&) { return Settings.TapButton; }, .later = true,
     .largest = settings::kLargestFootswitchButton},
    {.name = "TapMidi", .type = Stored::String, .text = &TSettings::TapMidi,
     .savedText = [](const Saving&) -> const std::string& { return Settings.TapMidi; }, .later = true,
     .textUsable = &UsableMidiTrigger},
};

void Fallback(const StoredValue& v)
{
    if (v.type == Stored::String)
        Settings.*v.text = v.textFallback;
    else if (v.type == Stored::Number)
        Settings.*v.number = v.numberFallback;
    else
        v.set(v.fallback);
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// The default as the file would hold it.
std::string FallbackText(const StoredValue& v)
{
    if (v.type == Stored::Number)
        return Number(v.numberFallback);
    return v.type == Stored::String ? "\"" + std::string(v.textFallback) + "\"" : std::to_string(v.fallback);
}

bool IsAChoice(const StoredValue& v, const std::string& text)
{
    for (const char* const* choice = v.choices; *choice; ++choice)
        if (text == *choice)
            return true;
    return false;
}

// Why the value found cannot be used; empty when it can.
std::string Unusable(const StoredValue& v, const registry::Registry& reg)
{
    const std::string found = std::string(v.name) + " = " + reg.ValueText(v.name);
    if (v.type == Stored::String) {
        if (v.textUsable)
            return v.textUsable(Settings.*v.text) ? std::string()
                                                  : found + " is not \"\", \"Note <channel> <number>\" or \"CC <channel> <number>\"";
        if (!v.choices || IsAChoice(v, Settings.*v.text))
            return {};
        std::string list;
        for (const char* const* choice = v.choices; *choice; ++choice)
            list += std::string(list.empty() ? "" : ", ") + "\"" + *choice + "\"";
        return found + " is not one of " + list;
    }
    const double value = v.type == Stored::Number ? Settings.*v.number : reg.ReadInteger(v.name);
    if (value >= v.lowest && value <= v.largest)
        return {};
    return found + " is out of range (" + Number(v.lowest) + " to " + Number(v.largest) + ")";
}

// Reads one row. A row that cannot be used (missing, of another type or sign, out of range,
// not one of its choices) takes its default and gives back the line that says so, with the
// value found and the value used; true in *failed when the store's own text ("Failed to get
// data", "Invalid data type") said it.
std::string Read(const registry::Registry& reg, const StoredValue& v, bool* failed)
{
    if (!reg.ValueExists(v.name) && (v.later || v.type == Stored::String)) {
        Fallback(v);
        return {};
    }
    const std::string used = "; Vobblix uses " + FallbackText(v) + ".";
    try {
        if (v.type == Stored::String)
            Settings.*v.text = reg.ReadString(v.name);
        else if (v.type == Stored::Number)
            Settings.*v.number = reg.ReadNumber(v.name);
        else
            v.set(v.type == Stored::Bool ? uint32_t(reg.ReadBool(v.name)) : reg.ReadInteger(v.name));
        if (std::string why = Unusable(v, reg); !why.empty()) {
            Fallback(v);
            return why + used;
        }
        return {};
    } catch (const report::FrameworkError& e) {
        Fallback(v);
        *failed = true;
        const std::string found = reg.ValueText(v.name);
        return std::string(e.what()) + (found.empty() ? "" : " (" + found + ")") + used;
    }
}

void Write(registry::Registry& reg, const StoredValue& v, const Saving& saving)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, v.saved(saving)); break;
    case Stored::Bool: reg.WriteBool(v.name, v.saved(saving) != 0); break;
    case Stored::String: reg.WriteString(v.name, v.savedText(saving)); break;
    case Stored::Number: reg.WriteNumber(v.name, Settings.*v.number); break;
    }
}

void WriteDefault(registry::Registry& reg, const StoredValue& v)
{
    switch (v.type) {
    case Stored::Dword: reg.WriteInteger(v.name, v.fallback); break;
    case Stored::Bool: reg.WriteBool(v.name, v.fallback != 0); break;
    case Stored::String: reg.WriteString(v.name, v.textFallback); break;
    case Stored::Number: reg.WriteNumber(v.name, v.numberFallback); break;
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

// The rows that took their defaults and a rate or size the sound cannot use, said together,
// once.
void ReportWhatWasReplaced(const std::vector<std::string>& replaced)
{
    std::string text;
    if (!replaced.empty()) {
        text = "Settings in " + registry::StorePath(settings::kKeyPath).string() + ":";
        for (const auto& line : replaced)
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

bool ParseMidiTrigger(const std::string& text, MidiTrigger* out)
{
    if (text.empty()) {
        *out = MidiTrigger{};
        return true;
    }
    char kind[8] = {};
    unsigned channel = 0;
    unsigned number = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%7s %u %u %c", kind, &channel, &number, &rest) != 3 || channel > kLargestChannel ||
        number > kLargestMidiNumber)
        return false;
    const std::string k = kind;
    if (k != kNoteTrigger && k != kControllerTrigger)
        return false;
    out->kind = k == kNoteTrigger ? MidiTrigger::Kind::Note : MidiTrigger::Kind::Controller;
    out->channel = channel;
    out->number = number;
    return true;
}

std::string MidiTriggerText(const MidiTrigger& trigger)
{
    if (trigger.kind == MidiTrigger::Kind::None)
        return {};
    return std::string(trigger.kind == MidiTrigger::Kind::Note ? kNoteTrigger : kControllerTrigger) + " " +
           std::to_string(trigger.channel) + " " + std::to_string(trigger.number);
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
        // A row that cannot be used takes its default, not a zero, and the others are still
        // read: the sound starts with the user's values and the save at the close stores a
        // whole record. A row the store could not read at all leaves the file kept aside first.
        std::vector<std::string> replaced;
        bool failed = false;
        for (const auto& v : kStoredValues)
            if (std::string line = Read(reg, v, &failed); !line.empty())
                replaced.push_back(std::move(line));
        reg.CloseKey();
        // The MIDI pedal's row says what the source is, also in a store written by hand.
        if (Settings.MidiPedal)
            Settings.UsingMouse = false;
        if (failed)
            registry::KeepAside(registry::StorePath(settings::kKeyPath));
        ReportWhatWasReplaced(replaced);
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
    Settings.Recording = false;
    Settings.RecordFileName.clear();
    // The device's bounds, found when the pedal opens.
    Settings.PedalMin = 0;
    Settings.PedalMax = 0;
    for (const auto& v : kStoredValues) {
        if (v.type == Stored::String)
            (Settings.*v.text).clear();
        else if (v.type == Stored::Number)
            Settings.*v.number = 0.0;
        else
            v.set(0);
    }
}
