// The pedal read from input events: records written to a descriptor the test feeds reach the
// target depth and the slider as the table of readings says, unplugging and plugging are
// followed, a joystick button is the footswitch, and nothing is armed on a timer at rest.

#include "pedal/Pedal.h"

#include "config/Settings.h"
#include "effect/FX.h"
#include "platform/joystick/EventJoystick.h"
#include "platform/joystick/FedControllers.h"
#include "platform/report/RecordingSink.h"
#include "support/PedalMode.h"
#include "support/ScriptedLoop.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using joystick::AxisInfo;

constexpr auto Event = joystick::InputEvent;

// A steering-wheel set: the wheel 0..1023, the accelerator over the signed 16-bit span, the
// brake 0..255, all at rest at their low end; three buttons.
std::vector<AxisInfo> WheelAxes(int32_t y = -32768)
{
    return {{ABS_X, 0, 1023, 0}, {ABS_Y, -32768, 32767, y}, {ABS_Z, 0, 255, 0}};
}
const std::vector<uint16_t> kButtons{BTN_TRIGGER, BTN_THUMB, BTN_THUMB2};

double DepthFor(uint32_t reading, uint32_t max = 32767, bool invert = false)
{
    return ScalePedalReading(reading, 1, max, invert).depth;
}

TEST(ReadingFromAxis, TheRangeSpreadsOverTheSigned16BitSpanPlusItsOffset)
{
    using joystick::ReadingFromAxis;
    // A signed 16-bit axis reads exactly its value plus 32768.
    for (int32_t v : {-32768, -1, 0, 331 - 32768, 32767})
        EXPECT_EQ(ReadingFromAxis(v, -32768, 32767), uint32_t(v + 32768));
    // Any other range: both ends reach the ends, the middle rounds to nearest.
    EXPECT_EQ(ReadingFromAxis(0, 0, 1023), 0u);
    EXPECT_EQ(ReadingFromAxis(1023, 0, 1023), 65535u);
    EXPECT_EQ(ReadingFromAxis(1, 0, 255), 257u);
    EXPECT_EQ(ReadingFromAxis(-5, -10, 0), 32768u);
    // Beyond the range reads as its end; a range of one value as the centre.
    EXPECT_EQ(ReadingFromAxis(5000, 0, 1023), 65535u);
    EXPECT_EQ(ReadingFromAxis(-1, 0, 1023), 0u);
    EXPECT_EQ(ReadingFromAxis(7, 7, 7), 32768u);
    EXPECT_EQ(ReadingFromAxis(INT32_MIN, INT32_MIN, INT32_MAX), 0u);
    EXPECT_EQ(ReadingFromAxis(INT32_MAX, INT32_MIN, INT32_MAX), 65535u);
}

class EventPedal : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::StartInPedalMode();
        pedal = fed.Plug(WheelAxes(), kButtons);
    }
    void TearDown() override
    {
        ReleasePedal();
        StopLearningFootswitch();
        Settings.UsingMouse = true;
        Settings.FootswitchButton = 0;
        EffectOn = true;
    }
    void Open()
    {
        OpenPedal(service, [this](int32_t position) {
            slider.push_back(position);
            if (onSlider)
                onSlider();
        });
    }
    void Move(uint16_t code, int32_t value)
    {
        fed.Move(pedal, code, value);
        loop.RunReady();
    }
    void Press(uint16_t code)
    {
        fed.Press(pedal, code);
        loop.RunReady();
    }

    testsupport::ScriptedLoop loop;
    joystick::FedControllers fed;
    joystick::EventJoystickService service{loop, fed};
    size_t pedal = 0;
    std::vector<int32_t> slider;
    std::function<void()> onSlider;
    report::RecordingSink sink;
};

TEST_F(EventPedal, MovesScaleAsTheTableSaysAndNothingIsArmedAtRest)
{
    Open();
    ASSERT_TRUE(service.Capturing());
    EXPECT_EQ(Settings.PedalMin, 1u);
    EXPECT_EQ(Settings.PedalMax, 32767u);
    // At rest the program waits on two descriptors, the pedal's and hot-plug's, and nothing
    // else: no timer, nothing read, nothing sent.
    EXPECT_EQ(loop.watches(), 2u);
    EXPECT_EQ(loop.timers(), 0u);
    loop.RunReady();
    EXPECT_EQ(loop.RunReady(), 0);
    EXPECT_TRUE(slider.empty());
    EXPECT_EQ(TargetDepth, 0.99);

    struct Row {
        uint32_t reading;
        bool invert;
        double depth;
        int32_t slider;
    };
    const Row rows[] = {{16384, false, 0.4950151, 49}, {0, false, 0.0000302, 0},  {331, false, 0.0100006, 1},
                        {32767, false, 0.99, 98},      {65535, false, 0.99, 98},  {0, true, 0.9899698, 98},
                        {40000, true, 0.0, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.reading << (r.invert ? " inverted" : ""));
        Settings.InvertPedal = r.invert;
        Move(ABS_Y, int32_t(r.reading) - 32768);
        EXPECT_NEAR(TargetDepth, r.depth, 5e-8);
        EXPECT_EQ(TargetDepth, DepthFor(r.reading, 32767, r.invert));
        EXPECT_EQ(slider.back(), r.slider);
    }
    EXPECT_EQ(loop.timers(), 0u);
    EXPECT_EQ(fed.opens(), 1u);
    EXPECT_TRUE(sink.shown().empty());

    ReleasePedal();
    EXPECT_FALSE(service.Capturing());
    EXPECT_EQ(loop.watches(), 0u);
}

