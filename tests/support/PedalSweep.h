#pragma once
// A MIDI pedal held at a few depths through the program's real pedal port, while a steady
// tone plays through the program: what each held depth sounds like, measured, against what
// the reference filter makes of the tone at that depth. Shared by the PipeWire and the JACK
// end-to-end tests, which differ only in how they play, record and send.
//
// How the expected values come about: the program's store sets the sliders the reference
// filter is run with (offset 0.10, resonance 9.0) and the fastest glide (LastPAF 200, 0.2 a
// block), and the pedal maps a value v of 7 or 14 bits to the depth 0.99 v / 127 or
// 0.99 v / 16383. A message lands somewhere in a block the test cannot pin down to the
// sample, so the test does not compare samples: it waits until the glide has come within
// 1e-5 of the target (more than 40 blocks of 500 frames), then takes the RMS of the played
// sound over the rest of the hold. The expected figure is the RMS the reference filter
// settles to with the tone at that depth. The tone lies above every cutoff held, where a
// change of 0.001 in the depth changes the RMS by about 1.2 %: a tolerance of 1 % tells a
// 14-bit depth from its coarse part alone (8 % or more apart), and a wrong depth at once.

#include "support/MidiMessages.h"
#include "support/ReferenceFilter.h"
#include "support/Spawn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr uint32_t kSweepRate = 44100;
inline constexpr uint32_t kSweepBlockBytes = 1000;
inline constexpr double kSweepToneHz = 4000.0;
inline constexpr double kSweepToneAmplitude = 6000.0;
// Each depth is held this long; the measure starts when the glide has settled and ends a
// little before the next message.
inline constexpr size_t kHoldFrames = kSweepRate;
inline constexpr size_t kSettleFrames = kSweepRate * 6 / 10;
inline constexpr size_t kHoldGuardFrames = kSweepRate / 20;
inline constexpr double kRmsTolerance = 0.01;
inline constexpr int kSweepController = 11;

// A depth the pedal is held at: a controller value of 7 bits, or of 14 with its fine part.
struct HeldDepth {
    int value = 0;
    bool fourteenBit = false;
};

// Rising depths, all with their cutoff below the tone. The 14-bit values have a fine part of
// 127, the most a 7-bit reading of their coarse part would lose.
inline const std::vector<HeldDepth> kSevenBitHolds{{45, false}, {60, false}, {75, false}};
inline const std::vector<HeldDepth> kFourteenBitHolds{{6143, true}, {7935, true}, {9727, true}};

inline double DepthOf(const HeldDepth& held)
{
    return 0.99 * held.value / (held.fourteenBit ? 16383.0 : 127.0);
}

inline std::vector<MidiMessage> MessagesFor(const HeldDepth& held)
{
    if (!held.fourteenBit)
        return {ControllerMessage(1, kSweepController, held.value)};
    return {ControllerMessage(1, kSweepController, held.value >> 7),
            ControllerMessage(1, kSweepController + 32, held.value & 0x7F)};
}

inline std::vector<int16_t> SweepTone(size_t frames)
{
    std::vector<int16_t> tone(frames);
    for (size_t i = 0; i < frames; ++i)
        tone[i] = int16_t(std::lround(kSweepToneAmplitude * std::sin(2 * M_PI * kSweepToneHz * double(i) / kSweepRate)));
    return tone;
}

inline double Rms(const std::vector<int16_t>& s, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to && i < s.size(); ++i)
        sum += double(s[i]) * double(s[i]);
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

// What the reference filter settles to: the tone for a second, measured over its second half.
inline double SteadyRms(double depth)
{
    ReferenceFilter filter(0.10, 9.0, depth);
    auto tone = SweepTone(kSweepRate);
    for (auto& s : tone)
        s = filter.step(s);
    return Rms(tone, kSweepRate / 2, kSweepRate);
}

