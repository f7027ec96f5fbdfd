// The pedal path on an SDL virtual joystick polled by a 1 ms precise Qt timer: the time from
// an axis change to the new TargetDepth, and the CPU cost of polling in pedal mode.

#include "config/Settings.h"
#include "effect/FX.h"
#include "pedal/Pedal.h"
#include "platform/joystick/SdlJoystick.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <SDL.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    joystick::SdlJoystickService service;
    const int index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 3, 0, 0);
    SDL_Joystick* pedal = SDL_JoystickOpen(index);
    Settings.UsingMouse = false;
    Settings.PedalDevice = 0;
    Settings.PedalAxis = 1;
    OpenPedal(service, {});

    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] { service.Poll(); });
    poll.start(1);

    // Latency: move the axis at uneven moments and time until the target follows.
    std::vector<double> latencies;
    QElapsedTimer clock;
    clock.start();
    int step = 0;
    qint64 movedAt = 0;
    double before = TargetDepth;
    QTimer mover;
    mover.setTimerType(Qt::PreciseTimer);
    QObject::connect(&mover, &QTimer::timeout, [&] {
        SDL_JoystickSetVirtualAxis(pedal, 1, Sint16((step * 7919) % 60000 - 30000));
        before = TargetDepth;
        movedAt = clock.nsecsElapsed();
        ++step;
        mover.setInterval(3 + step % 5);
    });
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (movedAt && TargetDepth != before) {
            latencies.push_back(double(clock.nsecsElapsed() - movedAt) / 1e6);
            movedAt = 0;
        }
    });
    mover.start(3);
    QTimer::singleShot(3000, [&] { app.quit(); });
    app.exec();
    mover.stop();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        std::printf("axis change to TargetDepth over %zu changes: median %.3f ms, 99th %.3f ms, max %.3f ms "
                    "(goal <= 2 ms)\n",
                    latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                    latencies.back());

    // Polling cost with the pedal at rest.
    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(10000, [&] { app.quit(); });
    app.exec();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("polling at rest: %.3f s CPU in %.1f s = %.2f %% of one core (goal <= 1 %%)\n", cpu,
                double(wall.elapsed()) / 1000.0, 100.0 * cpu / (double(wall.elapsed()) / 1000.0));
    ReleasePedal();
    SDL_JoystickClose(pedal);
    SDL_JoystickDetachVirtual(index);
}
