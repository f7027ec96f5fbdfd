// Settings record and its per-user store: defaults on the first run, the read and write
// failures with their exact texts, and that no failure loses or tears the file.

#include "support/TempStore.h"

#include "config/Settings.h"
#include "platform/report/RecordingSink.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <toml++/toml.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>
#include <random>

namespace {

using testsupport::TempStore;

toml::table Stored(const TempStore& store) { return toml::parse_file(store.file().string()); }

std::string FailureOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const report::FrameworkError& e) {
        return e.what();
    }
    return "(no error)";
}

// The one box a load showed: "Settings in <file>:" and a line per row that took its default.
std::string BoxOf(const TempStore& store, const std::vector<std::string>& lines)
{
    std::string text = "Settings in " + store.file().string() + ":";
    for (const auto& line : lines)
        text += "\n" + line;
    return text;
}

TEST(Settings, FirstRunCreatesDefaultsAndTheFirstSaveStoresTheInvertedPedal)
{
    TempStore store;
    report::RecordingSink sink;
    LoadSettings();

    const auto t = Stored(store);
    EXPECT_EQ(t["Sample_rate"].value<int64_t>(), 44100);
    EXPECT_EQ(t["memBlockLength"].value<int64_t>(), 1000);
    EXPECT_EQ(t["UsingMouse"].value<int64_t>(), 1);
    EXPECT_EQ(t["PedalDevice"].value<int64_t>(), 0);
    EXPECT_EQ(t["InvertPedal"].value<int64_t>(), 0);
    EXPECT_EQ(t["Priority"].value<int64_t>(), 1);
    EXPECT_EQ(t["PedalAxis"].value<int64_t>(), 1);
    EXPECT_EQ(t["LastFreqofs"].value<int64_t>(), 10);
    EXPECT_EQ(t["LastResonance"].value<int64_t>(), 90);
    EXPECT_EQ(t["LastPAF"].value<int64_t>(), 100);
    EXPECT_EQ(t["LastPATH"].value<std::string>(), "");

    EXPECT_EQ(Settings.SampleRate, 44100u);
    EXPECT_EQ(Settings.memBlockLength, 1000u);
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_TRUE(Settings.InvertPedal);
    EXPECT_EQ(Settings.Priority, 1);
    EXPECT_EQ(Settings.PedalAxis, 1);
    EXPECT_EQ(Settings.LastFreqofs, 10);
    EXPECT_EQ(Settings.LastResonance, 90);
    EXPECT_EQ(Settings.LastPAF, 100);

    // The sliders were moved; the record's start values are not what is stored.
    SaveSettings({25, 40, 150});
    const auto saved = Stored(store);
    EXPECT_EQ(saved["InvertPedal"].value<int64_t>(), 1);
    EXPECT_EQ(saved["LastFreqofs"].value<int64_t>(), 25);
    EXPECT_EQ(saved["LastResonance"].value<int64_t>(), 40);
    EXPECT_EQ(saved["LastPAF"].value<int64_t>(), 150);
    EXPECT_EQ(Settings.LastFreqofs, 10);
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_FALSE(report::TerminationRequested());
    // Nothing but the store itself is left in its folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store.file().parent_path()),
                            std::filesystem::directory_iterator()), 1);
}

TEST(Settings, StoredValuesRoundTripIncludingSignedFieldsAndAnyNonZeroBoolean)
{
    TempStore store;
    std::string text = TempStore::defaults();
    text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 7");
    text.replace(text.find("memBlockLength = 1000"), 21, "memBlockLength = 44098");
    text.replace(text.find("LastPATH = \"\""), 13, "LastPATH = \"/home/ann/takes\"");
    store.write(text);
    LoadSettings();
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_FALSE(Settings.InvertPedal);
    EXPECT_EQ(Settings.memBlockLength, 44098u);
    EXPECT_EQ(Settings.LastPATH, "/home/ann/takes");

    Settings.PedalDevice = 1;
    SaveSettings({0, 1, 200});
    const auto t = Stored(store);
    EXPECT_EQ(t["UsingMouse"].value<int64_t>(), 1);
    EXPECT_EQ(t["PedalDevice"].value<int64_t>(), 1);
    EXPECT_EQ(t["memBlockLength"].value<int64_t>(), 44098);
    EXPECT_EQ(t["LastPATH"].value<std::string>(), "/home/ann/takes");
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_EQ(Settings.PedalDevice, 1);
}

