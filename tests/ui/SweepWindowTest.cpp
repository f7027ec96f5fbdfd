// The main window's sweep controls on the offscreen platform: they reach the program's filter
// and the store, the depth slider follows an automatic sweep, the T key taps, and a window
// that cannot be seen lets the screen rest.

#include "support/DeviceDriver.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "ui/FilterPicture.h"
#include "ui/Program.h"
#include "ui/SweepGroup.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <vector>

namespace {

using testsupport::DeviceDriver;
using testsupport::TempStore;

// A block as the capture callback hands it over, in silence.
void Silence(int blocks, int32_t length = 1000)
{
    std::vector<int16_t> block(size_t(length), 0);
    for (int i = 0; i < blocks; ++i)
        ProcessBuffer(block.data(), length);
}

class SweepWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        Settings.UsingMouse = true;
    }
    void TearDown() override { fx::ResetForTests(); }

    TempStore store;
    report::RecordingSink sink;
    wave::ScriptedWaveService device;
};

TEST_F(SweepWindow, TheLfoMovesTheDepthSliderTheTKeyRestartsItAtItsPeakAndAHiddenWindowRests)
{
    joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
    TfrmMain& w = *program.main;
    SweepGroup& sweep = *w.GroupBoxSweep;
    w.show();
    EXPECT_TRUE(w.TrackBar1->isEnabled());
    EXPECT_FALSE(sweep.edtLow->isEnabled());

    sweep.cbSweep->setCurrentIndex(sweep.cbSweep->findText("LFO"));
    sweep.edtLow->setValue(0.2);
    sweep.edtHigh->setValue(0.8);
    sweep.edtRate->setValue(2.0);
    fx::SweepFilter& filter = fx::Program();
    EXPECT_EQ(filter.Mode.load(), fx::SweepMode::Lfo);
    EXPECT_DOUBLE_EQ(filter.SweepLow.load(), 0.2);
    EXPECT_DOUBLE_EQ(filter.SweepHigh.load(), 0.8);
    EXPECT_DOUBLE_EQ(filter.LfoRate.load(), 2.0);
    EXPECT_FALSE(w.TrackBar1->isEnabled());
    EXPECT_TRUE(sweep.btnTap->isVisible());

    // T restarts the LFO at its peak, the top of the range; a quarter of a 2 Hz sine later it
    // stands in the middle.
    QTest::keyClick(&w, Qt::Key_T);
    Silence(1, 32);
    EXPECT_TRUE(w.PickUpFilter());
    EXPECT_EQ(w.lbldepth->text(), "Depth = 0.80");
    EXPECT_EQ(w.TrackBar1->value(), 80);
    Silence(1, 44100 / 8 - 32);
    EXPECT_TRUE(w.PickUpFilter());
    EXPECT_EQ(w.lbldepth->text(), "Depth = 0.50");
    EXPECT_EQ(w.TrackBar1->value(), 50);
    // The slider shows the sweep; it did not set the depth itself.
    EXPECT_NEAR(CurrentDepth.load(), 0.5, 0.005);
    EXPECT_NEAR(w.Picture->cutoffHz(),
                FilterPicture::CutoffHz(fx::CoefficientsFor(FreqOffset, Resonance, CurrentDepth), 44100), 1e-6);

    // Out of sight the LFO's moves keep nothing awake, and nothing is drawn.
    const double drawn = w.Picture->cutoffHz();
    w.showMinimized();
    Silence(3);
    EXPECT_FALSE(w.PickUpFilter());
    EXPECT_EQ(w.Picture->cutoffHz(), drawn);
    w.showNormal();
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.PickUpFilter());
    EXPECT_NE(w.Picture->cutoffHz(), drawn);

    // Back in Manual the slider drives again, and a filter at rest keeps the screen resting.
    sweep.cbSweep->setCurrentIndex(sweep.cbSweep->findText("Manual"));
    EXPECT_TRUE(w.TrackBar1->isEnabled());
    Silence(2);
    w.PickUpFilter();
    Silence(2);
    EXPECT_FALSE(w.PickUpFilter());

    DeviceDriver driver(device);
    w.close();
}

