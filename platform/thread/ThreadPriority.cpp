#include "platform/thread/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace thread {
namespace {

constexpr int kNormalNice = 0;
constexpr int kHighNice = -10;
constexpr int kRealtimePriority = 10;

bool SetNice(int nice)
{
    // On Linux the nice value of a thread id affects that thread alone.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    return setpriority(PRIO_PROCESS, tid, nice) == 0;
}

} // namespace

PriorityClass PriorityFor(int32_t priority)
{
    switch (priority) {
    case 1: return PriorityClass::High;
    case 2: return PriorityClass::Realtime;
    default: return PriorityClass::Normal;
    }
}

bool SetCurrentThreadPriority(int32_t priority)
{
    sched_param param{};
    switch (PriorityFor(priority)) {
    case PriorityClass::Normal:
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        return SetNice(kNormalNice);
    case PriorityClass::High:
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        return SetNice(kHighNice);
    case PriorityClass::Realtime:
        param.sched_priority = kRealtimePriority;
        return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }
    return false;
}

} // namespace thread
