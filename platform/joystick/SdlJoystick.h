#pragma once
// The joystick service over SDL2: capture opens the SDL joystick whose index is the id; SDL's
// signed axis value v is the unsigned reading v + 32768. SDL offers no wait that is free at
// rest, so the program reads its joysticks through input events (EventJoystick.h); this one
// serves SDL's virtual joysticks, which tests move and then read with Poll().

#include "platform/joystick/Joystick.h"

#include <array>

struct _SDL_Joystick;

namespace joystick {

class SdlJoystickService final : public CaptureService {
public:
    // UI thread only.
    SdlJoystickService();
    ~SdlJoystickService() override;
    SdlJoystickService(const SdlJoystickService&) = delete;
    SdlJoystickService& operator=(const SdlJoystickService&) = delete;

    MMRESULT joySetCapture(Window* window, uint32_t id, uint32_t periodMs, bool changedOnly) override;
    MMRESULT joyReleaseCapture(uint32_t id) override;
    // Reads the captured joystick now and sends the messages for what changed; an unplugged
    // one is looked for again every 500th call.
    void Poll();

private:
    static constexpr uint32_t kMaxButtons = 64;
    uint32_t ButtonCount() const override;
    // The buttons down now, one bit each.
    uint64_t Buttons() const;

    bool ready_ = false;
    _SDL_Joystick* joystick_ = nullptr;
    // The last readings sent: X, Y, Z.
    std::array<uint32_t, 3> last_{};
    uint64_t buttons_ = 0;
    bool haveLast_ = false;
    uint32_t pollsSinceLost_ = 0;
};

} // namespace joystick
