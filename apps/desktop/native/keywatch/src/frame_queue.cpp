#include "frame_queue.h"

#include "failures.h"
#include "module_clock.h"

namespace keywatch {

CaptureFrame defaultFrame() {
    CaptureFrame frame = {frameReset, 0, 0.0, KeyOther, 0, 0, 0, reason::backend};
    return frame;
}

static CaptureFrame makeFrame(uint32_t kind, uint64_t sequence, double timeMs, const char * why) {
    CaptureFrame frame = defaultFrame();
    frame.kind         = kind;
    frame.sequence     = sequence;
    frame.sourceMs     = timeMs;
    frame.reason       = why;
    return frame;
}

void resetCapture(CaptureState * state, const char * failure, const char * reason, double timeMs) {
    quillet::lockCheckHeld(&state->lock, "resetCapture");
    state->failure = failure;
    state->armed.exchange(0);
    clearHeld(&state->held);
    state->epoch += 1;
    state->mismatchPending = 0;
    state->lastSequence    = 1;
    state->frameCount      = 1;
    state->frames[0]       = makeFrame(frameReset, 1, timeMs, reason);
}

void failCapture(CaptureState * state, const char * failure) {
    ScopedLock held(&state->lock);
    resetCapture(state, failure, reason::backend, moduleClockMs());
}

void resetCaptureOnce(CaptureState * state, const char * failure, const char * reason) {
    ScopedLock held(&state->lock);
    if (state->armed.load() == 0 && state->failure != nullptr && sameFailure(state->failure, failure)) {
        state->mismatchPending = 0;
    } else {
        resetCapture(state, failure, reason, moduleClockMs());
    }
}

void armCapture(CaptureState * state, double timeMs, uint8_t modifierMask, bool otherHeld) {
    quillet::lockCheckHeld(&state->lock, "armCapture");
    state->epoch += 1;
    state->frames[0]      = makeFrame(frameReset, 1, timeMs, reason::backend);
    CaptureFrame snapshot = makeFrame(frameSnapshot, 2, timeMs, reason::backend);
    snapshot.heldMask     = modifierMask;
    snapshot.otherInput   = otherHeld ? 1 : 0;
    state->frames[1]      = snapshot;
    state->lastSequence   = 2;
    state->frameCount     = 2;
    clearHeld(&state->held);
    state->armed.exchange(1);
    state->failure         = nullptr;
    state->mismatchPending = 0;
}

void pushTransition(CaptureState * state, DeviceHandle device, const DecodedKey & key, double timeMs) {
    ScopedLock held(&state->lock);
    if (state->armed.load() == 0) {
        return;
    }
    const HeldTransition transition = applyTransition(&state->held, device, key);
    if (transition.failure != nullptr) {
        resetCapture(state, transition.failure, reason::incomplete, moduleClockMs());
    } else if (!transition.changed) {
        // an auto-repeat, an artefact, or a key that leaves the held state as it was
    } else if (state->frameCount < frameQueueCapacity) {
        state->lastSequence += 1;
        CaptureFrame event                 = makeFrame(frameEvent, state->lastSequence, timeMs, reason::backend);
        event.keyId                        = transition.keyId;
        event.down                         = transition.down ? 1 : 0;
        state->frames[state->frameCount++] = event;
    } else {
        resetCapture(state, failure::nativeQueueOverflow, reason::overflow, moduleClockMs());
    }
}

void drainCapture(CaptureState * state, DrainCopy * out) {
    ScopedLock held(&state->lock);
    out->running             = state->running != 0;
    out->failure             = state->failure;
    out->epoch               = state->epoch;
    out->clockMs             = moduleClockMs();
    out->frameCount          = state->frameCount;
    const CaptureFrame empty = defaultFrame();
    for (uint64_t i = 0; i < state->frameCount; i++) {
        out->frames[i] = state->frames[i];
    }
    // Resets rewrite only slot 0, so stale frames can sit beyond the count:
    // clear every slot, not just the drained ones.
    for (int i = 0; i < frameQueueCapacity; i++) {
        state->frames[i] = empty;
    }
    state->frameCount = 0;
}

} // namespace keywatch
