// The pedal on the event path as the program runs it: input events written to a descriptor
// that Qt's event loop watches. Prints a move's time to TargetDepth (goal: median at most
// 0.5 ms), and with the pedal at rest the UI thread's wake-ups a second (goal: at most 2)
// and the CPU it takes (goal: well under 1 % of a core).

#include "config/Settings.h"
#include "effect/FX.h"
#include "pedal/Pedal.h"
#include "platform/joystick/EventJoystick.h"
#include "platform/joystick/FedControllers.h"
#include "ui/QtEventLoop.h"

#include <QCoreApplication>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kMoveMs = 3000;
constexpr int kRestMs = 10000;
// Moves come at uneven moments, 3 to 7 ms apart, as a foot's do.
constexpr int kFirstGapMs = 3;
constexpr int kGapSpread = 5;
constexpr int32_t kStep = 7919;
constexpr int32_t kSweep = 60000;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Usage {
    double cpuSeconds = 0.0;
    long wakeUps = 0;
};

// The process's CPU, and the calling thread's voluntary switches: each time it slept
// after being woken.
Usage Now()
{
    rusage self{};
    rusage thread{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_THREAD, &thread);
    Usage u;
    u.cpuSeconds = double(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                   double(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    u.wakeUps = thread.ru_nvcsw;
    return u;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QtEventLoop loop;
    joystick::FedControllers controllers;
    const size_t pedal = controllers.Plug({{ABS_X, 0, 1023, 0}, {ABS_Y, -32768, 32767, -32768}, {ABS_Z, 0, 255, 0}});
    joystick::EventJoystickService service(loop, controllers);
    Settings.UsingMouse = false;
    Settings.PedalDevice = 0;
    Settings.PedalAxis = 1;

    // Every accepted movement sets TargetDepth and then moves the slider: the time is taken there.
    std::atomic<int64_t> sentAt{0};
    std::vector<double> latencies;
    OpenPedal(service, [&](int32_t) {
        const int64_t at = sentAt.exchange(0);
        if (at)
            latencies.push_back(double(NowNs() - at) / 1e6);
    });
    if (!service.Capturing()) {
        std::fprintf(stderr, "bench_pedal: the fed pedal could not be captured\n");
        return 1;
    }

    std::atomic<bool> moving{true};
    std::thread foot([&] {
        for (int step = 1; moving; ++step) {
            const int32_t value = (step * kStep) % kSweep - kSweep / 2;
            sentAt = NowNs();
            controllers.Move(pedal, ABS_Y, value);
            std::this_thread::sleep_for(std::chrono::milliseconds(kFirstGapMs + step % kGapSpread));
        }
    });
    QTimer::singleShot(kMoveMs, [&] { app.quit(); });
    app.exec();
    moving = false;
    foot.join();
    // The last move may still wait on the descriptor.
    QCoreApplication::processEvents();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        std::printf("move to TargetDepth over %zu moves: median %.3f ms, 99th %.3f ms, max %.3f ms "
                    "(goal: median <= 0.5 ms)\n",
                    latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                    latencies.back());

    // At rest: nothing is written; the one wake-up expected is the timer that ends the run.
    const Usage before = Now();
    const int64_t start = NowNs();
    QTimer::singleShot(kRestMs, [&] { app.quit(); });
    app.exec();
    const Usage after = Now();
    const double seconds = double(NowNs() - start) / 1e9;
    const double cpu = after.cpuSeconds - before.cpuSeconds;
    std::printf("at rest for %.1f s: %ld wake-ups of the UI thread = %.2f a second (goal <= 2), %.4f s CPU = "
                "%.3f %% of one core (goal well under 1 %%)\n",
                seconds, after.wakeUps - before.wakeUps, double(after.wakeUps - before.wakeUps) / seconds, cpu,
                100.0 * cpu / seconds);
    ReleasePedal();
}
