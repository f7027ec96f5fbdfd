#pragma once
// Plays the scripted wave device's part while the Qt event loop runs: each turn a captured
// buffer comes back, and a played one. The stop sequence's waits turn the loop.

#include "support/ScriptedWave.h"

#include <QTimer>

namespace testsupport {

class DeviceDriver {
public:
    explicit DeviceDriver(wave::ScriptedWaveService& device)
    {
        QObject::connect(&timer_, &QTimer::timeout, [&device] {
            device.completeInput();
            device.completeOutput();
        });
        timer_.start(0);
    }

private:
    QTimer timer_;
};

} // namespace testsupport
