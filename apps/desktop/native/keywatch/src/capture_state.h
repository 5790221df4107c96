// The per-environment capture record. Everything shared between the JS
// thread and the capture worker lives here behind `lock`; fields marked
// worker-only are touched by the worker alone once set up.
#pragma once

#include <atomic>
#include <stdint.h>

#include "frame.h"
#include "held_keys.h"
#include "message_clock.h"
#include "platform.h"

namespace keywatch {

struct CaptureState {
    ExclusiveLock        lock;
    uint64_t             epoch;            // +1 at every reset and every arming
    CaptureFrame         frames[frameQueueCapacity];
    uint64_t             frameCount;
    uint64_t             lastSequence;     // of the last frame queued in this epoch
    HeldKeyTable         held;
    uint8_t              pollSample[4];
    double               mismatchSinceMs;
    uint8_t              mismatchPending;
    MessageClock         clock;            // worker-only
    PlatformHandle       workerThread;
    PlatformHandle       stopEvent;        // manual reset: the worker is to end
    PlatformHandle       readyEvent;       // manual reset: the worker's set-up is done
    uint8_t              running;
    std::atomic<uint8_t> armed;            // written by exchange under lock; read early without it
    const char *         failure;          // why not armed; null while armed and before any start
    WindowHandle         window;
    uint8_t              sessionInactive;  // worker-only
    double               lastPollMs;       // worker-only
    double               lastGoodPollMs;   // worker-only
};

// Guards every inspection and change of the process's raw input
// registrations, so two instances cannot interleave inspect-then-register.
extern ExclusiveLock rawInputOwnershipLock;

// Null when memory is short; never throws.
CaptureState * captureStateCreate();
// After stopCapture: waits without limit for a worker that is still ending,
// then frees the record.
void           captureStateDestroy(CaptureState * state);

struct CaptureStatus {
    bool         running;
    const char * failure;
    uint64_t     epoch;
};

// Takes lock.
CaptureStatus  captureStatus(CaptureState * state);

} // namespace keywatch
