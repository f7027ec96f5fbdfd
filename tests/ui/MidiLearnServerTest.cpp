// "Learn" in the pedal setup through the program's real pedal port, on the private PipeWire
// session, on the private jackd and on PipeWire's JACK (pw-jack): the real window and the real backend in this process,
// the test's own MIDI sender on the server. Learn takes the controller that moved (not the
// note before it) and the note pressed for the footswitch, and after OK the port listens
// the new way.

#include "support/JackMidiSender.h"
#include "support/PwMidiSender.h"
#include "support/PwProbe.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"
#include "ui/Program.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <cmath>
#include <cstdlib>

namespace {

using testsupport::ControllerMessage;
using testsupport::NoteOnMessage;
using testsupport::TempStore;

constexpr int kCaughtWithinMs = 5000;

// Clicks a Learn button, sends what a foot controller would, and waits until the window
// shows that the Learn caught something.
template <typename Sender>
bool LearnFrom(QPushButton* learn, Sender& sender, const std::vector<testsupport::MidiMessage>& messages)
{
    QTest::mouseClick(learn, Qt::LeftButton);
    EXPECT_EQ(learn->text(), "Move it");
    EXPECT_TRUE(sender.Send(messages));
    return QTest::qWaitFor([learn] { return learn->text() == "Learn"; }, kCaughtWithinMs);
}

// Whether the port carries messages yet: a server may drop what the sender sends in the
// first cycles after the link is listed (PipeWire's JACK does), so the pedal is moved until
// the depth follows it.
template <typename Sender>
bool CarriesMessages(Sender& sender)
{
    for (int value = 1; value <= 20; ++value) {
        EXPECT_TRUE(sender.Send({ControllerMessage(1, midi::kDefaultController, value)}));
        const double depth = 0.99 * value / 127;
        if (QTest::qWaitFor([depth] { return std::fabs(TargetDepth.load() - depth) < 1e-9; }, 250))
            return true;
    }
    return false;
}

// The whole Learn on one server. linked() waits until the program's pedal port is fed by the
// sender.
template <typename Sender, typename Linked>
void LearnsThroughTheRealPort(wave::WaveService& sound, Sender& sender, Linked linked)
{
    fx::ResetForTests();
    midi::MidiInput.reset();
    TempStore store;
    report::RecordingSink reports;
    std::string text = TempStore::defaults();
    text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    store.write(text + "MidiPedal = 1\nMidiSource = \"" + sender.port() + "\"\n");
    {
        joystick::SdlJoystickService joysticks;
        Program program(sound, joysticks);
        program.main->show();
        ASSERT_TRUE(linked());
        ASSERT_TRUE(CarriesMessages(sender));
        TfrmJoySetup& j = *program.joySetup;
        j.Spawn();
        ASSERT_TRUE(j.GroupBoxMidi->isEnabled());

        // A note is no pedal: the controller after it is what the Learn takes.
        EXPECT_TRUE(LearnFrom(j.btnLearnController, sender, {NoteOnMessage(3, 60, 90), ControllerMessage(6, 7, 3)}));
        EXPECT_EQ(j.cbMidiChannel->currentText(), "6");
        EXPECT_EQ(j.edtMidiController->value(), 7);

        EXPECT_TRUE(LearnFrom(j.btnLearnFootswitch, sender, {NoteOnMessage(10, 36, 100)}));
        EXPECT_EQ(j.cbFootswitch->currentText(), "Note");
        EXPECT_EQ(j.edtFootswitchNumber->value(), 36);
        EXPECT_EQ(j.cbFootswitchChannel->currentText(), "10");
        QTest::mouseClick(j.btnOK, Qt::LeftButton);

        // The port listens the new way at once: the learned note switches the effect off.
        ASSERT_TRUE(EffectOn.load());
        EXPECT_TRUE(sender.Send({NoteOnMessage(10, 36, 100)}));
        EXPECT_TRUE(QTest::qWaitFor([] { return !EffectOn.load(); }, kCaughtWithinMs));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !program.main->cbEffectOn->isChecked(); }, kCaughtWithinMs));
        program.main->close();
    }
    const auto stored = toml::parse_file(store.file().string());
    EXPECT_EQ(stored["MidiChannel"].value<int64_t>(), 6);
    EXPECT_EQ(stored["MidiController"].value<int64_t>(), 7);
    EXPECT_EQ(stored["MidiFootswitch"].value<int64_t>(), 2);
    EXPECT_EQ(stored["MidiFootswitchChannel"].value<int64_t>(), 10);
    EXPECT_EQ(stored["MidiFootswitchNumber"].value<int64_t>(), 36);
    EXPECT_TRUE(reports.texts().empty()) << ::testing::PrintToString(reports.texts());
    midi::MidiInput.reset();
}

