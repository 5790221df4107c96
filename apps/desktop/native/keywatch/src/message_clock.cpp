#include "message_clock.h"

#include <math.h>

#include "module_clock.h"
#include "platform.h"

namespace keywatch {

bool calibrateMessageClock(MessageClock * clock) {
    const double   h = moduleClockMs();
    const uint64_t f = tickCount64();
    const double   l = moduleClockMs();
    if (!isfinite(h) || !isfinite(l) || h < 32.0 || h > l || l - h > 2.0) {
        return false;
    }
    clock->offsetMs      = h - (double) f - 32.0;
    clock->lastClockMs   = l;
    clock->lastTick      = f;
    clock->lastMessageMs = -1.0;
    clock->valid         = true;
    return true;
}

bool messageClockContinuous(MessageClock * clock, uint64_t tick, double nowMs) {
    if (!clock->valid || !isfinite(nowMs) || tick < clock->lastTick || nowMs < clock->lastClockMs ||
        tick - clock->lastTick > 2000 || nowMs - clock->lastClockMs > 2000.0 ||
        fabs(nowMs - (double) tick - clock->offsetMs - 32.0) > 32.0) {
        return false;
    }
    clock->lastClockMs = nowMs;
    clock->lastTick    = tick;
    return true;
}

} // namespace keywatch
