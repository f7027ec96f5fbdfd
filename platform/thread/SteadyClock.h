#pragma once
// One reading of the steady clock in nanoseconds, for the realtime threads that time what the
// servers do: no system call beyond the vDSO's clock, nothing allocated.

#include <chrono>
#include <cstdint>

namespace thread {

inline int64_t SteadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace thread
