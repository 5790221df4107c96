// The frame queue: every operation that writes it (resets, arming, pushes)
// and the drain that empties it. Each reset or arming starts a new epoch
// whose first frame is a reset with sequence 1; sequences have no gaps.
#pragma once

#include <stdint.h>

#include "capture_state.h"
#include "frame.h"
#include "held_keys.h"
#include "key_decoder.h"

namespace keywatch {

// What a drain takes out under the lock; JS values are built from it after
// the lock is released.
struct DrainCopy {
    bool         running;
    const char * failure;
    uint64_t     epoch;
    double       clockMs;
    uint64_t     frameCount;
    CaptureFrame frames[frameQueueCapacity];
};

// Caller holds lock.
void resetCapture(CaptureState * state, const char * failure, const char * reason, double timeMs);
// Reset with reason "backend" now; takes lock.
void failCapture(CaptureState * state, const char * failure);
// Reset now unless the capture is already disarmed by this very failure, in
// which case only the poll's pending observation is dropped; takes lock.
void resetCaptureOnce(CaptureState * state, const char * failure, const char * reason);
// Caller holds lock.
void armCapture(CaptureState * state, double timeMs, uint8_t modifierMask, bool otherHeld);
// Applies one transition while armed and queues an event when the held state
// changed; takes lock. Never allocates.
void pushTransition(CaptureState * state, DeviceHandle device, const DecodedKey & key, double timeMs);
// Takes lock.
void drainCapture(CaptureState * state, DrainCopy * out);

} // namespace keywatch
