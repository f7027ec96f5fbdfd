#pragma once
// What an SDL output played, held against what it should have, callback by callback (the
// output file holds whole callbacks of `period` samples from its start): each callback the
// expected samples in order, with silence where the output ran dry or waited; or, where the
// output followed the input's clock, the next few samples more or fewer spread over the
// callback by the follower's own stretch, maybe with silence where it also ran dry.

#include "platform/wave/ClockFollower.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct PlayedMatch {
    size_t matched = 0;  // expected samples found in order
    size_t silence = 0;  // zero samples in between
    size_t followed = 0; // output samples of stretched or squeezed callbacks
    std::string fault;   // where the output went astray, if it did
};

// Holds played[from...] against the first `count` samples of `expected`.
inline PlayedMatch MatchPlayed(const std::vector<int16_t>& played, size_t from, const std::vector<int16_t>& expected,
                               size_t count, size_t period)
{
    PlayedMatch m;
    size_t j = 0;
    std::vector<int16_t> source, stretched(period);
    for (size_t at = from; at < played.size() && j < count;) {
        const size_t end = std::min(played.size(), (at / period + 1) * period);
        // Sound in order behind silence.
        size_t k = at, e = j, quiet = 0;
        for (; k < end && e < expected.size(); ++k) {
            if (played[k] == expected[e])
                ++e;
            else if (played[k] == 0)
                ++quiet;
            else
                break;
        }
        if (k == end || e >= count) {
            m.silence += quiet;
            j = e;
            at = end;
            continue;
        }
        // A whole callback stretched or squeezed from `got` samples, of which the first
        // `sound` came and the rest ran dry, or the last `sound` came behind silence.
        bool found = false;
        const size_t frames = end - at;
        auto tryAll = [&](bool dryToo) {
            const size_t least = wave::ClockFollower::LeastFrames(uint32_t(frames));
            const size_t most = wave::ClockFollower::MostFrames(uint32_t(frames));
            for (size_t got = std::max<size_t>(least, 1); got <= most && !found; ++got) {
                for (size_t sound = got + 1; sound-- > 0 && !found;) {
                    if (got == frames || j + sound > expected.size() || (!dryToo && sound != got))
                        continue;
                    for (const bool soundFirst : {true, false}) {
                        source.assign(got, 0);
                        std::copy(expected.begin() + long(j), expected.begin() + long(j + sound),
                                  source.begin() + long(soundFirst ? 0 : got - sound));
                        wave::ClockFollower::Stretch(source.data(), uint32_t(got), stretched.data(), uint32_t(frames));
                        if (!std::equal(stretched.begin(), stretched.begin() + long(frames), played.begin() + long(at)))
                            continue;
                        m.followed += frames;
                        j += sound;
                        found = true;
                        break;
                    }
                }
            }
        };
        // Whole callbacks of sound first: running dry in one is rare.
        tryAll(false);
        if (!found)
            tryAll(true);
        if (!found) {
            m.fault = "output sample " + std::to_string(k) + " of " + std::to_string(played.size()) + " where sample " +
                      std::to_string(e) + " was due";
            break;
        }
        at = end;
    }
    m.matched = std::min(j, count);
    return m;
}

} // namespace testsupport
