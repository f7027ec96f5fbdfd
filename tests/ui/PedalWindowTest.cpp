// The pedal driving the real main window's depth slider, through an SDL virtual joystick and
// through input events on Qt's event loop; the footswitch chosen with Learn; the pedal setup's
// calibration from the pedal's own readings, its live readout, and OK putting every response
// and tap choice in the store and to work.

#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/EventJoystick.h"
#include "platform/joystick/FedControllers.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "ui/JoySettings.h"
#include "ui/Program.h"
#include "ui/QtEventLoop.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <SDL.h>
#include <gtest/gtest.h>
#include <toml++/toml.h>

namespace {

using testsupport::TempStore;

std::string PedalStore(int device)
{
    std::string text = TempStore::defaults();
    text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    text.replace(text.find("PedalDevice = 0"), 15, "PedalDevice = " + std::to_string(device));
    return text;
}

// A wheel on port 0 driving the depth, its Y axis the pedal, on a fresh store.
class WheelPedal : public ::testing::Test {
protected:
    void SetUp() override
    {
        store.write(PedalStore(0));
        fx::ResetForTests();
        index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 3, 0, 0);
        ASSERT_EQ(index, 0) << SDL_GetError();
        pedal = SDL_JoystickOpen(index);
    }
    void TearDown() override
    {
        SDL_JoystickClose(pedal);
        SDL_JoystickDetachVirtual(index);
    }
    // Puts the pedal at a reading of its axis (0 to 65535) and lets the service read it.
    void press(uint32_t reading)
    {
        SDL_JoystickSetVirtualAxis(pedal, 1, Sint16(int32_t(reading) - 32768));
        joysticks.Poll();
    }

    TempStore store;
    report::RecordingSink sink;
    joystick::SdlJoystickService joysticks;
    int index = -1;
    SDL_Joystick* pedal = nullptr;
};

TEST_F(WheelPedal, TheYAxisMovesTheDepthSliderOnlyWhenItsPositionChanges)
{
    wave::ScriptedWaveService device;
    {
        Program program(device, joysticks);
        TfrmMain& w = *program.main;
        EXPECT_TRUE(joysticks.Capturing());
        EXPECT_FALSE(Settings.UsingMouse);
        EXPECT_EQ(TargetDepth, 0.99);

        press(16384);
        EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);
        EXPECT_EQ(w.TrackBar1->value(), 49);
        EXPECT_DOUBLE_EQ(CurrentDepth, 0.49);
        EXPECT_EQ(w.lbldepth->text(), "Depth = 0.49");

        // The glide has moved the depth on; a reading that maps to the same position changes
        // the target but leaves the slider, and so the depth, alone.
        CurrentDepth = 0.4937;
        press(16400);
        EXPECT_NEAR(TargetDepth, 16400 * 99.0 / 32767 / 100, 1e-9);
        EXPECT_EQ(CurrentDepth, 0.4937);

        // Rest position: the slider shows its minimum.
        press(0);
        EXPECT_EQ(w.TrackBar1->value(), 1);
        EXPECT_DOUBLE_EQ(CurrentDepth, 0.01);

        w.close();
        EXPECT_FALSE(joysticks.Capturing());
    }
    EXPECT_TRUE(sink.shown().empty());
    EXPECT_EQ(toml::parse_file(store.file().string())["UsingMouse"].value<int64_t>(), 0);
}

TEST(PedalWindow, NoJoystickOnPortOneRunsWithTheMouseAndSavesThat)
{
    TempStore store;
    store.write(PedalStore(1));
    report::RecordingSink sink;
    joystick::SdlJoystickService joysticks;
    wave::ScriptedWaveService device;
    {
        Program program(device, joysticks);
        // Said once the sound plays.
        EXPECT_TRUE(sink.texts().empty());
        program.main->show();
        QCoreApplication::processEvents();
        EXPECT_EQ(sink.texts(), std::vector<std::string>{
                                    "There was a problem loading your joystick device on port 1. Please make sure it "
                                    "is properly plugged and configured. Joystick usage has been disabled."});
        EXPECT_TRUE(Settings.UsingMouse);
        // Start-up went on as in mouse mode.
        EXPECT_EQ(program.main->lblreso->text(), "Resonance = 9.00");
        // No joystick is open, so no button can be learned.
        program.joySetup->Spawn();
        EXPECT_FALSE(program.joySetup->btnLearn->isEnabled());
        program.main->close();
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["UsingMouse"].value<int64_t>(), 1);
    EXPECT_EQ(saved["PedalDevice"].value<int64_t>(), 1);
}

