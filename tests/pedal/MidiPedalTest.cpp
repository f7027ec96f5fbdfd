// The MIDI pedal: byte streams as ports deliver them, to TargetDepth, the effect switch and
// what Learn caught. The golden depths are v × 0.99 / largest (127 for 7 bits, 16383 for 14),
// worked out with exact fractions and written down to 15 decimals, not taken from the code.

#include "pedal/MidiPedal.h"

#include "config/Settings.h"
#include "effect/FX.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

using midi::Caught;
using midi::LearnFor;
using midi::MidiPedal;
using midi::PedalConfig;
using midi::SwitchKind;

constexpr double kUntouched = -1.0;

class MidiPedalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx::ResetForTests();
        pedal.reset();
        config.drivesDepth = true;
        pedal.configure(config);
        TargetDepth = kUntouched;
    }
    void Send(std::initializer_list<uint8_t> bytes)
    {
        const std::vector<uint8_t> message(bytes);
        pedal.receive(0, message.data(), uint32_t(message.size()));
    }
    void Configure()
    {
        pedal.configure(config);
        TargetDepth = kUntouched;
    }

    MidiPedal pedal;
    PedalConfig config;
};

struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    double depth; // kUntouched: the message must leave TargetDepth alone
    uint32_t from = 0; // the source, as the port numbers it
};

void Play(MidiPedal& pedal, const std::vector<Row>& rows)
{
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TargetDepth = kUntouched;
        pedal.receive(r.from, r.bytes.data(), uint32_t(r.bytes.size()));
        EXPECT_NEAR(TargetDepth.load(), r.depth, 1e-12);
    }
}

TEST_F(MidiPedalTest, SevenBitMessagesAsPortsDeliverThem)
{
    Play(pedal, {
                    {"controller 11, channel 1, value 64", {0xB0, 11, 64}, 0.498897637795276},
                    {"running status, full travel", {0xB0, 11, 3, 11, 127}, 0.99},
                    {"running status, heel down", {0xB0, 11, 3, 11, 0}, 0.0},
                    {"a clock byte inside a message", {0xB0, 0xF8, 11, 0xFE, 16}, 0.124724409448819},
                    {"two messages in one event, the last counts", {0xB0, 11, 1, 11, 126}, 0.982204724409449},
                    {"another controller", {0xB0, 7, 100}, kUntouched},
                    {"a program change, then running status of its own kind", {0xC0, 5, 11}, kUntouched},
                    {"system exclusive holding controller-like data", {0xB0, 11, 5, 0xF0, 0x7E, 11, 64, 0xF7},
                     0.038976377952756},
                    {"running status was cancelled by the system exclusive", {0xB0, 11, 5, 0xF0, 0xF7, 11, 64},
                     0.038976377952756},
                    {"a note-on", {0x90, 11, 64}, kUntouched},
                    {"channel 16 passes the Any filter", {0xBF, 11, 63}, 0.491102362204724},
                    {"a status byte ends a system exclusive left open", {0xF0, 1, 2, 0xB0, 11, 16}, 0.124724409448819},
                });
}

// Two senders, A and B, interleaved: nothing of one event completes a message begun in
// another, and a fine part pairs only with its own source's coarse part. Once as a merging
// port hands them (one number for both), then as a port that keeps them apart.
TEST_F(MidiPedalTest, InterleavedSourcesStayApart)
{
    constexpr uint32_t A = 0;
    for (const uint32_t B : {0u, 1u}) {
        SCOPED_TRACE(B == A ? "merged" : "apart");
        pedal.reset();
        Configure();
        Play(pedal, {
                        {"A opens a sysex", {0xF0, 0x7D, 0x01, 0x02}, kUntouched, A},
                        {"B moves the pedal", {0xB0, 11, 16}, 0.124724409448819, B},
                        {"A's sysex goes on: not controller 11 under B's status", {11, 127, 11, 127, 0xF7},
                         kUntouched, A},
                        {"B's running status does not reach A's next event", {11, 127}, kUntouched, A},
                        {"a message cut across two events is not put together", {0xB0, 11}, kUntouched, A},
                        {"its tail", {1}, kUntouched, A},
                    });
    }
    Play(pedal, {
                    {"A's coarse 64 alone", {0xB0, 11, 64}, 0.498897637795276, A},
                    {"B's coarse 127 alone", {0xB0, 11, 127}, 0.99, 1},
                    {"A's fine part pairs with A's 64, not B's 127", {0xB0, 43, 0}, 0.495030214246475, A},
                    {"B's fine part with B's 127", {0xB0, 43, 0}, 127.0 * 128 * 0.99 / 16383, 1},
                    {"C's fine part has no coarse part of its own", {0xB0, 43, 5}, kUntouched, 2},
                    {"B's way in given to another source: B's coarse part is not its", {0xB0, 43, 0}, kUntouched,
                     1 + midi::kSourcesApart},
                    {"its own coarse part", {0xB0, 11, 0}, 0.0, 1 + midi::kSourcesApart},
                    {"and its fine part with it", {0xB0, 43, 127}, 127.0 * 0.99 / 16383, 1 + midi::kSourcesApart},
                });
}