// The devices are ours: a store from before them (every store the original wrote) loads as
// the system default with no report; a choice survives the close; a wrong type is reported
// like any other value's.
TEST(Settings, TheChosenDevicesAreOptionalRoundTripAndAreCheckedLikeTheRest)
{
    TempStore store;
    report::RecordingSink sink;
    store.write(TempStore::defaults());
    Settings.InputDevice = "stale";
    LoadSettings();
    EXPECT_EQ(Settings.InputDevice, "");
    EXPECT_EQ(Settings.OutputDevice, "");
    EXPECT_TRUE(sink.shown().empty());

    Settings.InputDevice = "alsa_input.usb-Focusrite_Scarlett_Solo-00.mono-fallback";
    Settings.OutputDevice = "amp \"left\" ü";
    SaveSettings({10, 90, 100});
    ResetSettingsRecord();
    EXPECT_EQ(Settings.OutputDevice, "");
    LoadSettings();
    EXPECT_EQ(Settings.InputDevice, "alsa_input.usb-Focusrite_Scarlett_Solo-00.mono-fallback");
    EXPECT_EQ(Settings.OutputDevice, "amp \"left\" ü");
    EXPECT_TRUE(sink.shown().empty());

    store.write(TempStore::defaults() + "OutputDevice = 7\n");
    LoadSettings();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{
                                BoxOf(store, {"Invalid data type for 'OutputDevice' (7); Vobblix uses \"\"."})});
    EXPECT_EQ(Settings.OutputDevice, "");
}

// The MIDI pedal's rows and the effect switch came after the first stores: a store of before
// them loads as it did, with their defaults and no report; they round trip; the first run
// writes them; a value out of range is said once, in one box, and takes its default.
TEST(Settings, TheMidiRowsAreOptionalRoundTripAndAreRangeChecked)
{
    TempStore store;
    report::RecordingSink sink;
    store.write(TempStore::defaults());
    LoadSettings();
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_FALSE(Settings.MidiPedal);
    EXPECT_EQ(Settings.MidiSource, "All");
    EXPECT_EQ(Settings.MidiChannel, 0);
    EXPECT_EQ(Settings.MidiController, 11);
    EXPECT_FALSE(Settings.Midi14Bit);
    EXPECT_EQ(Settings.MidiFootswitch, 0);
    EXPECT_EQ(Settings.MidiFootswitchChannel, 0);
    EXPECT_EQ(Settings.MidiFootswitchNumber, 64);
    EXPECT_TRUE(Settings.EffectOn);

    Settings.UsingMouse = false;
    Settings.MidiPedal = true;
    Settings.MidiSource = "Midi-Bridge:FCB1010 (capture): [1] FCB1010 MIDI 1";
    Settings.MidiChannel = 16;
    Settings.MidiController = 4;
    Settings.Midi14Bit = true;
    Settings.MidiFootswitch = 2;
    Settings.MidiFootswitchChannel = 10;
    Settings.MidiFootswitchNumber = 36;
    Settings.EffectOn = false;
    ASSERT_TRUE(SaveSettings({10, 90, 100}));
    const auto t = Stored(store);
    EXPECT_EQ(t["MidiPedal"].value<int64_t>(), 1);
    EXPECT_EQ(t["UsingMouse"].value<int64_t>(), 0);
    EXPECT_EQ(t["MidiController"].value<int64_t>(), 4);
    EXPECT_EQ(t["EffectOn"].value<int64_t>(), 0);
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_TRUE(Settings.MidiPedal);
    EXPECT_FALSE(Settings.UsingMouse);
    EXPECT_EQ(Settings.MidiSource, "Midi-Bridge:FCB1010 (capture): [1] FCB1010 MIDI 1");
    EXPECT_EQ(Settings.MidiChannel, 16);
    EXPECT_EQ(Settings.MidiController, 4);
    EXPECT_TRUE(Settings.Midi14Bit);
    EXPECT_EQ(Settings.MidiFootswitch, 2);
    EXPECT_EQ(Settings.MidiFootswitchChannel, 10);
    EXPECT_EQ(Settings.MidiFootswitchNumber, 36);
    EXPECT_FALSE(Settings.EffectOn);
    EXPECT_TRUE(sink.shown().empty());

    // A hand-written file that names the MIDI pedal means it, whatever UsingMouse says.
    store.write(TempStore::defaults() + "MidiPedal = 1\n");
    LoadSettings();
    EXPECT_TRUE(Settings.MidiPedal);
    EXPECT_FALSE(Settings.UsingMouse);

    // Out of range: said once, for all of them together; the defaults are used, and the
    // close stores them, so the next start is quiet.
    store.write(TempStore::defaults() +
                "MidiChannel = 17\nMidiController = 128\nMidiFootswitch = 3\nEffectOn = 2\nMidiFootswitchNumber = 5\n");
    EXPECT_EQ(FailureOf(LoadSettings), "(no error)");
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.shown()[0].kind, report::Kind::Error);
    EXPECT_EQ(sink.texts()[0], "Settings in " + store.file().string() +
                                   ":\nMidiChannel = 17 is out of range (0 to 16); Vobblix uses 0."
                                   "\nMidiController = 128 is out of range (0 to 127); Vobblix uses 11."
                                   "\nMidiFootswitch = 3 is out of range (0 to 2); Vobblix uses 0."
                                   "\nEffectOn = 2 is out of range (0 to 1); Vobblix uses 1.");
    EXPECT_EQ(Settings.MidiChannel, 0);
    EXPECT_EQ(Settings.MidiController, 11);
    EXPECT_EQ(Settings.MidiFootswitch, 0);
    EXPECT_EQ(Settings.MidiFootswitchNumber, 5);
    EXPECT_TRUE(Settings.EffectOn);
    ASSERT_TRUE(SaveSettings({10, 90, 100}));
    sink.clear();
    LoadSettings();
    EXPECT_TRUE(sink.shown().empty());

    // With a rate the sound cannot use as well, the same box says both.
    std::string text = TempStore::defaults() + "MidiChannel = 17\n";
    text.replace(text.find("Sample_rate = 44100"), 19, "Sample_rate = 12345");
    store.write(text);
    LoadSettings();
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.texts()[0], "Settings in " + store.file().string() +
                                   ":\nMidiChannel = 17 is out of range (0 to 16); Vobblix uses 0.\nThe settings file '" +
                                   store.file().string() +
                                   "' holds Sample_rate = 12345, which is not one of the rates Vobblix offers "
                                   "(44100, 22050 or 11025 Hz); Vobblix uses 44100 instead.");
    EXPECT_EQ(Settings.SampleRate, 44100u);
    sink.clear();

    // A wrong type or sign is what it is for every other value.
    store.write(TempStore::defaults() + "MidiChannel = \"2\"\nMidiController = -1\n");
    LoadSettings();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{BoxOf(
                                store, {"Invalid data type for 'MidiChannel' (\"2\"); Vobblix uses 0.",
                                        "Invalid data type for 'MidiController' (-1); Vobblix uses 11."})});
    EXPECT_EQ(Settings.MidiChannel, 0);
    EXPECT_EQ(Settings.MidiController, 11);
}

