#pragma once
// The end-to-end tests' known signal and what the program must make of it.

#include "config/Settings.h"
#include "effect/FX.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// Two sines (220 Hz and 2.5 kHz at the rate given), loud enough to show every bit.
inline std::vector<int16_t> Signal(size_t n, uint32_t rate = 44100)
{
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = int16_t(12000 * std::sin(2 * M_PI * 220 * double(i) / rate) +
                       4000 * std::sin(2 * M_PI * 2500 * double(i) / rate));
    return s;
}

// The input through the filter at the offset and Q given, depth 0.99, mouse mode. The
// parameters do not move, so how the stream cuts the sound into blocks does not change the
// result.
inline std::vector<int16_t> FilteredAt(std::vector<int16_t> in, double offset, double q)
{
    fx::ResetForTests();
    Settings.UsingMouse = true;
    FreqOffset = offset;
    Resonance = q;
    ResetDepth();
    for (size_t at = 0; at < in.size(); at += 500)
        ProcessBuffer(in.data() + at, int32_t(std::min<size_t>(500, in.size() - at)));
    return in;
}

// The program's start-up values: offset 0.10, Q 9.0.
inline std::vector<int16_t> Filtered(std::vector<int16_t> in) { return FilteredAt(std::move(in), 0.10, 9.0); }

// A stream's settings at this rate and buffer size, and the filter at the values Filtered
// runs, for a test that opens the stream itself.
inline void PrepareStream(uint32_t rate, uint32_t bytes)
{
    Settings.SampleRate = rate;
    Settings.memBlockLength = bytes;
    Settings.Priority = 0;
    Settings.UsingMouse = true;
    fx::ResetForTests();
    FreqOffset = 0.1;
    Resonance = 9.0;
    ResetDepth();
}

// How far a recording strays from what was expected in it.
struct Comparison {
    size_t mismatches = 0;
    size_t silent = 0;    // of those, frames that came back as silence where sound was due
    size_t bursts = 0;    // runs of them, apart by more than kBurstGap frames that agree
    size_t longestBurst = 0; // frames from a run's first mismatch to its last
    std::string firstFew; // the first five, for a failure message
};
// Frames that agree, past which the next mismatch starts a new run.
constexpr size_t kBurstGap = 256;
// How long the filter carries a period of other input (one the machine dropped or a graph
// skipped) before its output agrees again, at most.
constexpr size_t kFilterSettle = 8192;

// expected[from, to) against heard[offset + from, offset + to); a frame that was never heard
// counts as a mismatch.
inline Comparison Compare(const std::vector<int16_t>& heard, long offset, const std::vector<int16_t>& expected,
                          size_t from = 0, size_t to = SIZE_MAX)
{
    Comparison c;
    std::ostringstream text;
    size_t burstFrom = 0;
    size_t last = 0;
    for (size_t i = from; i < to && i < expected.size(); ++i) {
        const long at = offset + long(i);
        const bool there = at >= 0 && size_t(at) < heard.size();
        if (there && heard[size_t(at)] == expected[i])
            continue;
        if (there && heard[size_t(at)] == 0)
            ++c.silent;
        if (c.mismatches == 0 || i - last > kBurstGap) {
            ++c.bursts;
            burstFrom = i;
        }
        last = i;
        c.longestBurst = std::max(c.longestBurst, i - burstFrom + 1);
        if (c.mismatches++ < 5)
            text << "sample " << i << ": heard " << (there ? std::to_string(heard[size_t(at)]) : "nothing")
                 << ", filtered " << expected[i] << "\n";
    }
    c.firstFew = text.str();
    return c;
}

// Whether the mismatches are only what `periods` periods of other input can do: at most one
// run each, none longer than the filter carries it; none at all for no period. A lost,
// repeated or shifted block is more: everything after it disagrees.
inline bool OnlyWhatDroppedPeriodsDo(const Comparison& c, uint64_t periods)
{
    return c.bursts <= periods && c.longestBurst <= kFilterSettle;
}

} // namespace testsupport