TEST_F(MidiPedalTest, ChannelControllerAndInversionFilter)
{
    config.channel = 2;
    config.controller = 4;
    config.invert = true;
    Configure();
    Play(pedal, {
                    {"channel 1 is not channel 2", {0xB0, 4, 64}, kUntouched},
                    {"controller 11 is not 4", {0xB1, 11, 64}, kUntouched},
                    {"inverted heel down is full", {0xB1, 4, 0}, 0.99},
                    {"inverted full travel is 0", {0xB1, 4, 127}, 0.0},
                    {"inverted 63 is 64's depth", {0xB1, 4, 63}, 0.498897637795276},
                });
    // Not the depth source: the controller changes nothing.
    config.drivesDepth = false;
    Configure();
    Send({0xB1, 4, 10});
    EXPECT_EQ(TargetDepth.load(), kUntouched);
}

TEST_F(MidiPedalTest, FourteenBitsOnceTheFinePartArrivesOrWhenChosen)
{
    EXPECT_FALSE(pedal.heardFinePart());
    Play(pedal, {
                    {"coarse alone is 7-bit", {0xB0, 11, 64}, 0.498897637795276},
                    {"the fine part makes it 14-bit", {0xB0, 43, 0}, 0.495030214246475},
                    {"fine 127 under coarse 64", {0xB0, 43, 127}, 0.502704632851126},
                    {"a new coarse part alone counts as 7 bits, so it reaches the top", {0xB0, 11, 127}, 0.99},
                    {"its fine part", {0xB0, 43, 127}, 0.99},
                    {"fine 0 under coarse 127", {0xB0, 43, 0}, 127.0 * 128 * 0.99 / 16383},
                    {"bottom", {0xB0, 11, 0}, 0.0},
                    {"a fine part on another channel is not this pedal's", {0xB1, 43, 5}, kUntouched},
                });
    EXPECT_TRUE(pedal.heardFinePart());

    // Chosen as 14-bit: a pedal that sends only coarse parts still reaches both ends.
    config.fourteenBit = true;
    Configure();
    Play(pedal, {
                    {"a fine part before any coarse part says nothing", {0xB0, 43, 5}, kUntouched},
                    {"coarse 127 alone is the top", {0xB0, 11, 127}, 0.99},
                    {"coarse 0 alone is the bottom", {0xB0, 11, 0}, 0.0},
                    {"coarse 64 then its fine part 0 is 8192", {0xB0, 11, 64, 43, 0}, 0.495030214246475},
                });

    // Controllers from 32 up have no fine part: 7 bits whatever was chosen.
    config.controller = 40;
    Configure();
    Play(pedal, {
                    {"controller 40, 7-bit", {0xB0, 40, 127}, 0.99},
                    {"72 is not a fine part", {0xB0, 72, 3}, kUntouched},
                });
}