// Lets Qt's event loop take what is already waiting on the descriptors it watches.
void TakeWaitingEvents()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

TEST(PedalWindow, InputEventsMoveTheSliderAndLearnChoosesTheFootswitch)
{
    TempStore store;
    store.write(PedalStore(0));
    report::RecordingSink sink;
    fx::ResetForTests();
    EffectOn = true;
    QtEventLoop loop;
    joystick::FedControllers fed;
    const size_t pedal = fed.Plug({{ABS_X, 0, 255, 0}, {ABS_Y, -32768, 32767, -32768}, {ABS_Z, 0, 255, 0}},
                                  {BTN_TRIGGER, BTN_THUMB, BTN_THUMB2});
    joystick::EventJoystickService joysticks(loop, fed);
    wave::ScriptedWaveService device;
    {
        Program program(device, joysticks);
        TfrmMain& w = *program.main;
        TfrmJoySetup& j = *program.joySetup;
        ASSERT_TRUE(joysticks.Capturing());
        fed.Move(pedal, ABS_Y, 16384 - 32768);
        TakeWaitingEvents();
        EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);
        EXPECT_EQ(w.TrackBar1->value(), 49);

        // Unplugged, the watch on the pedal ends from inside its own wake-up; plugged back,
        // the pedal is picked up on the hot-plug notice and sends where it stands.
        fed.Unplug(pedal);
        TakeWaitingEvents();
        EXPECT_FALSE(joysticks.Present());
        EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);
        ASSERT_EQ(fed.Plug({{ABS_X, 0, 255, 0}, {ABS_Y, -32768, 32767, 32767}, {ABS_Z, 0, 255, 0}},
                           {BTN_TRIGGER, BTN_THUMB, BTN_THUMB2}),
                  pedal);
        TakeWaitingEvents();
        EXPECT_TRUE(joysticks.Present());
        EXPECT_EQ(w.TrackBar1->value(), 98);

        j.Spawn();
        EXPECT_EQ(j.edtFootswitch->text(), "None");
        ASSERT_TRUE(j.btnLearn->isEnabled());
        j.btnLearn->click();
        EXPECT_EQ(j.btnLearn->text(), "Press a button...");
        fed.Press(pedal, BTN_THUMB2);
        TakeWaitingEvents();
        EXPECT_EQ(j.edtFootswitch->value(), 3);
        EXPECT_EQ(j.btnLearn->text(), "Learn");
        EXPECT_TRUE(EffectOn);
        // Not chosen until OK.
        fed.Press(pedal, BTN_THUMB2);
        TakeWaitingEvents();
        EXPECT_TRUE(EffectOn);
        j.btnOK->click();
        EXPECT_EQ(Settings.FootswitchButton, 3u);
        EXPECT_EQ(toml::parse_file(store.file().string())["FootswitchButton"].value<int64_t>(), 3);

        fed.Press(pedal, BTN_THUMB2);
        TakeWaitingEvents();
        EXPECT_FALSE(EffectOn);
        // The main window's box follows, as it does for the MIDI footswitch.
        w.PickUpAudioTexts();
        EXPECT_FALSE(w.cbEffectOn->isChecked());

        // A learn left with Cancel takes nothing: the next press is the footswitch again.
        j.Spawn();
        EXPECT_EQ(j.edtFootswitch->value(), 3);
        j.btnLearn->click();
        j.btnCancel->click();
        fed.Press(pedal, BTN_THUMB2);
        TakeWaitingEvents();
        EXPECT_TRUE(EffectOn);
        EXPECT_EQ(Settings.FootswitchButton, 3u);
        w.PickUpAudioTexts();
        EXPECT_TRUE(w.cbEffectOn->isChecked());

        w.close();
        EXPECT_FALSE(joysticks.Capturing());
    }
    EXPECT_TRUE(sink.shown().empty());
    EffectOn = true;
}

