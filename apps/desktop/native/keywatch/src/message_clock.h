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