TEST_F(SweepWindow, EveryControlIsKeptInTheStoreAndComesBackToTheControlsAndTheFilter)
{
    {
        joystick::SdlJoystickService joysticks;
        Program program(device, joysticks);
        SweepGroup& sweep = *program.main->GroupBoxSweep;
        // The defaults, as a store of today means them.
        EXPECT_EQ(sweep.cbSweep->currentText(), "Manual");
        EXPECT_EQ(sweep.edtSensitivity->value(), 20);
        EXPECT_DOUBLE_EQ(sweep.edtHigh->value(), 0.99);
        EXPECT_EQ(sweep.pages->currentIndex(), 0);

        sweep.cbSweep->setCurrentIndex(1);
        EXPECT_EQ(sweep.pages->currentWidget(), sweep.edtAttack->parentWidget());
        sweep.edtLow->setValue(0.15);
        sweep.edtHigh->setValue(0.85);
        sweep.edtSensitivity->setValue(33);
        sweep.edtAttack->setValue(12);
        sweep.edtRelease->setValue(1500);
        sweep.cbDirection->setCurrentIndex(1);
        sweep.cbShape->setCurrentIndex(3);
        sweep.edtRate->setValue(7.25);
        fx::SweepFilter& filter = fx::Program();
        EXPECT_EQ(filter.Mode.load(), fx::SweepMode::Envelope);
        EXPECT_DOUBLE_EQ(filter.EnvSensitivityDb.load(), 33);
        EXPECT_DOUBLE_EQ(filter.EnvReleaseMs.load(), 1500);
        EXPECT_EQ(filter.EnvDirectionOf.load(), fx::EnvDirection::Down);
        EXPECT_EQ(filter.Shape.load(), fx::LfoShape::SawDown);
        DeviceDriver driver(device);
        program.main->close();
    }
    const auto saved = toml::parse_file(store.file().string());
    EXPECT_EQ(saved["AutoMode"].value<std::string>(), "Envelope");
    EXPECT_EQ(saved["EnvDirection"].value<std::string>(), "Down");
    EXPECT_EQ(saved["LfoShape"].value<std::string>(), "SawDown");
    EXPECT_EQ(saved["EnvAttackMs"].value<int64_t>(), 12);

    ResetSettingsRecord();
    fx::ResetForTests();
    wave::ScriptedWaveService again;
    joystick::SdlJoystickService joysticks;
    Program program(again, joysticks);
    SweepGroup& sweep = *program.main->GroupBoxSweep;
    EXPECT_EQ(sweep.cbSweep->currentText(), "Envelope");
    EXPECT_FALSE(program.main->TrackBar1->isEnabled());
    EXPECT_DOUBLE_EQ(sweep.edtLow->value(), 0.15);
    EXPECT_DOUBLE_EQ(sweep.edtHigh->value(), 0.85);
    EXPECT_EQ(sweep.edtSensitivity->value(), 33);
    EXPECT_EQ(sweep.edtAttack->value(), 12);
    EXPECT_EQ(sweep.edtRelease->value(), 1500);
    EXPECT_EQ(sweep.cbDirection->currentText(), "Down");
    EXPECT_EQ(sweep.cbShape->currentText(), "Saw down");
    EXPECT_DOUBLE_EQ(sweep.edtRate->value(), 7.25);
    EXPECT_EQ(fx::Program().Mode.load(), fx::SweepMode::Envelope);
    EXPECT_DOUBLE_EQ(fx::Program().SweepLow.load(), 0.15);
    EXPECT_DOUBLE_EQ(fx::Program().LfoRate.load(), 7.25);
    program.main->close();
}

} // namespace
