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

} // namespace joystick