TEST_F(EventPedal, OnlyTheChosenAxisCountsAndAFrameIsOneMessage)
{
    Open();
    Move(ABS_Z, 200);
    EXPECT_TRUE(slider.empty());
    EXPECT_EQ(TargetDepth, 0.99);

    Settings.PedalAxis = 2;
    Move(ABS_Y, 0);
    EXPECT_TRUE(slider.empty());
    Move(ABS_Z, 1);
    EXPECT_EQ(TargetDepth, DepthFor(257));

    // A wheel turned and the accelerator pressed in one frame is one movement message: with
    // X chosen (still on the Y bounds of the start) it reads the wheel.
    Settings.PedalAxis = 0;
    const size_t before = slider.size();
    fed.Send(pedal, {Event(EV_ABS, ABS_X, 1023), Event(EV_ABS, ABS_Y, 32767), Event(EV_SYN, SYN_REPORT, 0)});
    loop.RunReady();
    EXPECT_EQ(slider.size(), before + 1);
    EXPECT_EQ(TargetDepth, 0.99);
    // Events without their frame's end are not sent yet.
    fed.Send(pedal, {Event(EV_ABS, ABS_X, 0)});
    loop.RunReady();
    EXPECT_EQ(TargetDepth, 0.99);
    fed.Send(pedal, {Event(EV_SYN, SYN_REPORT, 0)});
    loop.RunReady();
    EXPECT_EQ(TargetDepth, DepthFor(0));
}

TEST_F(EventPedal, TheXAxisUsesTheFullSpanWhateverTheDevicesRange)
{
    Settings.PedalAxis = 0;
    Open();
    EXPECT_EQ(Settings.PedalMin, 1u);
    EXPECT_EQ(Settings.PedalMax, 65535u);
    Move(ABS_X, 512);
    EXPECT_EQ(TargetDepth, DepthFor(joystick::ReadingFromAxis(512, 0, 1023), 65535));
    EXPECT_EQ(slider.back(), 49);
    Move(ABS_X, 1023);
    EXPECT_EQ(TargetDepth, 0.99);
}

TEST_F(EventPedal, UnpluggedTheDepthStaysAndThePedalIsPickedUpWhenPluggedBack)
{
    Open();
    Move(ABS_Y, 16384 - 32768);
    const double before = TargetDepth;
    fed.Unplug(pedal);
    loop.RunReady();
    EXPECT_EQ(TargetDepth, before);
    EXPECT_TRUE(service.Capturing());
    EXPECT_FALSE(service.Present());
    // Waiting for it costs nothing either: after one more look, only the hot-plug descriptor
    // is watched.
    EXPECT_EQ(loop.timers(), 1u);
    loop.FireTimers();
    EXPECT_EQ(loop.watches(), 1u);
    EXPECT_EQ(loop.timers(), 0u);

    // Plugged back with the pedal half down: where it stands is sent at once.
    pedal = fed.Plug(WheelAxes(331 - 32768), kButtons);
    loop.RunReady();
    EXPECT_TRUE(service.Present());
    EXPECT_NEAR(TargetDepth, 0.0100006, 5e-8);
    EXPECT_EQ(slider.back(), 1);
    Move(ABS_Y, 32767);
    EXPECT_EQ(TargetDepth, 0.99);

    // Another controller coming does not disturb the one in use.
    const size_t opens = fed.opens();
    fed.Plug(WheelAxes());
    loop.RunReady();
    EXPECT_EQ(fed.opens(), opens);
    EXPECT_EQ(loop.timers(), 0u);
}

TEST_F(EventPedal, APedalListedBeforeItCanBeOpenedIsLookedForOnceMore)
{
    Settings.PedalDevice = 1;
    fed.Plug(WheelAxes(), kButtons);
    Open();
    ASSERT_TRUE(service.Capturing());
    // The notice finds nothing on port 1: one more look after a while, not a timer that keeps
    // running. The pedal is there by then, though its own notice never came through.
    fed.Unplug(1);
    loop.RunReady();
    ASSERT_EQ(loop.delays(), std::vector<int>{400});
    pedal = fed.Plug(WheelAxes(32767), kButtons);
    fed.TakeHotplug();
    loop.FireTimers();
    EXPECT_TRUE(service.Present());
    EXPECT_EQ(TargetDepth, 0.99);
    EXPECT_EQ(loop.timers(), 0u);
}

