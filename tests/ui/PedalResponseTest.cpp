// The pedal setup's response and tap choices with a virtual wheel: a calibration from the
// pedal's own readings, the live readout, and OK putting every choice in the store and to work.

#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "ui/JoySettings.h"
#include "ui/Program.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <SDL.h>
#include <gtest/gtest.h>
#include <toml++/toml.h>

namespace {

using testsupport::TempStore;

TEST(PedalResponse, CalibrationFromRockingThePedalMakesItsEndsTheSweepsAndOkStoresEveryChoice)
{
    TempStore store;
    std::string text = TempStore::defaults();
    text.replace(text.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    store.write(text);
    report::RecordingSink sink;
    fx::ResetForTests();
    joystick::SdlJoystickService joysticks;
    const int index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 3, 0, 0);
    ASSERT_EQ(index, 0) << SDL_GetError();
    SDL_Joystick* wheel = SDL_JoystickOpen(index);
    const auto press = [&](uint32_t reading) {
        SDL_JoystickSetVirtualAxis(wheel, 1, Sint16(int32_t(reading) - 32768));
        joysticks.Poll();
    };
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
    SDL_JoystickClose(wheel);
    SDL_JoystickDetachVirtual(index);
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
