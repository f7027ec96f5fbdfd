// The pedal: the worked table of readings as golden values, and the whole path from an SDL
// virtual joystick's axis to the target depth, the slider and the filter's glide.

#include "pedal/Pedal.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/joystick/SdlJoystick.h"
#include "platform/report/RecordingSink.h"
#include "support/PedalMode.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(ScalePedalReading, TheWorkedTableWithTheYAndZBounds)
{
    struct Row {
        uint32_t reading;
        bool invert;
        double depth;
        int32_t slider;
    };
    const Row rows[] = {
        {0, false, 0.0000302, 0},    {331, false, 0.0100006, 1},  {16384, false, 0.4950151, 49},
        {32767, false, 0.99, 98},    {65535, false, 0.99, 98},    {0, true, 0.9899698, 98},
        {32767, true, 0.0, 0},       {50000, true, 0.0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.reading << (r.invert ? " inverted" : ""));
        const auto s = ScalePedalReading(r.reading, 1, 32767, r.invert);
        EXPECT_NEAR(s.depth, r.depth, 5e-8);
        EXPECT_EQ(s.slider, r.slider);
    }
    // Exactly: one division chain in extended precision, rounded once.
    EXPECT_EQ(ScalePedalReading(0, 1, 32767, false).depth, double(99.0L / 32767.0L / 100.0L));
    // Full travel gives the double just below 0.99, so the slider never reaches 99.
    EXPECT_EQ(ScalePedalReading(32767, 1, 32767, false).depth, 0.99);
    EXPECT_LT(ScalePedalReading(32767, 1, 32767, false).depth * 100.0L, 99.0L);
    // The upper bound is tested first; the lower only when it did not apply.
    EXPECT_EQ(ScalePedalReading(5, 10, 3, false).depth, ScalePedalReading(3, 0, 3, false).depth);
    EXPECT_EQ(ScalePedalReading(5, 10, 20, false).depth, ScalePedalReading(10, 0, 20, false).depth);
}

// An SDL virtual joystick with X, Y and Z axes, the pedal opened on it, and the slider moves
// recorded as the main window's depth slider would take them.
class VirtualPedal : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::StartInPedalMode();
        index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 3, 2, 0);
        ASSERT_EQ(index, 0) << SDL_GetError();
        handle = SDL_JoystickOpen(index);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override
    {
        ReleasePedal();
        if (handle)
            SDL_JoystickClose(handle);
        SDL_JoystickDetachVirtual(index);
        Settings.UsingMouse = true;
    }
    void Open()
    {
        OpenPedal(service, [this](int32_t position) { slider.push_back(position); });
    }
    // Moves one axis to a reading (0..65535) and lets the service notice.
    void Move(int axis, uint32_t reading)
    {
        SDL_JoystickSetVirtualAxis(handle, axis, Sint16(int32_t(reading) - 32768));
        service.Poll();
    }

    joystick::SdlJoystickService service;
    int index = -1;
    SDL_Joystick* handle = nullptr;
    std::vector<int32_t> slider;
    report::RecordingSink sink;
};

