#include "platform/joystick/SdlJoystick.h"

#include <SDL.h>

#include <algorithm>

namespace joystick {
namespace {

// An unplugged pedal is looked for again about every half second (polls are 1 ms apart).
constexpr uint32_t kReopenEveryPolls = 500;

uint32_t Reading(SDL_Joystick* j, int axis)
{
    if (axis >= SDL_JoystickNumAxes(j))
        return uint32_t(kAxisOffset);
    return uint32_t(int32_t(SDL_JoystickGetAxis(j, axis)) + kAxisOffset);
}

} // namespace

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
    buttons_ = Buttons();
    return JOYERR_NOERROR;
}

uint32_t SdlJoystickService::ButtonCount() const
{
    const int count = joystick_ ? SDL_JoystickNumButtons(joystick_) : 0;
    return count > 0 ? std::min(uint32_t(count), kMaxButtons) : 0;
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
    const uint64_t buttons = Buttons();
    const uint64_t pressed = haveLast_ ? buttons & ~buttons_ : 0;
    const MessageIds ids = MessagesFor(id_);
    const bool moved = !haveLast_ || now[0] != last_[0] || now[1] != last_[1];
    const bool zmoved = !haveLast_ || now[2] != last_[2];
    last_ = now;
    buttons_ = buttons;
    haveLast_ = true;
    const auto halves = intptr_t(now[0] | (now[1] << 16));
    // The procedure may release the capture at any of these.
    if (moved)
        window_->procedure(ids.move, 0, halves);
    if (window_ && zmoved)
        window_->procedure(ids.zmove, 0, intptr_t(now[2]));
    for (uint32_t b = 0; b < kMaxButtons && window_; ++b)
        if (pressed & (uint64_t(1) << b))
            window_->procedure(ids.buttonDown, b + 1, halves);
}

uint64_t SdlJoystickService::Buttons() const
{
    uint64_t down = 0;
    const int count = std::min(SDL_JoystickNumButtons(joystick_), int(kMaxButtons));
    for (int b = 0; b < count; ++b)
        if (SDL_JoystickGetButton(joystick_, b))
            down |= uint64_t(1) << b;
    return down;
}

} // namespace joystick