TEST(EventPedalWithoutHotplug, AnUnpluggedPedalIsLookedForOnlyWhileItIsGone)
{
    testsupport::StartInPedalMode();
    testsupport::ScriptedLoop loop;
    joystick::FedControllers fed(false);
    joystick::EventJoystickService service(loop, fed);
    size_t pedal = fed.Plug(WheelAxes());
    OpenPedal(service, {});
    EXPECT_EQ(loop.watches(), 1u);
    EXPECT_EQ(loop.timers(), 0u);

    fed.Unplug(pedal);
    loop.RunReady();
    EXPECT_EQ(loop.watches(), 0u);
    // Looked for every 400 ms: within half a second of coming back, at most 2.5 wake-ups a
    // second while it is away.
    EXPECT_EQ(loop.delays(), std::vector<int>{400});
    loop.FireTimers();
    EXPECT_EQ(loop.delays(), std::vector<int>{400});

    pedal = fed.Plug(WheelAxes(16384 - 32768));
    loop.FireTimers();
    EXPECT_TRUE(service.Present());
    EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);
    EXPECT_EQ(loop.timers(), 0u);
    EXPECT_EQ(loop.watches(), 1u);
    ReleasePedal();
    Settings.UsingMouse = true;
}

TEST_F(EventPedal, TheChosenButtonSwitchesTheEffectAndLearnTakesTheNextButton)
{
    Open();
    // No button chosen: buttons do nothing.
    Press(BTN_TRIGGER);
    EXPECT_TRUE(EffectOn);

    Settings.FootswitchButton = 2;
    Press(BTN_THUMB);
    EXPECT_FALSE(EffectOn);
    Press(BTN_TRIGGER);
    Press(BTN_THUMB2);
    EXPECT_FALSE(EffectOn);
    Press(BTN_THUMB);
    EXPECT_TRUE(EffectOn);
    // Letting go is not a press, and a button is no movement.
    EXPECT_TRUE(slider.empty());
    EXPECT_EQ(TargetDepth, 0.99);

    // Learning: the next button is handed over and switches nothing, even the chosen one.
    std::vector<int32_t> learned;
    LearnFootswitch([&](int32_t button) { learned.push_back(button); });
    EXPECT_TRUE(LearningFootswitch());
    Press(BTN_THUMB);
    EXPECT_EQ(learned, std::vector<int32_t>{2});
    EXPECT_TRUE(EffectOn);
    EXPECT_FALSE(LearningFootswitch());
    Press(BTN_THUMB2);
    EXPECT_EQ(learned.size(), 1u);
    Press(BTN_THUMB);
    EXPECT_FALSE(EffectOn);

    // A learn given up takes nothing.
    LearnFootswitch([&](int32_t button) { learned.push_back(button); });
    StopLearningFootswitch();
    Press(BTN_THUMB);
    EXPECT_EQ(learned.size(), 1u);
    EXPECT_TRUE(EffectOn);
}

TEST_F(EventPedal, AFloodIsReadWholeAndACaptureReleasedMidwayStopsTheReading)
{
    Open();
    std::vector<input_event> flood;
    for (int32_t v = 0; v < 2000; ++v) {
        flood.push_back(Event(EV_ABS, ABS_Y, v - 32768));
        flood.push_back(Event(EV_SYN, SYN_REPORT, 0));
    }
    flood.push_back(Event(EV_ABS, ABS_Y, 16384 - 32768));
    flood.push_back(Event(EV_SYN, SYN_REPORT, 0));
    fed.Send(pedal, flood);
    loop.RunReady();
    EXPECT_NEAR(TargetDepth, 0.4950151, 5e-8);

    // The close lets the pedal go from inside a movement's handling: what follows in the same
    // read is left alone, and nothing is read again.
    onSlider = [] { ReleasePedal(); };
    fed.Send(pedal, {Event(EV_ABS, ABS_Y, 0), Event(EV_SYN, SYN_REPORT, 0), Event(EV_ABS, ABS_Y, 32767),
                     Event(EV_SYN, SYN_REPORT, 0)});
    const size_t before = slider.size();
    loop.RunReady();
    EXPECT_EQ(slider.size(), before + 1);
    EXPECT_FALSE(service.Capturing());
    EXPECT_EQ(loop.watches(), 0u);
    EXPECT_EQ(TargetDepth, DepthFor(32768));
}

TEST_F(EventPedal, NoControllerOnThePortFallsBackToTheMouse)
{
    Settings.PedalDevice = 1;
    Open();
    EXPECT_EQ(sink.texts(), std::vector<std::string>{
                                "There was a problem loading your joystick device on port 1. Please make sure it is "
                                "properly plugged and configured. Joystick usage has been disabled."});
    EXPECT_TRUE(Settings.UsingMouse);
    EXPECT_EQ(loop.watches(), 0u);
    EXPECT_EQ(loop.timers(), 0u);
}

} // namespace