TEST(Settings, TheFirstRunWritesTheMidiRowsWithTheirDefaults)
{
    TempStore store;
    LoadSettings();
    const auto t = Stored(store);
    EXPECT_EQ(t["MidiPedal"].value<int64_t>(), 0);
    EXPECT_EQ(t["MidiSource"].value<std::string>(), "All");
    EXPECT_EQ(t["MidiChannel"].value<int64_t>(), 0);
    EXPECT_EQ(t["MidiController"].value<int64_t>(), 11);
    EXPECT_EQ(t["Midi14Bit"].value<int64_t>(), 0);
    EXPECT_EQ(t["MidiFootswitch"].value<int64_t>(), 0);
    EXPECT_EQ(t["MidiFootswitchNumber"].value<int64_t>(), 64);
    EXPECT_EQ(t["EffectOn"].value<int64_t>(), 1);
    EXPECT_EQ(Settings.MidiSource, "All");
    EXPECT_TRUE(Settings.EffectOn);
}

// The footswitch button came later: a store without it loads as before, with none chosen
// and no report; a choice survives the close; a value of another type, below zero or beyond
// the buttons the pedal setup offers is said like any other number's and leaves none chosen.
TEST(Settings, TheFootswitchButtonIsOptionalRoundTripsAndIsChecked)
{
    TempStore store;
    report::RecordingSink sink;
    store.write(TempStore::defaults());
    Settings.FootswitchButton = 5;
    LoadSettings();
    EXPECT_EQ(Settings.FootswitchButton, 0u);
    EXPECT_EQ(Settings.LastPAF, 100);
    EXPECT_TRUE(sink.shown().empty());

    Settings.FootswitchButton = 3;
    SaveSettings({10, 90, 100});
    EXPECT_EQ(Stored(store)["FootswitchButton"].value<int64_t>(), 3);
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_EQ(Settings.FootswitchButton, 3u);

    const std::pair<const char*, const char*> cases[] = {
        {"\"3\"", "Invalid data type for 'FootswitchButton' (\"3\"); Vobblix uses 0."},
        {"-1", "Invalid data type for 'FootswitchButton' (-1); Vobblix uses 0."},
        {"999", "FootswitchButton = 999 is out of range (0 to 64); Vobblix uses 0."},
    };
    EXPECT_EQ(FailureOf([] { LoadSettings(); }), "(no error)");
    for (const auto& [bad, said] : cases) {
        SCOPED_TRACE(bad);
        store.write(TempStore::defaults() + "FootswitchButton = " + bad + "\n");
        Settings.FootswitchButton = 3;
        sink.clear();
        EXPECT_EQ(FailureOf([] { LoadSettings(); }), "(no error)");
        EXPECT_EQ(sink.texts(), std::vector<std::string>{BoxOf(store, {said})});
        EXPECT_EQ(Settings.FootswitchButton, 0u);
        EXPECT_EQ(Settings.LastPAF, 100);
    }
}