// The store for the program: the sliders above, the MIDI pedal as the depth's source, fed
// from `source`.
inline std::string MidiPedalStore(const std::string& source)
{
    std::string store = StoreFor(kSweepRate, kSweepBlockBytes);
    store.replace(store.find("UsingMouse = 1"), 14, "UsingMouse = 0");
    store.replace(store.find("LastPAF = 100"), 13, "LastPAF = 200");
    return store + "MidiPedal = 1\nMidiSource = \"" + source + "\"\n";
}

// Every depth of both groups, the 7-bit ones first.
inline std::vector<HeldDepth> SweepHolds()
{
    std::vector<HeldDepth> all = kSevenBitHolds;
    all.insert(all.end(), kFourteenBitHolds.begin(), kFourteenBitHolds.end());
    return all;
}

// How many frames the tone must last, and the recording hold, for SweepHolds.
inline size_t SweepFrames() { return SweepHolds().size() * kHoldFrames + kSweepRate / 2; }

// The rig a backend's test puts together: the tone playing through the program, a recording
// of what the program played, and the test's MIDI sender on the program's pedal port.
//   bool waitRecorded(size_t frames); bool send(const std::vector<MidiMessage>&);
//   std::vector<int16_t> recording();
// Holds each depth of SweepHolds in turn, sent when the recording reaches the start of its
// hold, and gives back the RMS heard over each hold once the glide settled; nothing when the
// recording stopped on the way (a graph that stalled), which the caller judges.
template <typename Rig>
std::vector<double> HeldRms(Rig& rig)
{
    const auto holds = SweepHolds();
    for (size_t i = 0; i < holds.size(); ++i) {
        if (!rig.waitRecorded(i * kHoldFrames))
            return {};
        EXPECT_TRUE(rig.send(MessagesFor(holds[i])));
    }
    if (!rig.waitRecorded(SweepFrames()))
        return {};
    const auto heard = rig.recording();
    std::vector<double> rms;
    for (size_t i = 0; i < holds.size(); ++i)
        rms.push_back(Rms(heard, i * kHoldFrames + kSettleFrames, (i + 1) * kHoldFrames - kHoldGuardFrames));
    return rms;
}

// Whether every depth was heard as the reference filter makes it, to within the tolerance.
inline bool HeardAsAsked(const std::vector<double>& rms)
{
    const auto holds = SweepHolds();
    for (size_t i = 0; i < holds.size() && i < rms.size(); ++i)
        if (std::fabs(rms[i] / SteadyRms(DepthOf(holds[i])) - 1.0) > kRmsTolerance)
            return false;
    return rms.size() == holds.size();
}

// The checks, a group at a time: each depth heard as the reference filter makes it, the
// 14-bit ones by their fine part too, and the sound brighter as the pedal goes down.
inline void CheckHeldDepths(const std::vector<double>& rms, const std::string& machine)
{
    ASSERT_EQ(rms.size(), SweepHolds().size()) << "the recording stopped; " << machine;
    size_t at = 0;
    for (const auto* group : {&kSevenBitHolds, &kFourteenBitHolds}) {
        SCOPED_TRACE(group == &kSevenBitHolds ? "7-bit" : "14-bit");
        for (size_t i = 0; i < group->size(); ++i, ++at) {
            const HeldDepth& held = (*group)[i];
            SCOPED_TRACE("value " + std::to_string(held.value));
            const double expected = SteadyRms(DepthOf(held));
            EXPECT_NEAR(rms[at] / expected, 1.0, kRmsTolerance) << rms[at] << " heard, " << expected << " due; " << machine;
            if (held.fourteenBit) {
                const double coarseOnly = SteadyRms(DepthOf({held.value >> 7, false}));
                EXPECT_GT(std::fabs(rms[at] - coarseOnly), std::fabs(rms[at] - expected)) << "the fine part was lost";
            }
            if (i > 0) {
                EXPECT_GT(rms[at], rms[at - 1]);
            }
        }
    }
}

} // namespace testsupport
