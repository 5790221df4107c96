// Calibration of raw input message times (tick-count milliseconds) against
// the module clock. Owned by the capture worker alone.
#pragma once

#include <stdint.h>

namespace keywatch {

struct MessageClock {
    double   offsetMs;      // tick count + offsetMs = module-clock milliseconds
    double   lastClockMs;   // module clock at the last passing check or calibration
    double   lastMessageMs; // time of the last accepted record, or of the arming
    uint64_t lastTick;      // tick count at the last passing check or calibration
    bool     valid;         // calibrated at least once
};

} // namespace keywatch

namespace keywatch {

// Takes module clock, tick count, module clock; fails when the two module
// readings are not close and sane. Sets the offset so that a tick maps to
// 32 ms before the module reading beside it.
bool calibrateMessageClock(MessageClock * clock);
// Both clocks moved forward together since the last passing check, by at
// most 2000 ms, with at most 32 ms of drift; records the readings if so.
bool messageClockContinuous(MessageClock * clock, uint64_t tick, double nowMs);

} // namespace keywatch