TEST(PedalMapping, TodaysMappingByDefaultCalibratedEndsAndTheCurves)
{
    // Uncalibrated and linear, every reading maps as it always did, inverted or not.
    for (bool invert : {false, true}) {
        pedal::PedalMapping m;
        m.invert = invert;
        for (uint32_t r = 0; r <= 0xFFFF; r += 7) {
            const auto want = ScalePedalReading(r, 1, 32767, invert);
            const auto got = m.Map(r, 1, 32767);
            ASSERT_EQ(got.depth, want.depth) << r;
            ASSERT_EQ(got.slider, want.slider) << r;
        }
    }
    // A MIDI pedal that sends 0-116 reaches the top; one that rests at 3 reaches the bottom.
    pedal::PedalMapping midi;
    midi.lowest = 3;
    midi.highest = 116;
    EXPECT_EQ(midi.Map(116, 0, 127).depth, 0.99);
    EXPECT_EQ(midi.Map(127, 0, 127).depth, 0.99);
    EXPECT_EQ(midi.Map(3, 0, 127).depth, 0.0);
    EXPECT_EQ(midi.Map(0, 0, 127).slider, 0);
    EXPECT_NEAR(midi.Map(60, 0, 127).depth, 0.99 * 57.0 / 113.0, 1e-12);

    using pedal::ApplyCurve;
    using pedal::PedalCurve;
    for (PedalCurve c : {PedalCurve::Linear, PedalCurve::Log, PedalCurve::Exp}) {
        EXPECT_EQ(ApplyCurve(c, 0.0), 0.0);
        EXPECT_NEAR(ApplyCurve(c, 1.0), 1.0, 1e-15);
    }
    // Log gives the heel half of the throw three quarters of the sweep; Exp the toe half.
    EXPECT_NEAR(ApplyCurve(PedalCurve::Log, 0.5), 0.7404, 1e-4);
    EXPECT_NEAR(ApplyCurve(PedalCurve::Exp, 0.5), 0.2403, 1e-4);
    EXPECT_NEAR(ApplyCurve(PedalCurve::Exp, ApplyCurve(PedalCurve::Log, 0.3)), 0.3, 1e-12);
    midi.curve = PedalCurve::Exp;
    EXPECT_EQ(midi.Map(116, 0, 127).depth, 0.99);

    // Calibration: the extremes of what was seen; a pedal that never moved is no calibration.
    pedal::Calibration cal;
    EXPECT_FALSE(cal.Usable());
    for (uint32_t r : {50u, 50u, 51u})
        cal.Add(r);
    EXPECT_FALSE(cal.Usable());
    for (uint32_t r : {3u, 90u, 116u, 4u, 115u})
        cal.Add(r);
    EXPECT_TRUE(cal.Usable());
    EXPECT_EQ(cal.Lowest(), 3u);
    EXPECT_EQ(cal.Highest(), 116u);
    EXPECT_EQ(cal.Count(), 8u);
}

TEST_F(VirtualPedal, TheYAxisSetsTheTargetAndTheSliderAndTheFilterGlidesThere)
{
    Open();
    EXPECT_TRUE(service.Capturing());
    EXPECT_EQ(Settings.PedalMin, 1u);
    EXPECT_EQ(Settings.PedalMax, 32767u);
    // Nothing is reported until the pedal moves.
    service.Poll();
    EXPECT_TRUE(slider.empty());
    EXPECT_EQ(TargetDepth, 0.99);

    Move(1, 16384);
    EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);
    EXPECT_EQ(slider, std::vector<int32_t>{49});

    // The slider's handler would set 0.49; the glide carries the depth on to the target.
    CurrentDepth = 0.49;
    std::vector<int16_t> block(500, 0);
    for (int i = 0; i < 200; ++i)
        ProcessBuffer(block.data(), 500);
    EXPECT_NEAR(CurrentDepth, TargetDepth, 1e-9);
    EXPECT_TRUE(sink.shown().empty());
}

TEST_F(VirtualPedal, OnlyTheChosenAxisCountsAndSettingsActOnTheNextMovement)
{
    Open();
    Move(2, 1000); // Z while Y is chosen
    EXPECT_TRUE(slider.empty());
    EXPECT_EQ(TargetDepth, 0.99);

    Settings.InvertPedal = true;
    Move(1, 0);
    EXPECT_NEAR(TargetDepth, 0.9899698, 5e-8);

    Settings.InvertPedal = false;
    Settings.PedalAxis = 2;
    Move(1, 20000); // Y while Z is chosen
    EXPECT_NEAR(TargetDepth, 0.9899698, 5e-8);
    Move(2, 331);
    EXPECT_NEAR(TargetDepth, 0.0100006, 5e-8);

    // Y to X reads the low half at once, still with the Y bounds of the start.
    Settings.PedalAxis = 0;
    Move(0, 40000);
    EXPECT_EQ(TargetDepth, 0.99);
    EXPECT_EQ(slider.back(), 98);
}

