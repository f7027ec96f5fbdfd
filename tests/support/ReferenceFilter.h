#pragma once
// The sweep filter's recursion written again from its description alone, as the oracle for
// the filter and for everything downstream of it: the unnormalised cookbook low-pass, each
// output divided by a0, clamped then truncated, the history keeping the unclamped value.

#include <cmath>
#include <cstdint>

namespace testsupport {

struct ReferenceFilter {
    double b0 = 0, b1 = 0, b2 = 0, a0 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    ReferenceFilter() = default;
    ReferenceFilter(double offset, double q, double depth) { set(offset, q, depth); }

    void set(double offset, double q, double depth)
    {
        const double pi12 = 3.141592653589;
        const double w = pi12 * std::exp(6.0 * (((1.0 - offset) * depth + offset) - 1.0));
        const double cosw = std::cos(w);
        const double alpha = std::sin(w) / (2.0 * q);
        b0 = (1.0 - cosw) / 2.0;
        b1 = 1.0 - cosw;
        b2 = b0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cosw;
        a2 = 1.0 - alpha;
    }

    int16_t step(int16_t in)
    {
        const double x = in;
        const double y = (b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        if (std::isnan(y) || y < -32768.0)
            return -32768;
        if (y > 32767.0)
            return 32767;
        return static_cast<int16_t>(std::trunc(y));
    }
};

} // namespace testsupport
