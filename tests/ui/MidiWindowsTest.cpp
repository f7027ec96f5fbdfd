// The MIDI pedal and the footswitch through the real windows: what start-up hands the
// service, the depth slider at the screen's pace, the "Effect on" box, the third source in
// the settings window and the MIDI section of the pedal setup, Learn included.

#include "support/DeviceDriver.h"
#include "support/MidiWave.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "pedal/MidiPedal.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "ui/Program.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>
#include <toml++/toml.h>

namespace {

using testsupport::MidiWaveService;
using testsupport::TempStore;

std::string Store(const std::string& extra, bool mouse = true)
{
    std::string text = TempStore::defaults();
    if (!mouse)
        text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    return text + extra;
}

class MidiWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        midi::MidiInput.reset();
    }
    void Start(const std::string& text)
    {
        store.write(text);
        program = std::make_unique<Program>(service, joysticks);
    }
    void TearDown() override
    {
        if (program) {
            program->main->close();
            program.reset();
        }
        midi::MidiInput.reset();
    }
    TfrmMain& w() { return *program->main; }
    TfrmJoySetup& j() { return *program->joySetup; }
    toml::table Stored() const { return toml::parse_file(store.file().string()); }

    TempStore store;
    report::RecordingSink sink;
    MidiWaveService service;
    joystick::SdlJoystickService joysticks;
    std::unique_ptr<Program> program;
};

TEST_F(MidiWindows, ThePedalSetsTheTargetAtOnceAndTheSliderAtTheScreensPace)
{
    Start(Store("MidiPedal = 1\nMidiController = 4\n", false));
    EXPECT_EQ(service.handedOver, 1);
    EXPECT_EQ(service.sink, &midi::MidiInput);
    EXPECT_EQ(service.source, "All");
    EXPECT_FALSE(joysticks.Capturing());
    EXPECT_FALSE(Settings.UsingMouse);
    EXPECT_TRUE(sink.shown().empty());

    service.send({0xB0, 4, 64});
    EXPECT_NEAR(TargetDepth, 0.498897637795276, 1e-12);
    EXPECT_EQ(w().TrackBar1->value(), 99);
    w().PickUpAudioTexts();
    EXPECT_EQ(w().TrackBar1->value(), 49);
    // The slider shows the pedal; the depth moves by the glide alone.
    EXPECT_EQ(CurrentDepth, 0.99);

    // A flood: the screen takes the last one, once.
    for (int i = 0; i < 5000; ++i)
        service.send({0xB0, 4, uint8_t(i % 100)});
    service.send({0xB0, 4, 127});
    w().PickUpAudioTexts();
    EXPECT_EQ(w().TrackBar1->value(), 98);
    EXPECT_EQ(TargetDepth, 0.99);

    // The filter glides toward what the pedal asked for, block by block.
    service.send({0xB0, 4, 0});
    w().show();
    service.device.completeInput({1000});
    EXPECT_DOUBLE_EQ(CurrentDepth, 0.99 + ((0.0 * 100 - 0.99 * 100) * 0.1) / 99);
    w().PickUpAudioTexts();
    EXPECT_EQ(w().lbldepth->text(), QString::asprintf("Depth = %.2f", CurrentDepth.load()));
    EXPECT_EQ(w().TrackBar1->value(), 1);

    // The stop sequence waits for the buffers under way.
    testsupport::DeviceDriver driver(service.device);
    w().close();
    EXPECT_EQ(Stored()["MidiPedal"].value<int64_t>(), 1);
    EXPECT_EQ(Stored()["UsingMouse"].value<int64_t>(), 0);
}

