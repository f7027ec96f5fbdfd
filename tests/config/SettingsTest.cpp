// Settings record and its per-user store: defaults on the first run, the read and write
// failures with their exact texts, and that no failure loses or tears the file.

#include "support/TempStore.h"

#include "config/Settings.h"
#include "platform/report/RecordingSink.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <toml++/toml.h>

#include <csignal>
#include <functional>
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
    text.replace(text.find("memBlockLength = 1000"), 21, "memBlockLength = 4294967295");
    text.replace(text.find("LastPATH = \"\""), 13, "LastPATH = \"/home/ann/takes\"");
    store.write(text);
    LoadSettings();
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_FALSE(Settings.InvertPedal);
    EXPECT_EQ(Settings.memBlockLength, 4294967295u);
    EXPECT_EQ(Settings.LastPATH, "/home/ann/takes");

    Settings.PedalDevice = -1;
    SaveSettings({0, 1, 200});
    const auto t = Stored(store);
    EXPECT_EQ(t["UsingMouse"].value<int64_t>(), 1);
    EXPECT_EQ(t["PedalDevice"].value<int64_t>(), 4294967295);
    EXPECT_EQ(t["memBlockLength"].value<int64_t>(), 4294967295);
    EXPECT_EQ(t["LastPATH"].value<std::string>(), "/home/ann/takes");
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_EQ(Settings.PedalDevice, -1);
}

TEST(Settings, MissingOrMistypedValuesStopTheLoadWhereTheyStand)
{
    TempStore store;
    std::string noPath = TempStore::defaults();
    noPath.erase(noPath.find("LastPATH"));
    store.write(noPath);
    LoadSettings();
    EXPECT_EQ(Settings.LastPATH, "");
    EXPECT_EQ(Settings.LastPAF, 100);

    struct Case {
        std::string from, to, error;
    };
    const Case cases[] = {
        {"Priority = 1\n", "", "Failed to get data for 'Priority'"},
        {"Priority = 1\n", "Priority = \"1\"\n", "Invalid data type for 'Priority'"},
        {"Priority = 1\n", "Priority = -1\n", "Invalid data type for 'Priority'"},
        {"Priority = 1\n", "Priority = 4294967296\n", "Invalid data type for 'Priority'"},
        {"Priority = 1\n", "Priority = 1.0\n", "Invalid data type for 'Priority'"},
        {"Priority = 1\n", "Priority = true\n", "Invalid data type for 'Priority'"},
        {"LastPATH = \"\"\n", "LastPATH = 3\n", "Invalid data type for 'LastPATH'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        ResetSettingsRecord();
        std::string text = TempStore::defaults();
        text.replace(text.find(c.from), c.from.size(), c.to);
        store.write(text);
        EXPECT_EQ(FailureOf(LoadSettings), c.error);
        if (c.error.find("Priority") != std::string::npos) {
            // Fields before the failing one are loaded, those after keep their zeros.
            EXPECT_EQ(Settings.SampleRate, 44100u);
            EXPECT_TRUE(Settings.UsingMouse);
            EXPECT_EQ(Settings.PedalAxis, 0);
        }
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

TEST(Settings, BrokenFilesAreNamedWithTheirLineAndKeptAsideWhenSaving)
{
    const std::string corpus[] = {
        "Sample_rate = 44100\nmemBlockLength = \n",      // value missing
        "Sample_rate = 44100\n[[[\n",                    // bad table header
        std::string("Sample_rate = 44\0\x01\xff\xfe", 21), // binary garbage
        "Sample_rate = 44100\nSample_rate = 22050\n",    // a key twice
        TempStore::defaults().substr(0, 57),             // cut mid-line
        "LastPATH = \"unterminated\n",
    };
    for (const auto& text : corpus) {
        SCOPED_TRACE(text);
        TempStore store;
        report::RecordingSink sink;
        store.write(text);
        const std::string error = FailureOf(LoadSettings);
        const auto shown = sink.texts();
        if (shown.empty()) {
            // Text that happens to parse simply lacks a value.
            EXPECT_NE(error.find("Failed to get data for '"), std::string::npos);
            continue;
        }
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_NE(shown[0].find(store.file().string()), std::string::npos) << shown[0];
        EXPECT_NE(shown[0].find("(line "), std::string::npos) << shown[0];
        EXPECT_EQ(error, "Failed to get data for 'Sample_rate'");

        SaveSettings({10, 90, 100});
        std::ifstream kept(store.file().string() + ".broken", std::ios::binary);
        std::stringstream keptText;
        keptText << kept.rdbuf();
        EXPECT_EQ(keptText.str(), text);
        EXPECT_EQ(Stored(store)["LastResonance"].value<int64_t>(), 90);
    }
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

// A seeded random-input loop over the reader: mutated and random files never crash or hang
// a load, and every failure is a reported framework error.
TEST(Settings, RandomFilesNeverCrashTheLoad)
{
    TempStore store;
    std::mt19937 rng(20261208);
    const std::string base = TempStore::defaults();
    const std::string alphabet = "=\"[]{}.,#\n \t0123456789-+eE_abcxyzLastPATHSample_rate\\'\x00\xff";
    for (int i = 0; i < 3000; ++i) {
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
        store.write(text);
        ResetSettingsRecord();
        try {
            LoadSettings();
        } catch (const report::FrameworkError&) {
        }
    }
    SUCCEED();
}

} // namespace
