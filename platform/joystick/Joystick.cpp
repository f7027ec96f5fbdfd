#include "platform/joystick/Joystick.h"

namespace joystick {

intptr_t DefWindowProc(const Window&, uint32_t, uintptr_t, intptr_t)
{
    return 0;
}

MessageIds MessagesFor(uint32_t id)
{
    if (id == 1)
        return {MM_JOY2MOVE, MM_JOY2ZMOVE, MM_JOY2BUTTONDOWN};
    return {MM_JOY1MOVE, MM_JOY1ZMOVE, MM_JOY1BUTTONDOWN};
}

MMRESULT CaptureService::joySetThreshold(uint32_t id, uint32_t)
{
    // The only threshold the program asks for is 0.
    return window_ && id == id_ ? JOYERR_NOERROR : JOYERR_PARMS;
}

MMRESULT CaptureService::joyGetDevCaps(uint32_t id, JOYCAPS* caps)
{
    if (!caps || id >= kMaxJoysticks)
        return JOYERR_PARMS;
    caps->wXmin = 0;
    caps->wXmax = kReadingMax;
    caps->wNumButtons = window_ && id == id_ ? ButtonCount() : 0;
    return JOYERR_NOERROR;
}

} // namespace joystick