TEST_F(MidiWindows, TheFootswitchAndTheBoxSwitchTheEffectAndTheStatusLineSaysSo)
{
    Start(Store("MidiFootswitch = 1\nMidiFootswitchNumber = 64\n"));
    EXPECT_TRUE(w().cbEffectOn->isChecked());
    EXPECT_TRUE(EffectOn);
    // With the mouse as the source the port is there all the same, for the footswitch.
    EXPECT_EQ(service.handedOver, 1);

    service.send({0xB0, 64, 0});
    EXPECT_FALSE(EffectOn);
    w().PickUpAudioTexts();
    EXPECT_FALSE(w().cbEffectOn->isChecked());
    w().RefreshLevels(25);
    EXPECT_EQ(w().lblstatus->text(), "none, latency not known\nEffect off, 0 underruns, 0 overruns");
    EXPECT_GE(w().lblstatus->width(), w().lblstatus->sizeHint().width());

    w().cbEffectOn->click();
    EXPECT_TRUE(EffectOn);
    w().RefreshLevels(25);
    EXPECT_EQ(w().lblstatus->text(), "none, latency not known\n0 underruns, 0 overruns");

    // Off is stored, and the next start begins off.
    w().cbEffectOn->click();
    w().close();
    program.reset();
    EXPECT_EQ(Stored()["EffectOn"].value<int64_t>(), 0);
    EffectOn = true;
    program = std::make_unique<Program>(service, joysticks);
    EXPECT_FALSE(EffectOn);
    EXPECT_FALSE(w().cbEffectOn->isChecked());
}

// With silence in, the screen looks twice a second; a MIDI pedal move, a MIDI footswitch and
// a joystick footswitch (read on the UI thread) each wake it at the next turn of the event
// loop, not at its next look. Nothing else wakes it.
TEST_F(MidiWindows, AScreenAtRestWakesAtOnceForThePedalAndTheFootswitches)
{
    Start(Store("MidiPedal = 1\nMidiFootswitch = 1\nMidiFootswitchNumber = 64\n", false));
    w().show();
    const auto atRest = [this] { return QTest::qWaitFor([this] { return w().screenLookMs() == 500; }, 5000); };
    const auto woken = [this] {
        QCoreApplication::processEvents();
        return w().screenLookMs() == 25;
    };
    ASSERT_TRUE(atRest());
    // More than one look at rest, and it stays at rest.
    QTest::qWait(600);
    EXPECT_EQ(w().screenLookMs(), 500);

    service.send({0xB0, 11, 64});
    EXPECT_TRUE(woken());
    EXPECT_TRUE(QTest::qWaitFor([this] { return w().TrackBar1->value() == 49; }, 5000));

    ASSERT_TRUE(atRest());
    service.send({0xB0, 64, 0});
    EXPECT_TRUE(woken());
    EXPECT_TRUE(QTest::qWaitFor([this] { return !w().cbEffectOn->isChecked(); }, 5000));

    ASSERT_TRUE(atRest());
    ToggleEffect();
    EXPECT_TRUE(woken());
    EXPECT_TRUE(QTest::qWaitFor([this] { return w().cbEffectOn->isChecked(); }, 5000));
}

TEST_F(MidiWindows, TheSettingsWindowOffersTheMidiPedalAsAThirdSource)
{
    Start(Store(""));
    TfrmSettings& s = *program->settings;
    s.Spawn();
    EXPECT_EQ(s.rbMidi->text(), "I'm using a MIDI expression pedal");
    EXPECT_TRUE(s.rbMouse->isChecked());
    EXPECT_EQ(s.rbMidi->parentWidget(), s.GroupBox1);
    EXPECT_EQ(s.height(), 369 + s.GroupBoxDevices->sizeHint().height() + s.rbMidi->sizeHint().height() + 4);
    s.rbMidi->click();
    EXPECT_TRUE(s.btnSetupPedal->isEnabled());
    s.btnOK->click();
    EXPECT_EQ(Stored()["MidiPedal"].value<int64_t>(), 1);
    EXPECT_EQ(Stored()["UsingMouse"].value<int64_t>(), 0);
    EXPECT_TRUE(report::TerminationRequested());

    // Back to the joystick: both rows say so.
    report::ResetTermination();
    s.Spawn();
    EXPECT_TRUE(s.rbMidi->isChecked());
    s.rbPedal->click();
    s.btnOK->click();
    EXPECT_EQ(Stored()["MidiPedal"].value<int64_t>(), 0);
    EXPECT_EQ(Stored()["UsingMouse"].value<int64_t>(), 0);
}

