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
    ExclusiveLock           lock;                       // guards every field not marked worker-only or atomic
    uint64_t                epoch;                      // +1 at every reset and every arming
    CaptureFrame            frames[frameQueueCapacity]; // queued since the last drain, oldest first
    uint64_t                frameCount;                 // frames in use
    uint64_t                lastSequence;               // of the last frame queued in this epoch
    HeldKeyTable            held;                       // keys down as the capture has seen them
    uint8_t                 pollSample[4];   // the mismatch being watched: polled mask, other, table mask, other
    double                  mismatchSinceMs; // module clock when that mismatch was first seen
    uint8_t                 mismatchPending; // a mismatch (or the neutral wait before arming) is being watched
    MessageClock            clock;           // worker-only
    PlatformHandle          workerThread;    // the capture worker; null when none was started
    PlatformHandle          stopEvent;       // manual reset: the worker is to end
    PlatformHandle          readyEvent;      // manual reset: the worker's set-up is done
    uint8_t                 running;         // the worker is set up and pumping
    std::atomic<uint8_t>    armed;           // written by exchange under lock; read early without it
    const char *            failure;         // why not armed; null while armed and before any start
    WindowHandle            window;          // the worker's message window; set by the worker, under the lock
    uint8_t                 sessionInactive; // worker-only
    double                  lastPollMs;      // worker-only
    double                  lastGoodPollMs;  // worker-only
    quillet::ThreadAffinity jsThread;        // the thread that created the record (checked builds)
    quillet::ThreadAffinity workerAffinity;  // the worker from its set-up to its tear-down (checked builds)
};

// Null when memory is short; never throws.
CaptureState * captureStateCreate();
// After stopCapture: waits without limit for a worker that is still ending,
// then frees the record.
void captureStateDestroy(CaptureState * state);

// Closes the worker's thread and event handles and forgets them; a null one is
// skipped. JS thread, once no worker uses them.
void captureHandlesClose(CaptureState * state);

struct CaptureStatus {
    bool         running;
    const char * failure;
    uint64_t     epoch;
};

// Takes lock.
CaptureStatus captureStatus(CaptureState * state);

} // namespace keywatch