// A source chosen in the store that is not there at start is said once, by name, and linked
// as soon as it appears; another picked in the pedal setup while playing takes over at OK.
// Make(name) starts a sender of that name; Linked(sender) waits until it feeds the pedal port.
template <typename Sender, typename Make, typename Linked>
void FollowsTheChosenSource(wave::WaveService& sound, Make make, Linked linked)
{
    fx::ResetForTests();
    midi::MidiInput.reset();
    TempStore store;
    report::RecordingSink reports;
    std::unique_ptr<Sender> picked = make("vobblix-midi-picked");
    const std::string lateName = "vobblix-midi-late";
    const std::string latePort = picked->port().replace(0, std::string("vobblix-midi-picked").size(), lateName);
    std::string text = TempStore::defaults();
    text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    store.write(text + "MidiPedal = 1\nMidiSource = \"" + latePort + "\"\n");
    {
        joystick::SdlJoystickService joysticks;
        Program program(sound, joysticks);
        program.main->show();
        const std::vector<std::string> missing{"The MIDI source \"" + latePort +
                                               "\" is not connected. Vobblix links the pedal to it as soon as it "
                                               "is there."};
        EXPECT_EQ(reports.texts(), missing);

        std::unique_ptr<Sender> late = make(lateName);
        ASSERT_TRUE(linked(*late, true)) << "a chosen source that appeared was not linked";
        EXPECT_TRUE(CarriesMessages(*late));

        TfrmJoySetup& j = *program.joySetup;
        j.Spawn();
        const int at = j.cbMidiSource->findData(QString::fromStdString(picked->port()));
        ASSERT_GE(at, 0);
        j.cbMidiSource->setCurrentIndex(at);
        QTest::mouseClick(j.btnOK, Qt::LeftButton);
        ASSERT_TRUE(linked(*picked, true)) << "the source picked at OK was not linked";
        EXPECT_TRUE(CarriesMessages(*picked));
        EXPECT_FALSE(linked(*late, false)) << "the source left at OK still feeds the pedal";
        EXPECT_EQ(reports.texts(), missing);
        program.main->close();
    }
    midi::MidiInput.reset();
}

TEST(MidiLearnOnTheServer, PipeWireLearnsTheControllerThatMovedOnThePedalNode)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    testsupport::PwMidiSender sender;
    ASSERT_TRUE(sender.connected());
    ASSERT_TRUE(WaitForPort(sender.port(), 5000));
    std::string why;
    auto engine = wave::OpenPipeWire(&why);
    ASSERT_TRUE(engine) << why;
    LearnsThroughTheRealPort(*engine, sender, [&] { return WaitForLink(sender.port(), "vobblix.pedal:pedal", 15000); });
}

TEST(MidiLearnOnTheServer, JackLearnsTheControllerThatMovedOnThePedalPort)
{
    if (!std::getenv("VOBBLIX_JACK_SESSION") && !std::getenv("VOBBLIX_JACK_ON_PIPEWIRE"))
        GTEST_SKIP() << "no private jackd (run through scripts/with-jack.sh, or pw-jack in with-pipewire.sh)";
    testsupport::JackMidiSender sender;
    ASSERT_TRUE(sender.ok());
    std::string why;
    auto engine = wave::OpenJack(true, &why);
    ASSERT_TRUE(engine) << why;
    // The program connects the pedal port at start, as it would to a foot controller; through
    // pw-jack the connection shows a moment later.
    LearnsThroughTheRealPort(*engine, sender,
                             [&] { return QTest::qWaitFor([&] { return sender.Connected("vobblix:pedal"); }, 5000); });
}

TEST(MidiSourceOnTheServer, PipeWireLinksTheSourcePickedAtOkAndOneThatAppearsLater)
{
    if (!std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "no private PipeWire session (run through scripts/with-pipewire.sh)";
    std::string why;
    auto engine = wave::OpenPipeWire(&why);
    ASSERT_TRUE(engine) << why;
    FollowsTheChosenSource<testsupport::PwMidiSender>(
        *engine,
        [](const std::string& name) {
            auto s = std::make_unique<testsupport::PwMidiSender>(name);
            EXPECT_TRUE(s->connected());
            EXPECT_TRUE(WaitForPort(s->port(), 5000));
            return s;
        },
        // Without a link to wait for, the question is whether one stands now.
        [](testsupport::PwMidiSender& s, bool wait) { return WaitForLink(s.port(), "vobblix.pedal:pedal", wait ? 5000 : 300); });
}

TEST(MidiSourceOnTheServer, JackConnectsTheSourcePickedAtOkAndOneThatAppearsLater)
{
    if (!std::getenv("VOBBLIX_JACK_SESSION") && !std::getenv("VOBBLIX_JACK_ON_PIPEWIRE"))
        GTEST_SKIP() << "no private jackd (run through scripts/with-jack.sh, or pw-jack in with-pipewire.sh)";
    std::string why;
    auto engine = wave::OpenJack(true, &why);
    ASSERT_TRUE(engine) << why;
    FollowsTheChosenSource<testsupport::JackMidiSender>(
        *engine,
        [](const std::string& name) {
            auto s = std::make_unique<testsupport::JackMidiSender>(name);
            EXPECT_TRUE(s->ok());
            return s;
        },
        [](testsupport::JackMidiSender& s, bool wait) {
            if (!wait)
                return s.Connected("vobblix:pedal") || QTest::qWaitFor([&] { return s.Connected("vobblix:pedal"); }, 300);
            return QTest::qWaitFor([&] { return s.Connected("vobblix:pedal"); }, 5000);
        });
}

} // namespace