TEST_F(MidiWindows, ThePedalSetupLearnsAndStoresTheMidiPedalAndFootswitch)
{
    service.sources = {{"FCB1010:midi_out", "FCB1010 MIDI 1"}};
    Start(Store("MidiPedal = 1\nMidiSource = \"gone:midi_out\"\n", false));
    j().Spawn();
    EXPECT_TRUE(j().GroupBoxMidi->isEnabled());
    EXPECT_FALSE(j().lblMidiNeedsServer->isVisible());
    // "All", the service's sources, and the stored one that is not connected, chosen.
    ASSERT_EQ(j().cbMidiSource->count(), 3);
    EXPECT_EQ(j().cbMidiSource->itemText(0), "All");
    EXPECT_EQ(j().cbMidiSource->itemText(1), "FCB1010 MIDI 1");
    EXPECT_EQ(j().cbMidiSource->currentText(), "gone:midi_out (not connected)");
    EXPECT_EQ(j().cbMidiChannel->currentText(), "Any");
    EXPECT_EQ(j().edtMidiController->value(), 11);
    EXPECT_TRUE(j().rbMidi7Bit->isChecked());
    // The window grew by the MIDI group and the pedal response's, with the buttons under them.
    EXPECT_EQ(j().width(), 289);
    EXPECT_EQ(j().GroupBoxResponse->geometry().top(), j().GroupBoxMidi->geometry().bottom() + 1 + 7);
    EXPECT_EQ(j().btnOK->geometry().top(), j().GroupBoxResponse->geometry().bottom() + 1 + 7);
    EXPECT_EQ(j().height(), j().btnOK->geometry().bottom() + 1 + 8);

    j().btnLearnController->click();
    EXPECT_EQ(j().btnLearnController->text(), "Move it");
    service.send({0x95, 60, 90}); // a note is no pedal
    j().PickUpLearned();
    EXPECT_EQ(j().btnLearnController->text(), "Move it");
    service.send({0xB5, 7, 3});
    j().PickUpLearned();
    EXPECT_EQ(j().cbMidiChannel->currentText(), "6");
    EXPECT_EQ(j().edtMidiController->value(), 7);
    EXPECT_EQ(j().btnLearnController->text(), "Learn");

    j().btnLearnFootswitch->click();
    service.send({0x99, 36, 100});
    j().PickUpLearned();
    EXPECT_EQ(j().cbFootswitch->currentText(), "Note");
    EXPECT_EQ(j().edtFootswitchNumber->value(), 36);
    EXPECT_EQ(j().cbFootswitchChannel->currentText(), "10");

    // 14 bits need a controller with a fine part.
    j().edtMidiController->setValue(40);
    EXPECT_FALSE(j().rbMidi14Bit->isEnabled());
    j().edtMidiController->setValue(7);
    j().rbMidi14Bit->click();
    j().cbMidiSource->setCurrentIndex(1);
    j().btnOK->click();
    const auto t = Stored();
    EXPECT_EQ(t["MidiSource"].value<std::string>(), "FCB1010:midi_out");
    EXPECT_EQ(t["MidiChannel"].value<int64_t>(), 6);
    EXPECT_EQ(t["MidiController"].value<int64_t>(), 7);
    EXPECT_EQ(t["Midi14Bit"].value<int64_t>(), 1);
    EXPECT_EQ(t["MidiFootswitch"].value<int64_t>(), 2);
    EXPECT_EQ(t["MidiFootswitchChannel"].value<int64_t>(), 10);
    EXPECT_EQ(t["MidiFootswitchNumber"].value<int64_t>(), 36);

    // The pedal listens the new way at once.
    // On channel 6, controller 7, 14-bit: a coarse part alone counts as 7 bits until its fine
    // part follows.
    service.send({0xB5, 7, 64});
    EXPECT_NEAR(TargetDepth, 0.498897637795276, 1e-12);
    service.send({0xB5, 39, 0});
    EXPECT_NEAR(TargetDepth, 0.495030214246475, 1e-12);
    service.send({0x99, 36, 1});
    EXPECT_FALSE(EffectOn);

    // Cancel forgets a Learn under way and what was changed.
    j().Spawn();
    j().btnLearnController->click();
    j().btnCancel->click();
    EXPECT_EQ(midi::MidiInput.learning(), midi::LearnFor::Nothing);
    EXPECT_EQ(j().btnLearnController->text(), "Learn");
}

