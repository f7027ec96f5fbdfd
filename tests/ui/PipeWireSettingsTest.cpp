// The settings window's OK with a typo while a take runs, on the real PipeWire graph of the
// private session: the real windows and message boxes, the real stream. The sound must go on
// under the box, and the take must hold every processed sample, in order, none lost or added.

#include "support/BoxCloser.h"
#include "support/Filtered.h"
#include "support/PwProbe.h"
#include "support/TakeHere.h"
#include "support/TempStore.h"
#include "support/Wav.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/QtReports.h"
#include "platform/wave/Backend.h"
#include "recorder/SaveToFile.h"
#include "ui/Program.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using testsupport::BoxCloser;
using testsupport::ReadWav;
using testsupport::TempStore;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kQuantum = 128;
constexpr int kAttempts = 5;
// Samples that find where the take starts in what the filter made of the signal.
constexpr size_t kAnchor = 64;

// Two sines and a noise that never repeats, so the take's place in the signal is unique.
std::vector<int16_t> Unrepeating(size_t n)
{
    auto s = testsupport::Signal(n, kRate);
    uint32_t seed = 20261209;
    for (auto& v : s) {
        seed = seed * 1664525u + 1013904223u;
        v = int16_t(v / 2 + int(seed >> 20) % 6000 - 3000);
    }
    return s;
}

// Turns the event loop for this long, as a user waiting would.
void Play(std::chrono::milliseconds forHowLong)
{
    const auto end = std::chrono::steady_clock::now() + forHowLong;
    while (std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// One take with two mistyped OKs in it. False when it strayed while the graph skipped
// cycles (the machine's doing, to be tried again), unless it is the last attempt.
bool ATakeRunsOnUnderTheBoxes(bool lastAttempt)
{
    // An earlier close ended "the" event loop; the boxes need one that runs.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    TempStore store;
    report::QtReports reports;
    BoxCloser closer;
    fx::ResetForTests();
    const fs::path take = store.root() / "take.wav";
    const auto signal = Unrepeating(kRate * 8);
    PwProbe probe(signal, kQuantum);
    EXPECT_TRUE(probe.connected());
    std::string before;
    uint32_t skipped = 0;
    {
        std::string why;
        auto engine = wave::OpenPipeWire(&why);
        EXPECT_TRUE(engine) << why;
        if (!engine)
            return false;
        auto& sound = *engine;
        joystick::SdlJoystickService joysticks;
        Program program(sound, joysticks);
        before = store.read();
        program.main->setSaveDialog(std::make_unique<testsupport::TakeHere>(take.string()));
        program.main->show();
        EXPECT_TRUE(WaitForLink("gtr:capture_MONO", "vobblix.input:input_MONO", 15000));
        EXPECT_TRUE(WaitForPort("vobblix-probe:output", 5000));
        EXPECT_TRUE(PwLink("vobblix-probe:output", "gtr:input_MONO"));
        EXPECT_TRUE(WaitForLink("vobblix-probe:output", "gtr:input_MONO", 5000));
        probe.start();
        Play(std::chrono::milliseconds(500));
        program.main->Button2Click();
        EXPECT_TRUE(Settings.Recording);
        Play(std::chrono::milliseconds(1000));

        TfrmSettings& s = *program.settings;
        s.Spawn();
        s.rb22050->click();
        for (const char* typed : {"1 000", "1001"}) {
            s.edtBufferSize->setText(typed);
            const double recorded = recorder::RecordTime();
            s.btnOK->click();
            EXPECT_GT(recorder::RecordTime(), recorded + 0.1) << "the take stood still under the box";
            EXPECT_TRUE(Settings.Recording);
            EXPECT_FALSE(program.main->Stopping);
            EXPECT_TRUE(program.waves->InputDevice.set);
            EXPECT_TRUE(s.isVisible());
        }
        EXPECT_EQ(closer.texts(), (std::vector<std::string>{"'1 000' is not a valid integer value.",
                                                            "Buffer size must be divisible by two"}));
        EXPECT_EQ(store.read(), before) << "a mistyped OK stored something";
        s.btnCancel->click();
        Play(std::chrono::milliseconds(1000));
        program.main->Button3Click();
        skipped = probe.skippedCycles();
        program.main->close();
    }
    EXPECT_FALSE(report::TerminationRequested());

    const auto recorded = ReadWav(take);
    const auto expected = testsupport::Filtered(signal);
    EXPECT_GT(recorded.size(), size_t(kRate) * 2) << "the take is shorter than the time it ran";
    if (recorded.size() < kAnchor)
        return true;
    // The take began inside the signal; where, its first samples say.
    const auto at = std::search(expected.begin(), expected.end(), recorded.begin(), recorded.begin() + kAnchor);
    const long offset = at == expected.end() ? -1 : long(at - expected.begin());
    const auto comparison = testsupport::Compare(expected, offset, recorded);
    const bool exact = offset >= 0 && comparison.mismatches == 0;
    if (!exact && skipped > 0 && !lastAttempt)
        return false;
    EXPECT_GE(offset, 0) << "the take's start is not in the filtered signal";
    // The graph may have skipped cycles in every attempt (the machine's doing): each put other
    // sound into the input for a cycle, which the filter carries a while. The take still lost,
    // repeated or shifted nothing: it agrees again right after each. Without any, every sample
    // agrees.
    EXPECT_TRUE(testsupport::OnlyWhatDroppedPeriodsDo(comparison, skipped))
        << comparison.firstFew << "; " << skipped << " cycles skipped by the graph";
    return true;
}

TEST(PipeWireSettingsOk, ATypoWhileRecordingKeepsTheSoundAndTheTakeSampleExact)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    // The graph at the program's rate: nothing resamples, so every sample can be compared.
    ForceGraph(kRate, kQuantum);
    int attempt = 0;
    while (!ATakeRunsOnUnderTheBoxes(attempt + 1 == kAttempts))
        ++attempt;
    if (attempt > 0)
        RecordProperty("disturbed_attempts", attempt);
    ForceGraph(0, 0);
}

} // namespace