std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The record's stored fields, to compare one load with another.
std::vector<int64_t> StoredFields()
{
    return {Settings.SampleRate.load(), Settings.memBlockLength.load(), Settings.UsingMouse.load(),
            Settings.PedalDevice,       Settings.InvertPedal,           Settings.Priority,
            Settings.PedalAxis,         Settings.LastFreqofs,           Settings.LastResonance,
            Settings.LastPAF};
}

SliderPositions SlidersFromRecord()
{
    return {Settings.LastFreqofs, Settings.LastResonance, Settings.LastPAF};
}

// Every row of the first stores, in turn missing, negative and of another type, in a store
// whose other rows all differ from their defaults: the row takes its default, every other row
// is kept, one box names the row, the value found and the value used; the file is kept aside,
// and after the close's save the store is whole and the next start says nothing.
TEST(Settings, ARowThatCannotBeUsedTakesItsDefaultAndEveryOtherRowIsKept)
{
    struct Row {
        const char* name;
        const char* stored; // as the user wrote it
        const char* used;   // the default, as the box says it
        size_t field;       // in StoredFields; LastPATH is the last
    };
    const Row rows[] = {
        {"Sample_rate", "22050", "44100", 0},   {"memBlockLength", "2000", "1000", 1},
        {"UsingMouse", "0", "1", 2},            {"PedalDevice", "1", "0", 3},
        {"InvertPedal", "1", "0", 4},           {"Priority", "0", "1", 5},
        {"PedalAxis", "2", "1", 6},             {"LastFreqofs", "30", "10", 7},
        {"LastResonance", "55", "90", 8},       {"LastPAF", "150", "100", 9},
        {"LastPATH", "\"/home/ann/takes\"", "\"\"", 10},
    };
    auto storeWith = [&rows](const std::string& name, const std::optional<std::string>& value) {
        std::string text;
        for (const auto& r : rows)
            if (r.name != name)
                text += std::string(r.name) + " = " + r.stored + "\n";
            else if (value)
                text += name + " = " + *value + "\n";
        return text;
    };
    // The record as the store of all rows gives it.
    TempStore store;
    store.write(storeWith("", std::nullopt));
    LoadSettings();
    auto fields = [] {
        auto f = StoredFields();
        f.push_back(Settings.LastPATH == "/home/ann/takes" ? 1 : 0);
        return f;
    };
    const auto whole = fields();
    ASSERT_EQ(whole.back(), 1);

    struct Case {
        const Row& row;
        std::optional<std::string> value; // none: missing
        std::string said;                 // the box's line; empty: nothing said
    };
    std::vector<Case> cases;
    for (const auto& r : rows) {
        const std::string used = std::string("; Vobblix uses ") + r.used + ".";
        const bool text = r.field == 10;
        cases.push_back({r, std::nullopt, text ? "" : "Failed to get data for '" + std::string(r.name) + "'" + used});
        cases.push_back({r, "-1", "Invalid data type for '" + std::string(r.name) + "' (-1)" + used});
        const std::string other = text ? "3" : "\"7\"";
        cases.push_back({r, other, "Invalid data type for '" + std::string(r.name) + "' (" + other + ")" + used});
    }
    cases.push_back({rows[5], "1.0", "Invalid data type for 'Priority' (1.0); Vobblix uses 1."});
    cases.push_back({rows[5], "4294967296", "Invalid data type for 'Priority' (4294967296); Vobblix uses 1."});
    cases.push_back({rows[2], "true", "Invalid data type for 'UsingMouse' (true); Vobblix uses 1."});
    cases.push_back({rows[5], "3", "Priority = 3 is out of range (0 to 2); Vobblix uses 1."});
    cases.push_back({rows[6], "3", "PedalAxis = 3 is out of range (0 to 2); Vobblix uses 1."});
    cases.push_back({rows[3], "16", "PedalDevice = 16 is out of range (0 to 15); Vobblix uses 0."});
    cases.push_back({rows[7], "101", "LastFreqofs = 101 is out of range (0 to 100); Vobblix uses 10."});
    cases.push_back({rows[8], "0", "LastResonance = 0 is out of range (1 to 100); Vobblix uses 90."});
    cases.push_back({rows[9], "201", "LastPAF = 201 is out of range (1 to 200); Vobblix uses 100."});

    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.row.name) + " = " + c.value.value_or("(missing)"));
        const std::string text = storeWith(c.row.name, c.value);
        store.write(text);
        std::filesystem::remove(store.file().string() + ".broken");
        ResetSettingsRecord();
        report::RecordingSink sink;
        EXPECT_EQ(FailureOf(LoadSettings), "(no error)");
        if (c.said.empty()) {
            EXPECT_TRUE(sink.texts().empty());
        } else {
            EXPECT_EQ(sink.texts(), std::vector<std::string>{BoxOf(store, {c.said})});
        }
        auto expected = whole;
        expected[c.row.field] = c.row.field == 10 ? 0 : std::stoll(c.row.used);
        const auto loaded = fields();
        EXPECT_EQ(loaded, expected);
        // What could not be read at all is kept as the user wrote it.
        if (c.said.starts_with("Invalid") || c.said.starts_with("Failed")) {
            EXPECT_EQ(Slurp(store.file().string() + ".broken"), text);
        }

        // The close saves every row; the next start reads them back and says nothing.
        EXPECT_TRUE(SaveSettings(SlidersFromRecord()));
        const auto saved = Stored(store);
        for (const auto& r : rows)
            EXPECT_TRUE(saved.contains(r.name)) << r.name;
        sink.clear();
        ResetSettingsRecord();
        LoadSettings();
        EXPECT_EQ(fields(), loaded);
        EXPECT_TRUE(sink.texts().empty());
    }
    EXPECT_FALSE(report::TerminationRequested());
}

