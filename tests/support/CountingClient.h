#pragma once
// An engine stand-in for a device's own tests: counts what the device captures and plays
// silence, or a steady level when told.

#include "platform/wave/Duplex.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace testsupport {

class CountingClient final : public wave::AudioClient {
public:
    void captured(const uint8_t*, uint32_t bytes) override { capturedBytes.fetch_add(bytes); }
    void play(uint8_t* dst, uint32_t bytes) override
    {
        const int16_t v = level.load();
        for (uint32_t i = 0; i + 1 < bytes; i += 2)
            std::memcpy(dst + i, &v, 2);
    }
    uint32_t waiting() const override { return 0; }
    int64_t behind() const override { return 0; }
    uint32_t phase(uint32_t, bool, uint32_t) override { return 0; }
    void cushion(uint32_t) override {}
    void keepPhase() override {}
    void resumed() override {}
    std::atomic<uint64_t> capturedBytes{0};
    std::atomic<int16_t> level{0};
};

} // namespace testsupport