TEST_F(MidiWindows, CalibrationFromTheMidiPedalsOwnReadingsGivesItsEndsAndLearnChoosesTheTap)
{
    Start(Store("MidiPedal = 1\n", false));
    j().Spawn();
    ASSERT_TRUE(j().btnCalibrate->isEnabled());
    j().btnCalibrate->click();
    // A cheap pedal: 3 at its heel, 116 at its toe.
    for (uint8_t value : {3, 60, 116, 4, 3}) {
        service.send({0xB0, 11, value});
        j().ShowReading();
    }
    j().btnCalibrate->click();
    EXPECT_EQ(j().lblEnds->text().toStdString(), "Ends 3 to 116");
    EXPECT_EQ(j().lblReading->text().toStdString(), "Reads 3: depth 0.00");

    j().btnLearnTapMidi->click();
    service.send({0x92, 50, 100});
    j().PickUpLearned();
    const std::string tap = j().lblTapMidi->text().toStdString();
    settings::MidiTrigger trigger;
    ASSERT_TRUE(settings::ParseMidiTrigger(tap, &trigger)) << tap;
    EXPECT_EQ(trigger.kind, settings::MidiTrigger::Kind::Note);
    EXPECT_EQ(trigger.channel, 3u);
    EXPECT_EQ(trigger.number, 50u);
    j().btnOK->click();
    const auto t = Stored();
    EXPECT_EQ(t["MidiMin"].value<int64_t>(), 3);
    EXPECT_EQ(t["MidiMax"].value<int64_t>(), 116);
    EXPECT_EQ(t["TapMidi"].value<std::string>(), tap);
    // The pedal's own toe now opens the whole sweep.
    service.send({0xB0, 11, 60});
    service.send({0xB0, 11, 116});
    EXPECT_DOUBLE_EQ(TargetDepth, 0.99);
}

TEST_F(MidiWindows, WithoutMidiInTheSoundTheMouseStandsInAndTheChoiceStays)
{
    service.capable = false;
    service.device.scriptedName = "SDL (pulseaudio)";
    Start(Store("MidiPedal = 1\n", false));
    EXPECT_EQ(service.handedOver, 0);
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"A MIDI pedal needs PipeWire or JACK, and the sound goes through "
                                                     "SDL (pulseaudio). The depth follows the mouse until Vobblix runs "
                                                     "on PipeWire or JACK."});
    EXPECT_TRUE(Settings.UsingMouse);
    j().Spawn();
    EXPECT_TRUE(j().lblMidiNeedsServer->isVisible());
    EXPECT_EQ(j().lblMidiNeedsServer->text(), "A MIDI pedal needs PipeWire or JACK.");
    EXPECT_FALSE(j().cbMidiSource->isEnabled());
    EXPECT_FALSE(j().btnLearnController->isEnabled());
    j().btnCancel->click();
    program->settings->Spawn();
    EXPECT_TRUE(program->settings->rbMidi->isChecked());
    program->settings->btnCancel->click();
    w().close();
    program.reset();
    // The next start, on a server with MIDI, has the MIDI pedal again.
    ResetSettingsRecord();
    LoadSettings();
    EXPECT_TRUE(Settings.MidiPedal);
    EXPECT_FALSE(Settings.UsingMouse);
}

} // namespace
