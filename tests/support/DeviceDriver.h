#pragma once
// Plays the scripted wave device's part while the Qt event loop runs: each turn a captured
// buffer comes back, and a played one. The stop sequence's waits turn the loop.

#include "support/ScriptedWave.h"

#include <QTimer>

namespace testsupport {

class DeviceDriver {
public:
    // Every turn of the loop by default; every intervalMs where a test wants the pace of real
    // sound (a 1000-byte block at 44100 Hz is 11 ms), so that a take's writer keeps up as it
    // does with a real card.
    explicit DeviceDriver(wave::ScriptedWaveService& device, int intervalMs = 0)
    {
        QObject::connect(&timer_, &QTimer::timeout, [&device] {
            device.completeInput();
            device.completeOutput();
        });
        timer_.start(intervalMs);
    }

private:
    QTimer timer_;
};

} // namespace testsupport
