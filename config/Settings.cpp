#include "config/Settings.h"

#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

TSettings Settings;

namespace {

constexpr uint32_t kDefaultSampleRate = 44100;
constexpr uint32_t kDefaultBlockLength = 1000;
constexpr int32_t kDefaultPriority = 1;
constexpr int32_t kDefaultAxis = 1;
constexpr int32_t kDefaultFreqofs = 10;
constexpr int32_t kDefaultResonance = 90;
constexpr int32_t kDefaultPAF = 100;

constexpr const char* kCannotCreate = "Could not create a key in the registry, please check your user permissions!";
constexpr const char* kCannotOpen = "Could not open a required registry key. Please try to restart the application!";

void WriteDefaults(registry::Registry& reg)
{
    reg.WriteInteger("Sample_rate", kDefaultSampleRate);
    reg.WriteInteger("memBlockLength", kDefaultBlockLength);
    reg.WriteBool("UsingMouse", true);
    reg.WriteInteger("PedalDevice", 0);
    reg.WriteBool("InvertPedal", false);
    reg.WriteInteger("Priority", kDefaultPriority);
    reg.WriteInteger("PedalAxis", kDefaultAxis);
    reg.WriteInteger("LastFreqofs", kDefaultFreqofs);
    reg.WriteInteger("LastResonance", kDefaultResonance);
    reg.WriteInteger("LastPAF", kDefaultPAF);
    reg.WriteString("LastPATH", "");
}

void SetDefaultsInMemory()
{
    Settings.SampleRate = kDefaultSampleRate;
    Settings.memBlockLength = kDefaultBlockLength;
    Settings.Recording = false;
    Settings.RecordFileName.clear();
    Settings.UsingMouse = true;
    Settings.PedalDevice = 0;
    // The first run uses an inverted pedal while the store says otherwise; the first save
    // stores what the run used.
    Settings.InvertPedal = true;
    Settings.Priority = kDefaultPriority;
    Settings.PedalAxis = kDefaultAxis;
    Settings.LastFreqofs = kDefaultFreqofs;
    Settings.LastResonance = kDefaultResonance;
    Settings.LastPAF = kDefaultPAF;
    Settings.LastPATH.clear();
}

int32_t Signed(uint32_t dword) { return static_cast<int32_t>(dword); }

} // namespace

void LoadSettings()
{
    registry::Registry reg;
    if (reg.OpenKeyReadOnly(settings::kKeyPath)) {
        if (reg.parseProblem())
            report::Error(reg.parseProblem()->message);
        Settings.SampleRate = reg.ReadInteger("Sample_rate");
        Settings.memBlockLength = reg.ReadInteger("memBlockLength");
        Settings.UsingMouse = reg.ReadBool("UsingMouse");
        Settings.PedalDevice = Signed(reg.ReadInteger("PedalDevice"));
        Settings.InvertPedal = reg.ReadBool("InvertPedal");
        Settings.Priority = Signed(reg.ReadInteger("Priority"));
        Settings.PedalAxis = Signed(reg.ReadInteger("PedalAxis"));
        Settings.LastFreqofs = Signed(reg.ReadInteger("LastFreqofs"));
        Settings.LastResonance = Signed(reg.ReadInteger("LastResonance"));
        Settings.LastPAF = Signed(reg.ReadInteger("LastPAF"));
        Settings.LastPATH = reg.ReadString("LastPATH");
        reg.CloseKey();
        return;
    }
    if (reg.CreateKey(settings::kKeyPath) && reg.OpenKey(settings::kKeyPath, false)) {
        WriteDefaults(reg);
        reg.CloseKey();
        SetDefaultsInMemory();
        return;
    }
    report::Error(kCannotCreate);
    report::RequestTermination();
}

void SaveSettings(const SliderPositions& sliders)
{
    registry::Registry reg;
    if (!reg.OpenKey(settings::kKeyPath, false)) {
        report::Error(kCannotOpen);
        report::RequestTermination();
        return;
    }
    reg.WriteInteger("Sample_rate", Settings.SampleRate);
    reg.WriteInteger("memBlockLength", Settings.memBlockLength);
    reg.WriteBool("UsingMouse", Settings.UsingMouse);
    reg.WriteInteger("PedalDevice", static_cast<uint32_t>(Settings.PedalDevice));
    reg.WriteBool("InvertPedal", Settings.InvertPedal);
    reg.WriteInteger("Priority", static_cast<uint32_t>(Settings.Priority));
    reg.WriteInteger("PedalAxis", static_cast<uint32_t>(Settings.PedalAxis));
    reg.WriteInteger("LastFreqofs", static_cast<uint32_t>(sliders.freqOffset));
    reg.WriteInteger("LastResonance", static_cast<uint32_t>(sliders.resonance));
    reg.WriteInteger("LastPAF", static_cast<uint32_t>(sliders.pedalAccel));
    reg.WriteString("LastPATH", Settings.LastPATH);
    reg.CloseKey();
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
    Settings.LastPATH.clear();
}
