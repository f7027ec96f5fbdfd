#pragma once
// The end-to-end tests' known signal and what the program must make of it.

#include "config/Settings.h"
#include "effect/FX.h"

#include <cmath>
#include <cstdint>
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

// The program's start-up values: offset 0.10, Q 9.0, depth 0.99, mouse mode. The parameters
// do not move, so how the stream cuts the sound into blocks does not change the result.
inline std::vector<int16_t> Filtered(std::vector<int16_t> in)
{
    fx::ResetForTests();
    Settings.UsingMouse = true;
    FreqOffset = 0.10;
    Resonance = 9.0;
    ResetDepth();
    for (size_t at = 0; at < in.size(); at += 500)
        ProcessBuffer(in.data() + at, int32_t(std::min<size_t>(500, in.size() - at)));
    return in;
}

} // namespace testsupport
