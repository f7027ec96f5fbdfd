#pragma once
// The joystick service over SDL2: capture opens the SDL joystick whose index is the id; SDL's
// signed axis value v is the unsigned reading v + 32768.

#include "platform/joystick/Joystick.h"

#include <array>

struct _SDL_Joystick;

namespace joystick {

class SdlJoystickService final : public JoystickService {
public:
    // UI thread only.
    SdlJoystickService();
    ~SdlJoystickService() override;
    SdlJoystickService(const SdlJoystickService&) = delete;
    SdlJoystickService& operator=(const SdlJoystickService&) = delete;

    MMRESULT joySetCapture(Window* window, uint32_t id, uint32_t periodMs, bool changedOnly) override;
    MMRESULT joySetThreshold(uint32_t id, uint32_t threshold) override;
    MMRESULT joyGetDevCaps(uint32_t id, JOYCAPS* caps) override;
    MMRESULT joyReleaseCapture(uint32_t id) override;
    void Poll() override;
    bool Capturing() const override { return window_ != nullptr; }

private:
    bool ready_ = false;
    Window* window_ = nullptr;
    uint32_t id_ = 0;
    _SDL_Joystick* joystick_ = nullptr;
    // The last readings sent: X, Y, Z.
    std::array<uint32_t, 3> last_{};
    bool haveLast_ = false;
    uint32_t pollsSinceLost_ = 0;
};

} // namespace joystick