TEST(Settings, AStoreThatCannotBeCreatedOrOpenedReportsAndAsksToEnd)
{
    TempStore store;
    report::RecordingSink sink;
    // A plain file where the folder should be: not even root can create the key there.
    std::ofstream(store.root() / "Drenmarq") << "x";
    LoadSettings();
    ASSERT_EQ(sink.shown().size(), 1u);
    EXPECT_EQ(sink.shown()[0].kind, report::Kind::Error);
    EXPECT_EQ(sink.shown()[0].text, "Could not create a key in the registry, please check your user permissions!");
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_EQ(Settings.SampleRate, 0u);

    report::ResetTermination();
    sink.clear();
    SaveSettings({10, 90, 100});
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.texts()[0], "Could not open a required registry key. Please try to restart the application!");
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_FALSE(std::filesystem::exists(store.file()));
}

TEST(Settings, AFullDiskAtSaveKeepsTheOldFileWhole)
{
    TempStore store;
    store.write(TempStore::defaults());
    LoadSettings();
    const std::string before = store.read();

    // The file-size limit makes every write past a few bytes fail as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 16;
    setrlimit(RLIMIT_FSIZE, &tiny);
    const std::string error = FailureOf([] { SaveSettings({50, 50, 50}); });
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(error, "Failed to set data for 'Sample_rate'");
    EXPECT_EQ(store.read(), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store.file().parent_path()),
                            std::filesystem::directory_iterator()), 1);
}

// A file that does not parse is one problem, said once: the file, the line, where it was kept
// and that the defaults are used. No value of it is then said to be missing.
TEST(Settings, BrokenFilesAreReportedOnceWithTheirLineKeptAsideAndTheDefaultsUsed)
{
    const std::string corpus[] = {
        "Sample_rate = 44100\nmemBlockLength = \n",      // value missing
        "Sample_rate = 44100\n[[[\n",                    // bad table header
        std::string("Sample_rate = 44\0\x01\xff\xfe", 21), // binary garbage
        "Sample_rate = 44100\nSample_rate = 22050\n",    // a key twice
        TempStore::defaults().substr(0, 50),             // cut mid-line, in a key
        TempStore::defaults().substr(0, 34),             // cut mid-line, after the "="
        "LastPATH = \"unterminated\n",
    };
    for (const auto& text : corpus) {
        SCOPED_TRACE(text);
        TempStore store;
        report::RecordingSink sink;
        store.write(text);
        Settings.LastPAF = 7;
        EXPECT_EQ(FailureOf(LoadSettings), "(no error)");
        ASSERT_EQ(sink.shown().size(), 1u);
        const std::string shown = sink.shown()[0].text;
        EXPECT_EQ(sink.shown()[0].kind, report::Kind::Error);
        EXPECT_NE(shown.find("'" + store.file().string() + "'"), std::string::npos) << shown;
        EXPECT_NE(shown.find("(line "), std::string::npos) << shown;
        EXPECT_NE(shown.find("It was kept as '" + store.file().string() + ".broken'"), std::string::npos) << shown;
        EXPECT_NE(shown.find("started with the default settings"), std::string::npos) << shown;
        EXPECT_EQ(Slurp(store.file().string() + ".broken"), text);
        EXPECT_EQ(Settings.SampleRate, 44100u);
        EXPECT_EQ(Settings.memBlockLength, 1000u);
        EXPECT_EQ(Settings.LastPAF, 100);

        EXPECT_TRUE(SaveSettings({10, 90, 100}));
        EXPECT_EQ(Slurp(store.file().string() + ".broken"), text);
        EXPECT_EQ(Stored(store)["LastResonance"].value<int64_t>(), 90);
        EXPECT_EQ(Stored(store)["Sample_rate"].value<int64_t>(), 44100);
        EXPECT_EQ(sink.shown().size(), 1u);
    }
}