// A pedal that rests at 3 and tops out at 116, calibrated: its ends are the sweep's, in 7 and
// 14 bits alike; the tapers keep the ends and bend the middle.
TEST_F(MidiPedalTest, CalibratedEndsAndTaper)
{
    config.lowest = 3;
    config.highest = 116;
    Configure();
    Play(pedal, {
                    {"the resting value is the heel", {0xB0, 11, 3}, 0.0},
                    {"below it too", {0xB0, 11, 1}, 0.0},
                    {"the top it reaches is full travel", {0xB0, 11, 116}, 0.99},
                    {"above it too", {0xB0, 11, 127}, 0.99},
                    {"60 is 57 of 113 steps", {0xB0, 11, 60}, 0.499380530973451},
                    {"14 bits: 60 and fine 0 between 3 * 128 + 127 and 116 * 128", {0xB0, 11, 60, 43, 0},
                     0.495034526051475},
                    {"14 bits: the top step with any fine part is full travel", {0xB0, 11, 116, 43, 5}, 0.99},
                    {"and the resting step the heel", {0xB0, 11, 3, 43, 120}, 0.0},
                });
    EXPECT_EQ(pedal.reading(), 3) << "the readout is the last coarse part";
    config.invert = true;
    Configure();
    Play(pedal, {{"inverted, the top it reaches is the heel", {0xB0, 11, 116}, 0.0}});

    config = PedalConfig{};
    config.drivesDepth = true;
    config.curve = pedal::PedalCurve::Log;
    Configure();
    Play(pedal, {
                    {"log keeps the heel", {0xB0, 11, 0}, 0.0},
                    {"and full travel", {0xB0, 11, 127}, 0.99},
                    {"and lifts the middle", {0xB0, 11, 64}, 0.735720088023228},
                });
    config.curve = pedal::PedalCurve::Exp;
    Configure();
    Play(pedal, {{"exp lowers it", {0xB0, 11, 64}, 0.241018247021591}});
}

// A learned note taps at each press, a learned controller once per press however long it is
// held; the LFO's rate changes from the second tap on.
TEST_F(MidiPedalTest, ALearnedNoteOrButtonTapsTheTempo)
{
    constexpr double kUntapped = 1.5;
    const auto rateAfterBlock = [] {
        int16_t block[64]{};
        fx::Program().Process(block, 64);
        return fx::Program().LfoRate.load();
    };
    fx::Program().LfoRate = kUntapped;
    pedal.learn(LearnFor::Tap);
    Send({0x92, 40, 100});
    EXPECT_EQ(pedal.takeCaught(), (Caught{SwitchKind::Note, 3, 40}));

    config.tapKind = SwitchKind::Controller;
    config.tapChannel = midi::kAnyChannel;
    config.tapNumber = 20;
    Configure();
    Send({0xB0, 20, 127});
    Send({0xB0, 20, 127, 20, 100}); // held
    Send({0xB0, 21, 0, 21, 127});   // another controller
    EXPECT_EQ(rateAfterBlock(), kUntapped) << "one press tapped more than once";
    Send({0xB0, 20, 0, 20, 127});
    EXPECT_NE(rateAfterBlock(), kUntapped);

    fx::ResetForTests();
    fx::Program().LfoRate = kUntapped;
    config.tapKind = SwitchKind::Note;
    config.tapChannel = 3;
    config.tapNumber = 40;
    Configure();
    Send({0x92, 40, 100, 40, 0}); // press and release
    Send({0x91, 40, 100});        // another channel
    EXPECT_EQ(rateAfterBlock(), kUntapped);
    Send({0x92, 40, 90});
    EXPECT_NE(rateAfterBlock(), kUntapped);
}

TEST_F(MidiPedalTest, AFloodLeavesOnlyTheLatestForTheScreen)
{
    for (int i = 0; i < 10000; ++i)
        Send({0xB0, 11, uint8_t(i % 128)});
    Send({0xB0, 11, 64});
    PedalScaled latest;
    ASSERT_TRUE(pedal.takeDepth(latest));
    EXPECT_NEAR(latest.depth, 0.498897637795276, 1e-12);
    EXPECT_EQ(latest.slider, 49);
    EXPECT_FALSE(pedal.takeDepth(latest));
    // Full travel: the slider value a joystick's full travel gives.
    Send({0xB0, 11, 127});
    ASSERT_TRUE(pedal.takeDepth(latest));
    EXPECT_EQ(latest.slider, 98);
}

