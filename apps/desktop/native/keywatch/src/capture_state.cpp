#include "capture_state.h"

#include <new>

#include "failures.h"
#include "frame_queue.h"

namespace keywatch {

CaptureState * captureStateCreate() {
    CaptureState * state = new (std::nothrow) CaptureState;
    if (state == nullptr) {
        return nullptr;
    }
    lockInit(&state->lock);
    state->epoch = 0;
    for (int i = 0; i < frameQueueCapacity; i++) {
        state->frames[i] = defaultFrame();
    }
    state->frameCount   = 0;
    state->lastSequence = 0;
    clearHeld(&state->held);
    for (int i = 0; i < 4; i++) {
        state->pollSample[i] = 0;
    }
    state->mismatchSinceMs     = 0.0;
    state->mismatchPending     = 0;
    state->clock.offsetMs      = 0.0;
    state->clock.lastClockMs   = 0.0;
    state->clock.lastMessageMs = -1.0;
    state->clock.lastTick      = 0;
    state->clock.valid         = false;
    state->workerThread        = nullptr;
    state->stopEvent           = nullptr;
    state->readyEvent          = nullptr;
    state->running             = 0;
    state->armed.store(0);
    state->failure         = nullptr;
    state->window          = nullptr;
    state->sessionInactive = 0;
    state->lastPollMs      = 0.0;
    state->lastGoodPollMs  = 0.0;
    quillet::affinityBind(&state->jsThread);
    state->workerAffinity.thread = 0;
    return state;
}

void captureStateDestroy(CaptureState * state) {
    if (state == nullptr) {
        return;
    }
    // A worker whose stop timed out still uses the record: wait for it
    // without limit, however long its teardown takes. The stop has already
    // told it to end.
    if (state->workerThread != nullptr) {
        handleWait(state->workerThread, waitInfinite);
    }
    captureHandlesClose(state);
    lockDestroy(&state->lock);
    delete state;
}

void captureHandlesClose(CaptureState * state) {
    quillet::affinityCheck(&state->jsThread, "captureHandlesClose");
    handleClose(state->workerThread);
    handleClose(state->readyEvent);
    handleClose(state->stopEvent);
    state->workerThread = nullptr;
    state->readyEvent   = nullptr;
    state->stopEvent    = nullptr;
}

CaptureStatus captureStatus(CaptureState * state) {
    ScopedLock held(&state->lock);
    return {state->running != 0, state->failure, state->epoch};
}

} // namespace keywatch