// What a stored rate and buffer size may be: a rate the settings window offers, and an even
// size that makes a capture buffer at that rate. Anything else is said once, by the file, the
// value and the one used instead; the close stores the one used.
TEST(Settings, StoredRatesAndSizesOutsideWhatTheSoundCanUseAreSaidOnceAndReplaced)
{
    struct Case {
        uint32_t rate, size;
        uint32_t usedRate, usedSize;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {44100, 1000, 44100, 1000, {}},
        {44100, 2, 44100, 2, {}},
        {44100, 44098, 44100, 44098, {}},
        {22050, 22048, 22050, 22048, {}},
        {11025, 11024, 11025, 11024, {}},
        {44100, 3, 44100, 1000, {"memBlockLength = 3, "}},
        {44100, 1001, 44100, 1000, {"memBlockLength = 1001, "}},
        {44100, 0, 44100, 1000, {"memBlockLength = 0, "}},
        {44100, 44100, 44100, 1000, {"memBlockLength = 44100, "}},
        {11025, 11026, 11025, 1000, {"memBlockLength = 11026, ", "at 11025 Hz (an even number of bytes from 2 to 11024)"}},
        // What a typed -4 used to be stored as.
        {44100, 4294967292, 44100, 1000, {"memBlockLength = 4294967292, "}},
        {0, 1000, 44100, 1000, {"Sample_rate = 0, ", "uses 44100 instead"}},
        {12345, 1000, 44100, 1000, {"Sample_rate = 12345, "}},
        {48000, 30000, 44100, 30000, {"Sample_rate = 48000, "}},
        // The size is judged at the rate used: fine at 48000 Hz, too large at 44100 Hz.
        {48000, 44100, 44100, 1000, {"Sample_rate = 48000, ", "memBlockLength = 44100, ", "uses 1000 instead"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.size) + " bytes");
        TempStore store;
        report::RecordingSink sink;
        std::string text = TempStore::defaults();
        text.replace(text.find("Sample_rate = 44100"), 19, "Sample_rate = " + std::to_string(c.rate));
        text.replace(text.find("memBlockLength = 1000"), 21, "memBlockLength = " + std::to_string(c.size));
        store.write(text);
        EXPECT_EQ(FailureOf(LoadSettings), "(no error)");
        EXPECT_EQ(Settings.SampleRate, c.usedRate);
        EXPECT_EQ(Settings.memBlockLength, c.usedSize);
        if (c.said.empty()) {
            EXPECT_TRUE(sink.shown().empty());
            continue;
        }
        ASSERT_EQ(sink.shown().size(), 1u);
        EXPECT_EQ(sink.shown()[0].kind, report::Kind::Error);
        const std::string shown = sink.shown()[0].text;
        EXPECT_TRUE(shown.starts_with("The settings file '" + store.file().string() + "' holds ")) << shown;
        for (const auto& part : c.said)
            EXPECT_NE(shown.find(part), std::string::npos) << shown;

        EXPECT_TRUE(SaveSettings({10, 90, 100}));
        EXPECT_EQ(Stored(store)["Sample_rate"].value<int64_t>(), c.usedRate);
        EXPECT_EQ(Stored(store)["memBlockLength"].value<int64_t>(), c.usedSize);
        sink.clear();
        LoadSettings();
        EXPECT_TRUE(sink.shown().empty());
    }
}

// The rule the settings window's "Set" and OK go by.
TEST(Settings, ABufferSizeMustBeEvenAndMakeACaptureBufferAtItsRate)
{
    for (uint32_t rate : settings::kOfferedRates) {
        SCOPED_TRACE(rate);
        const uint32_t largest = settings::LargestBlockLength(rate);
        EXPECT_EQ(largest % 2, 0u);
        EXPECT_EQ(settings::BlockLengthProblem(2, rate), "");
        EXPECT_EQ(settings::BlockLengthProblem(largest, rate), "");
        const std::string range = "Buffer size must be an even number of bytes from 2 to " + std::to_string(largest) +
                                  " at " + std::to_string(rate) + " Hz";
        for (int64_t size : {int64_t(largest) + 2, int64_t(0), int64_t(-4), int64_t(-3), int64_t(1)})
            EXPECT_EQ(settings::BlockLengthProblem(size, rate), range) << size;
        EXPECT_EQ(settings::BlockLengthProblem(501, rate), "Buffer size must be divisible by two");
    }
}

