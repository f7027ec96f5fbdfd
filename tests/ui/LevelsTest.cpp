// The meters and the status line on the real main window, fed by the stream from the
// scripted device: what a known block reads in dBFS, how the bar falls and the hold waits,
// the clip mark that only a click puts out, and the figures under them.

#include "support/DeviceDriver.h"
#include "support/Filtered.h"
#include "support/TempStore.h"

#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/ScriptedWave.h"
#include "ui/LevelMeter.h"
#include "ui/FilterPicture.h"
#include "ui/Program.h"
#include "ui/SweepGroup.h"

#include <QGroupBox>
#include <QLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QApplication>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using testsupport::DeviceDriver;
using testsupport::TempStore;

// A 1 kHz sine of this peak at 44100 Hz, as many samples as a default block holds.
std::vector<int16_t> Sine(double peak, size_t n = 500)
{
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = int16_t(std::lround(peak * std::sin(2 * M_PI * 1000.0 * double(i) / 44100.0)));
    return s;
}

uint32_t PeakOf(const std::vector<int16_t>& s)
{
    uint32_t p = 0;
    for (int16_t v : s)
        p = std::max<uint32_t>(p, uint32_t(std::abs(int32_t(v))));
    return p;
}

void Click(QWidget* w)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(w->width() - 4, 4), w->mapToGlobal(QPointF(w->width() - 4, 4)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
}

// Counts the paints a widget gets.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST(PeakLevel, GathersTheLoudestSampleUntilTakenAndMarksTheRailsAsClips)
{
    PeakLevel level;
    const std::vector<int16_t> quiet{100, -300, 200};
    const std::vector<int16_t> louder{-1000, 900};
    level.feed(quiet.data(), 3);
    level.feed(louder.data(), 2);
    EXPECT_EQ(level.takePeak(), 1000u);
    EXPECT_EQ(level.takePeak(), 0u);
    EXPECT_FALSE(level.takeClip());

    // One below the rail is not a clip; either rail is, and -32768 reads as full scale.
    const std::vector<int16_t> nearly{32766, -32766};
    level.feed(nearly.data(), 2);
    EXPECT_FALSE(level.takeClip());
    const std::vector<int16_t> bottom{-32768};
    level.feed(bottom.data(), 1);
    level.feed(quiet.data(), 3);
    EXPECT_EQ(level.takePeak(), 32768u);
    EXPECT_TRUE(level.takeClip());
    EXPECT_FALSE(level.takeClip());
    const std::vector<int16_t> top{32767};
    level.feed(top.data(), 1);
    EXPECT_TRUE(level.takeClip());
}

TEST(LevelMeter, ReadsDbfsFallsAfterThePeakHoldsItAndKeepsAClipUntilClicked)
{
    // 20 log10(peak / 32768), by hand: half scale is -6.02 dB, a tenth -20 dB.
    EXPECT_NEAR(LevelMeter::ToDb(16384), -6.0206, 1e-4);
    EXPECT_NEAR(LevelMeter::ToDb(3277), -19.9995, 1e-4);
    EXPECT_DOUBLE_EQ(LevelMeter::ToDb(32768), 0.0);
    EXPECT_DOUBLE_EQ(LevelMeter::ToDb(0), LevelMeter::kFloorDb);
    EXPECT_DOUBLE_EQ(LevelMeter::ToDb(1), LevelMeter::kFloorDb);

    LevelMeter meter("In");
    meter.resize(200, meter.sizeHint().height());
    meter.showPeak(16384, false, 20);
    EXPECT_NEAR(meter.levelDb(), -6.02, 0.01);
    EXPECT_NEAR(meter.holdDb(), -6.02, 0.01);
    // Silence: the bar falls 20 dB a second, the mark stays for a second and a half.
    for (int i = 0; i < 50; ++i)
        meter.showPeak(0, false, 20);
    EXPECT_NEAR(meter.levelDb(), -26.02, 0.01);
    EXPECT_NEAR(meter.holdDb(), -6.02, 0.01);
    for (int i = 0; i < 30; ++i)
        meter.showPeak(0, false, 20);
    EXPECT_NEAR(meter.holdDb(), meter.levelDb(), 0.01);
    for (int i = 0; i < 200; ++i)
        meter.showPeak(0, false, 20);
    EXPECT_DOUBLE_EQ(meter.levelDb(), LevelMeter::kFloorDb);
    // A louder peak takes the mark at once.
    meter.showPeak(3277, false, 20);
    meter.showPeak(32768, true, 20);
    EXPECT_DOUBLE_EQ(meter.holdDb(), 0.0);

    // The clip stays lit through quiet looks, until clicked.
    EXPECT_TRUE(meter.clipLit());
    for (int i = 0; i < 500; ++i)
        meter.showPeak(100, false, 20);
    EXPECT_TRUE(meter.clipLit());
    Click(&meter);
    EXPECT_FALSE(meter.clipLit());
}

