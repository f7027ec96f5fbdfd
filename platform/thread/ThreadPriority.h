#pragma once
// Thread priority of the calling thread, by the settings' Priority value.

#include <cstdint>

namespace thread {

enum class PriorityClass { Normal, High, Realtime };

// 0 normal, 1 high, 2 realtime; any other value runs as normal.
PriorityClass PriorityFor(int32_t priority);

// Normal: nice 0. High: nice -10. Realtime: SCHED_FIFO. A refusal by the system is silent,
// and so the result is only for tests and logs: true when the system accepted it.
// Called on the thread whose priority changes.
bool SetCurrentThreadPriority(int32_t priority);

} // namespace thread