TEST_F(MidiPedalTest, LearnCatchesTheNextControllerOrNoteOnce)
{
    pedal.learn(LearnFor::Pedal);
    EXPECT_EQ(pedal.learning(), LearnFor::Pedal);
    Send({0x93, 60, 100});          // a note is no pedal
    Send({0xB3, 123, 0});           // all notes off is no pedal either
    EXPECT_FALSE(pedal.takeCaught());
    Send({0xB3, 4, 10, 36, 5});     // coarse then fine: the coarse part is the pedal
    EXPECT_EQ(pedal.takeCaught(), (Caught{SwitchKind::Controller, 4, 4}));
    EXPECT_FALSE(pedal.takeCaught());
    EXPECT_EQ(pedal.learning(), LearnFor::Nothing);
    Send({0xB3, 7, 10});
    EXPECT_FALSE(pedal.takeCaught());

    pedal.learn(LearnFor::Footswitch);
    Send({0x9F, 60, 0}); // a note-off in disguise
    Send({0x8F, 60, 64});
    EXPECT_FALSE(pedal.takeCaught());
    Send({0x9F, 60, 1});
    EXPECT_EQ(pedal.takeCaught(), (Caught{SwitchKind::Note, 16, 60}));
    pedal.learn(LearnFor::Footswitch);
    Send({0xB0, 80, 127});
    EXPECT_EQ(pedal.takeCaught(), (Caught{SwitchKind::Controller, 1, 80}));

    // Cancelled: nothing is caught.
    pedal.learn(LearnFor::Pedal);
    pedal.learn(LearnFor::Nothing);
    Send({0xB0, 11, 3});
    EXPECT_FALSE(pedal.takeCaught());
}

TEST_F(MidiPedalTest, FootswitchByControllerOrByNote)
{
    config.switchKind = SwitchKind::Controller;
    config.switchNumber = 64;
    config.switchChannel = 3;
    Configure();
    Send({0xB2, 64, 0});
    EXPECT_FALSE(EffectOn.load());
    Send({0xB2, 64, 63});
    EXPECT_FALSE(EffectOn.load());
    Send({0xB2, 64, 64});
    EXPECT_TRUE(EffectOn.load());
    Send({0xB0, 64, 0}); // channel 1
    EXPECT_TRUE(EffectOn.load());
    Send({0xB2, 65, 0});
    EXPECT_TRUE(EffectOn.load());
    // The footswitch moves no depth.
    EXPECT_EQ(TargetDepth.load(), kUntouched);

    config.switchKind = SwitchKind::Note;
    config.switchNumber = 36;
    config.switchChannel = midi::kAnyChannel;
    Configure();
    Send({0x95, 36, 90});
    EXPECT_FALSE(EffectOn.load());
    Send({0x95, 36, 0}); // release as velocity 0
    Send({0x85, 36, 0}); // release as note-off
    Send({0x95, 37, 90});
    EXPECT_FALSE(EffectOn.load());
    Send({0x95, 36, 90, 36, 90}); // two presses, running status
    EXPECT_FALSE(EffectOn.load());
    Send({0x95, 36, 90});
    EXPECT_TRUE(EffectOn.load());
}

TEST(MidiConfig, TheSettingsMakeThePedalsConfiguration)
{
    ResetSettingsRecord();
    Settings.UsingMouse = false;
    Settings.MidiPedal = true;
    Settings.MidiChannel = 16;
    Settings.MidiController = 127;
    Settings.Midi14Bit = true;
    Settings.InvertPedal = true;
    Settings.MidiFootswitch = 2;
    Settings.MidiFootswitchChannel = 9;
    Settings.MidiFootswitchNumber = 100;
    const PedalConfig c = MidiConfigFromSettings();
    EXPECT_EQ(c, (PedalConfig{true, 16, 127, true, true, SwitchKind::Note, 9, 100}));
    // Packed and read back whole, every field at its largest.
    MidiPedal pedal;
    pedal.configure(c);
    EXPECT_EQ(pedal.config(), c);
    const PedalConfig largest{true, 16, 127, true, true, SwitchKind::Note, 16, 127, 127, 127,
                              pedal::PedalCurve::Exp, SwitchKind::Note, 16, 127};
    pedal.configure(largest);
    EXPECT_EQ(pedal.config(), largest);
    // The calibration, taper and tap rows; an end past 7 bits is the top step.
    Settings.MidiMin = 3;
    Settings.MidiMax = 16383;
    Settings.PedalCurve = "Log";
    Settings.TapMidi = "CC 0 20";
    const PedalConfig d = MidiConfigFromSettings();
    EXPECT_EQ((PedalConfig{true, 16, 127, true, true, SwitchKind::Note, 9, 100, 3, 127, pedal::PedalCurve::Log,
                           SwitchKind::Controller, 0, 20}),
              d);
    Settings.TapMidi = "Note 16 127";
    EXPECT_EQ(MidiConfigFromSettings().tapKind, SwitchKind::Note);
    // The mouse standing in for a pedal the sound cannot reach: the pedal is silent.
    Settings.UsingMouse = true;
    EXPECT_FALSE(MidiConfigFromSettings().drivesDepth);
    ResetSettingsRecord();
}

} // namespace
