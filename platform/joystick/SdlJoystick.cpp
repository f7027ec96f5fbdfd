#include "platform/joystick/SdlJoystick.h"

#include <SDL.h>

namespace joystick {
namespace {

constexpr uint32_t kMaxJoysticks = 16;
constexpr int32_t kAxisOffset = 32768;
constexpr uint32_t kReadingMax = 65535;
// An unplugged pedal is looked for again about every half second (polls are 1 ms apart).
constexpr uint32_t kReopenEveryPolls = 500;

uint32_t Reading(SDL_Joystick* j, int axis)
{
    if (axis >= SDL_JoystickNumAxes(j))
        return uint32_t(kAxisOffset);
    return uint32_t(int32_t(SDL_JoystickGetAxis(j, axis)) + kAxisOffset);
}

} // namespace

intptr_t DefWindowProc(const Window&, uint32_t, uintptr_t, intptr_t)
{
    return 0;
}

SdlJoystickService::SdlJoystickService()
{
    ready_ = SDL_InitSubSystem(SDL_INIT_JOYSTICK) == 0;
}

SdlJoystickService::~SdlJoystickService()
{
    if (joystick_)
        SDL_JoystickClose(joystick_);
    if (ready_)
        SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
}

MMRESULT SdlJoystickService::joySetCapture(Window* window, uint32_t id, uint32_t, bool)
{
    if (!ready_ || !window || id >= kMaxJoysticks)
        return JOYERR_PARMS;
    if (window_)
        return JOYERR_NOCANDO;
    SDL_JoystickUpdate();
    joystick_ = SDL_JoystickOpen(int(id));
    if (!joystick_)
        return JOYERR_UNPLUGGED;
    window_ = window;
    id_ = id;
    // Only changes from here on are reported: where the pedal rests at start says nothing.
    last_ = {Reading(joystick_, 0), Reading(joystick_, 1), Reading(joystick_, 2)};
    haveLast_ = true;
    return JOYERR_NOERROR;
}

MMRESULT SdlJoystickService::joySetThreshold(uint32_t id, uint32_t)
{
    // Every change is reported: the only threshold the program asks for is 0.
    return window_ && id == id_ ? JOYERR_NOERROR : JOYERR_PARMS;
}

MMRESULT SdlJoystickService::joyGetDevCaps(uint32_t id, JOYCAPS* caps)
{
    if (!caps || id >= kMaxJoysticks)
        return JOYERR_PARMS;
    caps->wXmin = 0;
    caps->wXmax = kReadingMax;
    return JOYERR_NOERROR;
}

MMRESULT SdlJoystickService::joyReleaseCapture(uint32_t id)
{
    if (!window_ || id != id_)
        return JOYERR_PARMS;
    if (joystick_)
        SDL_JoystickClose(joystick_);
    joystick_ = nullptr;
    window_ = nullptr;
    return JOYERR_NOERROR;
}

void SdlJoystickService::Poll()
{
    if (!window_)
        return;
    SDL_JoystickUpdate();
    if (joystick_ && !SDL_JoystickGetAttached(joystick_)) {
        // Unplugged: the depth stays where it was until the pedal comes back.
        SDL_JoystickClose(joystick_);
        joystick_ = nullptr;
        pollsSinceLost_ = 0;
    }
    if (!joystick_) {
        if (++pollsSinceLost_ < kReopenEveryPolls)
            return;
        pollsSinceLost_ = 0;
        joystick_ = SDL_JoystickOpen(int(id_));
        haveLast_ = false;
        if (!joystick_)
            return;
    }
    const std::array<uint32_t, 3> now{Reading(joystick_, 0), Reading(joystick_, 1), Reading(joystick_, 2)};
    const uint32_t buttons = 0;
    const uint32_t move = id_ == 1 ? MM_JOY2MOVE : MM_JOY1MOVE;
    const uint32_t zmove = id_ == 1 ? MM_JOY2ZMOVE : MM_JOY1ZMOVE;
    if (!haveLast_ || now[0] != last_[0] || now[1] != last_[1])
        window_->procedure(move, buttons, intptr_t(now[0] | (now[1] << 16)));
    // The procedure may have released the capture.
    if (window_ && (!haveLast_ || now[2] != last_[2]))
        window_->procedure(zmove, buttons, intptr_t(now[2]));
    last_ = now;
    haveLast_ = true;
}

} // namespace joystick