// A new store reaches the disk whole or not at all: a full disk on the first start leaves no
// empty file behind, and is reported as a store that cannot be created.
TEST(Settings, TheFirstStoreIsWrittenWholeInOneReplace)
{
    TempStore store;
    report::RecordingSink sink;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 16;
    setrlimit(RLIMIT_FSIZE, &tiny);
    LoadSettings();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Could not create a key in the registry, please check your user permissions!"});
    EXPECT_TRUE(report::TerminationRequested());
    EXPECT_FALSE(std::filesystem::exists(store.file()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store.file().parent_path()),
                            std::filesystem::directory_iterator()), 0);
}

// A store kept elsewhere behind a link (a dotfiles folder) stays linked after a save, and
// the temporaries of a save that was killed halfway are cleared by the next one.
TEST(Settings, ALinkedStoreStaysALinkAndStaleTemporariesGo)
{
    TempStore store;
    const auto dotfiles = store.root() / "dotfiles";
    std::filesystem::create_directories(dotfiles);
    std::ofstream(dotfiles / "vobblix.toml") << TempStore::defaults();
    std::filesystem::create_directories(store.file().parent_path());
    std::filesystem::create_symlink("../dotfiles/vobblix.toml", store.file());
    const auto staleAtTarget = dotfiles / "vobblix.toml.tmp-Qq1234";
    const auto unrelated = store.file().parent_path() / "notes.tmp-Ab3xYz";
    for (const auto& p : {staleAtTarget, unrelated})
        std::ofstream(p) << "half a save";

    LoadSettings();
    EXPECT_TRUE(SaveSettings({33, 90, 100}));
    EXPECT_TRUE(std::filesystem::is_symlink(store.file()));
    EXPECT_EQ(toml::parse_file((dotfiles / "vobblix.toml").string())["LastFreqofs"].value<int64_t>(), 33);
    EXPECT_FALSE(std::filesystem::exists(staleAtTarget));
    EXPECT_TRUE(std::filesystem::exists(unrelated));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dotfiles), std::filesystem::directory_iterator()), 1);
}

TEST(Settings, StorePathFollowsXdgConfigHomeOrHome)
{
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(registry::StorePath(settings::kKeyPath), "/tmp/cfg/Drenmarq/Vobblix 1.1.toml");
    ::unsetenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    EXPECT_EQ(registry::StorePath(settings::kKeyPath),
              std::filesystem::path(home ? home : ".") / ".config/Drenmarq/Vobblix 1.1.toml");
    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
}

// A seeded random-input loop over the reader: whatever a mutated file holds, the load either
// reads it or throws one of the store's own errors, never a crash or another exception; and
// after the save at the close the next start reads every value back with no error.
TEST(Settings, RandomFilesNeverCrashTheLoadAndTheNextStartIsClean)
{
    TempStore store;
    report::RecordingSink sink;
    std::mt19937 rng(20261208);
    const std::string base = TempStore::defaults();
    const std::string alphabet = "=\"[]{}.,#\n \t0123456789-+eE_abcxyzLastPATHSample_rate\\'\x00\xff";
    int failures = 0;
    for (int i = 0; i < 600; ++i) {
        std::string text = base;
        const int edits = 1 + int(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const size_t at = text.empty() ? 0 : rng() % text.size();
            switch (rng() % 3) {
            case 0: if (!text.empty()) text.erase(at, 1 + rng() % 6); break;
            case 1: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            default: if (!text.empty()) text[at] = char(rng() % 256); break;
            }
        }
        SCOPED_TRACE(text);
        store.write(text);
        ResetSettingsRecord();
        sink.clear();
        const std::string error = FailureOf(LoadSettings);
        if (error != "(no error)") {
            EXPECT_TRUE(error.starts_with("Failed to get data for '") || error.starts_with("Invalid data type for '"))
                << error;
        }
        if (error != "(no error)" || !sink.shown().empty())
            ++failures;
        const auto loaded = StoredFields();
        const std::string path = Settings.LastPATH;
        ASSERT_TRUE(SaveSettings(SlidersFromRecord()));
        ResetSettingsRecord();
        ASSERT_EQ(FailureOf(LoadSettings), "(no error)");
        EXPECT_EQ(StoredFields(), loaded);
        EXPECT_EQ(Settings.LastPATH, path);
    }
    // The loop must have met damaged files, or it tests nothing.
    EXPECT_GT(failures, 100);
    EXPECT_FALSE(report::TerminationRequested());
}

} // namespace