TEST_F(VirtualPedal, TheXAxisUsesTheDevicesRangeAndAnUnknownAxisLeavesTheDepthAlone)
{
    Settings.PedalAxis = 0;
    Open();
    EXPECT_EQ(Settings.PedalMin, 1u);
    EXPECT_EQ(Settings.PedalMax, 65535u);
    Move(0, 65535);
    EXPECT_EQ(TargetDepth, 0.99);
    ReleasePedal();

    // An axis the store should not hold leaves the bounds at 0: movements change nothing.
    Settings.PedalAxis = 7;
    Settings.PedalMin = 0;
    Settings.PedalMax = 0;
    TargetDepth = 0.5;
    Open();
    EXPECT_EQ(Settings.PedalMax, 0u);
    Move(1, 30000);
    EXPECT_EQ(TargetDepth, 0.5);
    EXPECT_EQ(PedalWndProc(joystick::MM_JOY1MOVE, 0, 0x12345678), 0);
    EXPECT_EQ(TargetDepth, 0.5);
}

TEST_F(VirtualPedal, AnUnpluggedPedalKeepsTheDepthAndIsPickedUpAgain)
{
    Open();
    Move(1, 16384);
    const double before = TargetDepth;
    SDL_JoystickClose(handle);
    handle = nullptr;
    SDL_JoystickDetachVirtual(index);
    for (int i = 0; i < 10; ++i)
        service.Poll();
    EXPECT_EQ(TargetDepth, before);
    EXPECT_TRUE(service.Capturing());

    index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 3, 2, 0);
    handle = SDL_JoystickOpen(index);
    SDL_JoystickSetVirtualAxis(handle, 1, Sint16(331 - 32768));
    for (int i = 0; i < 600; ++i)
        service.Poll();
    EXPECT_NEAR(TargetDepth, 0.0100006, 5e-8);
}

TEST_F(VirtualPedal, TheChosenButtonOfAVirtualJoystickSwitchesTheEffect)
{
    Settings.FootswitchButton = 2;
    Open();
    auto press = [this](int button) {
        SDL_JoystickSetVirtualButton(handle, button, SDL_PRESSED);
        service.Poll();
        SDL_JoystickSetVirtualButton(handle, button, SDL_RELEASED);
        service.Poll();
    };
    press(1);
    EXPECT_FALSE(EffectOn);
    press(0);
    EXPECT_FALSE(EffectOn);
    press(1);
    EXPECT_TRUE(EffectOn);
    EXPECT_TRUE(slider.empty());
    EXPECT_TRUE(sink.shown().empty());

    // A button the controller does not have (it has two) is said, and none is used.
    ReleasePedal();
    Settings.FootswitchButton = 3;
    Open();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"FootswitchButton = 3 is beyond the 2 buttons of the pedal's "
                                                     "controller; Vobblix uses none."});
    EXPECT_EQ(Settings.FootswitchButton, 0u);
    press(1);
    EXPECT_TRUE(EffectOn);
}

