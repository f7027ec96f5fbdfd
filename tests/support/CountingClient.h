#pragma once
// An engine stand-in for a device's own tests: counts what the device captures and plays
// silence.

#include "platform/wave/Duplex.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace testsupport {

class CountingClient final : public wave::AudioClient {
public:
    void captured(const uint8_t*, uint32_t bytes) override { capturedBytes.fetch_add(bytes); }
    void play(uint8_t* dst, uint32_t bytes) override { std::fill(dst, dst + bytes, uint8_t(0)); }
    uint32_t waiting() const override { return 0; }
    int64_t behind() const override { return 0; }
    uint32_t phase(uint32_t, bool, uint32_t) override { return 0; }
    void cushion(uint32_t) override {}
    void keepPhase() override {}
    void resumed() override {}
    std::atomic<uint64_t> capturedBytes{0};
};

} // namespace testsupport