namespace {

TEST(Settings, TheSweepAndPedalRowsAreOptionalRoundTripAndBadOnesAreSaidOnce)
{
    TempStore store;
    report::RecordingSink sink;
    // A store of before: every new row takes its default, quietly.
    store.write(TempStore::defaults());
    LoadSettings();
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_EQ(Settings.AutoMode, "Off");
    EXPECT_EQ(Settings.SweepLow, 0.0);
    EXPECT_EQ(Settings.SweepHigh, 0.99);
    EXPECT_EQ(Settings.EnvSensitivity, 20u);
    EXPECT_EQ(Settings.EnvAttackMs, 5u);
    EXPECT_EQ(Settings.EnvReleaseMs, 200u);
    EXPECT_EQ(Settings.EnvDirection, "Up");
    EXPECT_EQ(Settings.LfoShape, "Sine");
    EXPECT_EQ(Settings.LfoRate, 1.5);
    EXPECT_EQ(Settings.PedalCalMin, Settings.PedalCalMax);
    EXPECT_EQ(Settings.MidiMin, Settings.MidiMax);
    EXPECT_EQ(Settings.PedalCurve, "Linear");
    EXPECT_FALSE(Settings.Switchless);
    EXPECT_EQ(Settings.SwitchlessMs, 400u);
    EXPECT_EQ(Settings.TapButton, 0u);
    EXPECT_EQ(Settings.TapMidi, "");

    Settings.AutoMode = "LFO";
    Settings.SweepLow = 0.25;
    Settings.SweepHigh = 0.8;
    Settings.EnvDirection = "Down";
    Settings.LfoShape = "Random";
    Settings.LfoRate = 0.05;
    Settings.PedalCalMin = 3;
    Settings.PedalCalMax = 65000;
    Settings.MidiMax = 116;
    Settings.PedalCurve = "Exp";
    Settings.Switchless = true;
    Settings.SwitchlessMs = 750;
    Settings.TapButton = 4;
    Settings.TapMidi = "Note 10 36";
    ASSERT_TRUE(SaveSettings({10, 90, 100}));
    EXPECT_EQ(Stored(store)["PedalMin"].value<int64_t>(), 3);
    EXPECT_EQ(Stored(store)["LfoRate"].value<double>(), 0.05);
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_EQ(Settings.AutoMode, "LFO");
    EXPECT_EQ(Settings.SweepLow, 0.25);
    EXPECT_EQ(Settings.SweepHigh, 0.8);
    EXPECT_EQ(Settings.EnvDirection, "Down");
    EXPECT_EQ(Settings.LfoShape, "Random");
    EXPECT_EQ(Settings.LfoRate, 0.05);
    EXPECT_EQ(Settings.PedalCalMin, 3u);
    EXPECT_EQ(Settings.PedalCalMax, 65000u);
    EXPECT_EQ(Settings.MidiMax, 116u);
    EXPECT_EQ(Settings.PedalCurve, "Exp");
    EXPECT_TRUE(Settings.Switchless);
    EXPECT_EQ(Settings.SwitchlessMs, 750u);
    EXPECT_EQ(Settings.TapButton, 4u);
    EXPECT_EQ(Settings.TapMidi, "Note 10 36");

    // A whole number where a fraction may stand is a number; a text, a NaN or a value out of
    // range is not, and a form that is not a trigger is not one either.
    store.write(TempStore::defaults() +
                "LfoRate = 2\nSweepHigh = 1.5\nSweepLow = nan\nAutoMode = \"Auto\"\nEnvAttackMs = 0\n"
                "TapMidi = \"Note 17 36\"\nPedalCurve = 1\n");
    LoadSettings();
    EXPECT_EQ(sink.texts(),
              std::vector<std::string>{BoxOf(
                  store, {"AutoMode = \"Auto\" is not one of \"Off\", \"Envelope\", \"LFO\"; Vobblix uses \"Off\".",
                          "SweepLow = nan is out of range (0 to 0.99); Vobblix uses 0.",
                          "SweepHigh = 1.5 is out of range (0 to 0.99); Vobblix uses 0.99.",
                          "EnvAttackMs = 0 is out of range (1 to 100); Vobblix uses 5.",
                          "Invalid data type for 'PedalCurve' (1); Vobblix uses \"Linear\".",
                          "TapMidi = \"Note 17 36\" is not \"\", \"Note <channel> <number>\" or \"CC <channel> "
                          "<number>\"; Vobblix uses \"\"."})});
    EXPECT_EQ(Settings.LfoRate, 2.0);
    EXPECT_EQ(Settings.SweepHigh, 0.99);
    EXPECT_EQ(Settings.AutoMode, "Off");
    EXPECT_EQ(Settings.TapMidi, "");

    settings::MidiTrigger t;
    ASSERT_TRUE(settings::ParseMidiTrigger("CC 0 64", &t));
    EXPECT_EQ(t.kind, settings::MidiTrigger::Kind::Controller);
    EXPECT_EQ(settings::MidiTriggerText(t), "CC 0 64");
    for (const char* bad : {"CC 0 128", "Note 1", "Note 1 2 3", "Pitch 1 2", "CC -1 5"})
        EXPECT_FALSE(settings::ParseMidiTrigger(bad, &t)) << bad;
}

} // namespace