TEST_F(VirtualPedal, CalibratedEndsAndACurveShapeTheDepthAndTheTapButtonTaps)
{
    // A tap button the controller does not have (it has two) is said, and none is used.
    Settings.TapButton = 3;
    Open();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"TapButton = 3 is beyond the 2 buttons of the pedal's "
                                                     "controller; Vobblix uses none."});
    EXPECT_EQ(Settings.TapButton, 0u);
    sink.clear();
    ReleasePedal();
    Settings.TapButton = 1;
    Open();
    // A wheel pedal that rests a little above its heel and stops short of its toe.
    StartPedalCalibration();
    for (uint32_t reading : {20000u, 9000u, 40000u, 56000u, 9000u, 30000u, 56000u})
        Move(1, reading);
    StopPedalCalibration();
    const auto& calibration = PedalCalibration();
    ASSERT_TRUE(calibration.Usable());
    Settings.PedalCalMin = calibration.Lowest();
    Settings.PedalCalMax = calibration.Highest();
    uint32_t raw = 0;
    ASSERT_TRUE(LatestPedalReading(&raw));
    EXPECT_EQ(raw, 56000u);
    Move(1, Settings.PedalCalMax);
    EXPECT_EQ(TargetDepth, 0.99);
    Move(1, Settings.PedalCalMin);
    EXPECT_EQ(TargetDepth, 0.0);
    Settings.PedalCurve = "Log";
    Move(1, (Settings.PedalCalMin + Settings.PedalCalMax) / 2);
    EXPECT_NEAR(TargetDepth, std::log10(5.5) * 0.99, 1e-4);

    // The tap button restarts the LFO in the filter's next block, and switches nothing.
    fx::Program().Mode = fx::SweepMode::Lfo;
    std::vector<int16_t> block(1000, 0);
    ProcessBuffer(block.data(), 1000);
    EXPECT_GT(fx::Program().LfoPhase(), 0.0);
    SDL_JoystickSetVirtualButton(handle, 0, SDL_PRESSED);
    service.Poll();
    ProcessBuffer(block.data(), 1);
    EXPECT_EQ(fx::Program().LfoPhase(), 0.0);
    EXPECT_TRUE(EffectOn);
    fx::Program().Mode = fx::SweepMode::Manual;
    Settings.PedalCurve = "Linear";
    Settings.PedalCalMin = Settings.PedalCalMax = 0;
    Settings.TapButton = 0;
}

TEST_F(VirtualPedal, MessagesWhileInMouseModeAndOtherMessagesChangeNothing)
{
    Settings.UsingMouse = true;
    Open();
    EXPECT_FALSE(service.Capturing());
    EXPECT_EQ(PedalWndProc(joystick::MM_JOY1MOVE, 0, 0x7FFF0000), 0);
    EXPECT_EQ(TargetDepth, 0.99);
    ReleasePedal();
    EXPECT_TRUE(slider.empty());

    // With the pedal in use, a button message that carries what a full movement would is
    // still not a movement: it gets the default procedure's result and moves nothing.
    Settings.UsingMouse = false;
    Open();
    ASSERT_TRUE(service.Capturing());
    for (uint32_t msg : {joystick::MM_JOY1BUTTONDOWN}) {
        SCOPED_TRACE(msg);
        EXPECT_EQ(PedalWndProc(msg, 1, 0x00010000), DefWindowProc(PedalWindow, msg, 1, 0x00010000));
        EXPECT_EQ(TargetDepth, 0.99);
        EXPECT_TRUE(slider.empty());
    }
    // The same bits as a movement do move it, so the check above can fail.
    PedalWndProc(joystick::MM_JOY1MOVE, 0, 0x00010000);
    EXPECT_NE(TargetDepth, 0.99);
    EXPECT_FALSE(slider.empty());
    ReleasePedal();
}

TEST(PedalCapture, ANoJoystickOnPortOneFallsBackToTheMouse)
{
    report::RecordingSink sink;
    joystick::SdlJoystickService service;
    Settings.UsingMouse = false;
    Settings.PedalDevice = 1;
    Settings.PedalMin = 0;
    Settings.PedalMax = 0;
    OpenPedal(service, {});
    EXPECT_EQ(sink.texts(), std::vector<std::string>{
                                "There was a problem loading your joystick device on port 1. Please make sure it is "
                                "properly plugged and configured. Joystick usage has been disabled."});
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_EQ(Settings.PedalMax, 0u);
    EXPECT_FALSE(service.Capturing());
}

} // namespace