TEST_F(WheelPedal, CalibrationFromRockingThePedalMakesItsEndsTheSweepsAndOkStoresEveryChoice)
{
    wave::ScriptedWaveService device;
    {
        Program program(device, joysticks);
        TfrmJoySetup& j = *program.joySetup;
        j.Spawn();
        EXPECT_EQ(j.lblEnds->text().toStdString(), "Ends: the device's own");
        EXPECT_EQ(j.cbCurve->currentText(), "Linear");
        EXPECT_EQ(j.edtSwitchlessMs->value(), 400);
        EXPECT_EQ(j.lblTapMidi->text(), "None");

        // A pedal that rests a little above its heel and never reaches its toe (the wheel's axis
        // reads 0 to 32767).
        press(10000);
        j.ShowReading();
        EXPECT_EQ(j.lblReading->text().toStdString(), "Reads 10000: depth 0.30");
        j.btnCalibrate->click();
        EXPECT_EQ(j.btnCalibrate->text(), "Done");
        for (uint32_t reading : {1500u, 15000u, 30000u, 1600u, 29000u, 1500u})
            press(reading);
        j.btnCalibrate->click();
        EXPECT_EQ(j.btnCalibrate->text(), "Calibrate");
        EXPECT_EQ(j.lblEnds->text().toStdString(), "Ends 1500 to 30000");
        EXPECT_EQ(j.lblReading->text().toStdString(), "Reads 1500: depth 0.00");
        // The readout follows the window's choices before they are stored.
        press(30000);
        j.ShowReading();
        EXPECT_EQ(j.lblReading->text().toStdString(), "Reads 30000: depth 0.99");
        j.cbInvertPedal->setChecked(true);
        EXPECT_EQ(j.lblReading->text().toStdString(), "Reads 30000: depth 0.00");
        j.cbInvertPedal->setChecked(false);

        j.cbCurve->setCurrentIndex(j.cbCurve->findData("Exp"));
        j.cbSwitchless->setChecked(true);
        j.edtSwitchlessMs->setValue(650);
        j.edtTapButton->setValue(5);
        j.btnOK->click();
        EXPECT_FALSE(j.isVisible());
        EXPECT_TRUE(fx::Program().Switchless.load());
        EXPECT_EQ(fx::Program().SwitchlessMs.load(), 650u);

        // The pedal now sweeps the whole range between its own ends.
        press(1500);
        EXPECT_DOUBLE_EQ(TargetDepth.load(), 0.0);
        press(30000);
        EXPECT_DOUBLE_EQ(TargetDepth.load(), 0.99);

        // Cancel after changes keeps what OK stored.
        j.Spawn();
        EXPECT_EQ(j.lblEnds->text().toStdString(), "Ends 1500 to 30000");
        EXPECT_EQ(j.cbCurve->currentText().left(3), "Exp");
        j.cbSwitchless->setChecked(false);
        j.btnCalibrate->click();
        j.btnCancel->click();
        EXPECT_TRUE(Settings.Switchless);
        program.main->close();
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["PedalMin"].value<int64_t>(), 1500);
    EXPECT_EQ(saved["PedalMax"].value<int64_t>(), 30000);
    EXPECT_EQ(saved["PedalCurve"].value<std::string>(), "Exp");
    EXPECT_EQ(saved["Switchless"].value<int64_t>(), 1);
    EXPECT_EQ(saved["SwitchlessMs"].value<int64_t>(), 650);
    EXPECT_EQ(saved["TapButton"].value<int64_t>(), 5);
    fx::ResetForTests();
}

} // namespace