// The meters are looked at 40 times a second: a look that changes nothing on screen must not
// paint, or an idle program keeps drawing.
TEST(LevelMeter, PaintsOnlyWhatALookChanged)
{
    LevelMeter meter("Out");
    meter.resize(200, meter.sizeHint().height());
    meter.show();
    QApplication::processEvents();
    PaintCounter counter;
    meter.installEventFilter(&counter);
    for (int i = 0; i < 20; ++i)
        meter.showPeak(0, false, 25);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    meter.showPeak(16384, false, 25);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);
    // The same peak again: the bar and the mark stay where they are.
    meter.showPeak(16384, false, 25);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);
    // Falling moves the bar; a clip lights its mark.
    meter.showPeak(0, false, 25);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 2);
    meter.showPeak(32768, true, 25);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 3);
}

TEST(StatusLine, NamesTheRoadTheLatencyAndTheGlitches)
{
    wave::WaveCounters counters;
    counters.underruns = 3;
    counters.overruns = 1;
    EXPECT_EQ(TfrmMain::StatusText("PipeWire", 14.149, counters).toStdString(),
              "PipeWire, latency 14.1 ms\n3 underruns, 1 overruns");
    EXPECT_EQ(TfrmMain::StatusText("SDL (pulseaudio)", -1, {}).toStdString(),
              "SDL (pulseaudio), latency not known\n0 underruns, 0 overruns");
    // The pedal switching the effect says where it left it, as a footswitch does.
    EXPECT_EQ(TfrmMain::StatusText("JACK", 5.8, {}, false, true).toStdString(),
              "JACK, latency 5.8 ms\nSwitchless: off, 0 underruns, 0 overruns");
    EXPECT_EQ(TfrmMain::StatusText("JACK", 5.8, {}, true, true).toStdString(),
              "JACK, latency 5.8 ms\nSwitchless: on, 0 underruns, 0 overruns");
}

class Levels : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        Settings.UsingMouse = true;
    }
    TempStore store;
    report::RecordingSink sink;
    wave::ScriptedWaveService device;
};

TEST_F(Levels, TheMainWindowMetersWhatCameInAndWhatWentOutAndShowsTheServicesFigures)
{
    joystick::SdlJoystickService joysticks;
    Program program(device, joysticks);
    TfrmMain& w = *program.main;
    w.show();

    // A block of a sine peaking at -6 dBFS: the input meter reads -6, the output meter the
    // filter's own level for that block, as the reference filter makes it.
    const auto sine = Sine(16384);
    device.completeInput(sine);
    w.RefreshLevels(20);
    EXPECT_NEAR(w.InputMeter->levelDb(), -6.0, 0.5);
    const double filtered = LevelMeter::ToDb(PeakOf(testsupport::Filtered(sine)));
    EXPECT_NEAR(w.OutputMeter->levelDb(), filtered, 0.01);
    EXPECT_FALSE(w.InputMeter->clipLit());

    // A full-scale input lights the input's clip mark, and only a click puts it out.
    device.completeInput(Sine(32767));
    w.RefreshLevels(20);
    EXPECT_TRUE(w.InputMeter->clipLit());
    device.completeInput(Sine(100));
    w.RefreshLevels(20);
    EXPECT_TRUE(w.InputMeter->clipLit());
    Click(w.InputMeter);
    EXPECT_FALSE(w.InputMeter->clipLit());

    // The status line shows what the service reports, as it changes.
    device.scriptedLatencyMs = 5.8;
    device.scriptedCounters.underruns = 2;
    device.scriptedCounters.overruns = 4;
    w.RefreshLevels(20);
    EXPECT_EQ(w.lblstatus->text().toStdString(), "none, latency 5.8 ms\n2 underruns, 4 overruns");

    // The window grew by the levels, the sweep and the picture and nothing more: they fit,
    // the levels under the record time.
    EXPECT_EQ(w.width(), 233);
    EXPECT_GT(w.height(), 400);
    const QRect levels = w.GroupBoxLevels->geometry();
    EXPECT_GE(levels.top(), w.lblrectime->geometry().bottom());
    EXPECT_LE(levels.bottom(), w.centralWidget()->height());
    EXPECT_GE(w.lblstatus->height(), w.lblstatus->sizeHint().height());
    const int spacing = w.centralWidget()->layout()->spacing();
    EXPECT_LE(levels.top() - w.lblrectime->geometry().bottom(), spacing + 1);
    EXPECT_EQ(w.height(), 400 + levels.height() + w.GroupBoxSweep->height() + w.Picture->height() + 3 * spacing);

    DeviceDriver driver(device);
    w.close();
}

} // namespace
