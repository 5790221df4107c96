#include "input_environment.h"

#include <string.h>

#include "failures.h"
#include "frame_queue.h"
#include "module_clock.h"
#include "raw_input_owner.h"
#include "windows_codes.h"

namespace keywatch {

using quillet::modifierVirtualKeys;

const char * checkInputEnvironmentQuick() {
    if (remoteSession()) {
        return failure::remoteSessionUnsupported;
    }
    WindowHandle   foreground = foregroundWindow();
    const uint32_t thread     = foreground != nullptr ? windowThreadProcessId(foreground, nullptr) : 0;
    if (thread == 0) {
        return failure::foregroundInputUnavailable;
    }
    if (keyboardLayout(thread) != acceptedKeyboardLayout) {
        return failure::keyboardLayoutAmbiguous;
    }
    return nullptr;
}

static bool inputDesktopIsOurs() {
    const ScopedDesktop input(inputDesktopOpen());
    if (input.get() == nullptr) {
        return false;
    }
    uint8_t inputName[desktopNameBytes];
    uint8_t ownName[desktopNameBytes];
    // "Default" in UTF-16 with its terminator; the whole name must match.
    static const uint8_t expected[16] = {'D', 0, 'e', 0, 'f', 0, 'a', 0, 'u', 0, 'l', 0, 't', 0, 0, 0};
    const bool           readInput    = desktopName(input.get(), inputName);
    const bool           readOwn      = desktopName(threadDesktop(), ownName);
    return readInput && readOwn && memcmp(inputName, ownName, desktopNameBytes) == 0 &&
           memcmp(inputName, expected, sizeof(expected)) == 0;
}

const char * checkInputEnvironment() {
    const char * quick = checkInputEnvironmentQuick();
    if (quick != nullptr) {
        return quick;
    }
    uint32_t state = 0, stateBytes = 0;
    if (!sessionConnectState(&state, &stateBytes)) {
        return failure::sessionStateUnavailable;
    }
    if (stateBytes != 4 || state != 0) {
        return failure::sessionInactive;
    }
    uint16_t protocol      = 0;
    uint32_t protocolBytes = 0;
    if (!sessionClientProtocol(&protocol, &protocolBytes)) {
        return failure::sessionProtocolUnavailable;
    }
    if (protocolBytes != 2 || protocol != 0) {
        return failure::remoteSessionUnsupported;
    }
    if (!inputDesktopIsOurs()) {
        return failure::inputDesktopUnavailable;
    }
    return nullptr;
}

static void dropPendingObservation(CaptureState * state) {
    ScopedLock held(&state->lock);
    state->mismatchPending = 0;
}

static void watch(CaptureState * state, const uint8_t sample[4], double nowMs) {
    if (!state->mismatchPending || memcmp(state->pollSample, sample, 4) != 0) {
        memcpy(state->pollSample, sample, 4);
        state->mismatchPending = 1;
        state->mismatchSinceMs = nowMs;
    }
}

void pollInputConsistency(CaptureState * state) {
    quillet::affinityCheck(&state->workerAffinity, "pollInputConsistency");
    const double startedMs = moduleClockMs();
    if (startedMs < state->lastPollMs + 25.0 || messageWaiting()) {
        return;
    }
    state->lastPollMs = startedMs;
    if (state->sessionInactive) {
        resetCaptureOnce(state, failure::sessionInactive, reason::session);
        return;
    }
    const char * unfit = checkInputEnvironment();
    if (unfit != nullptr) {
        resetCaptureOnce(state, unfit, reason::session);
        return;
    }
    const char * ownership = rawInputOwnership(ownershipCheck, state->window);
    if (ownership != nullptr) {
        resetCaptureOnce(state, ownership, reason::backend);
        eventSet(state->stopEvent);
        return;
    }

    // Every code is read, so a sampling always costs the same.
    uint8_t mask  = 0;
    bool    other = false;
    for (uint32_t k = 0; k < 8; k++) {
        if (asyncKeyDown(modifierVirtualKeys[k])) {
            mask = (uint8_t) (mask | (1u << k));
        }
    }
    for (uint32_t code = 1; code <= 254; code++) {
        if (asyncKeyDown(code) && !quillet::isModifierVirtualKey(code)) {
            other = true;
        }
    }
    if (messageWaiting()) {
        dropPendingObservation(state);
        return;
    }
    unfit = checkInputEnvironment(); // again: a sampling must not straddle a change
    if (unfit != nullptr) {
        resetCaptureOnce(state, unfit, reason::session);
        return;
    }
    const double sampledMs = moduleClockMs();
    if (sampledMs - startedMs > 20.0) {
        dropPendingObservation(state);
        return;
    }
    state->lastGoodPollMs = sampledMs;

    ScopedLock held(&state->lock);
    if (state->armed.load()) {
        if (!messageClockContinuous(&state->clock, tickCount64(), sampledMs)) {
            resetCapture(state, failure::messageClockDiscontinuity, reason::stale, sampledMs);
        } else {
            const HeldState table     = heldState(&state->held);
            const uint8_t   sample[4] = {mask, (uint8_t) other, table.modifierMask, (uint8_t) table.otherHeld};
            if (table.modifierMask == mask && table.otherHeld == other) {
                state->mismatchPending = 0;
            } else if (!state->mismatchPending || memcmp(state->pollSample, sample, 4) != 0) {
                watch(state, sample, sampledMs);
            } else if (sampledMs >= state->mismatchSinceMs + 25.0) { // seen twice, not a passing glimpse
                resetCapture(state, failure::pollingMismatch, reason::incomplete, sampledMs);
            }
        }
    } else if (mask != 0 || other) {
        state->mismatchPending = 0;
    } else {
        static const uint8_t neutral[4] = {0, 0, 0xFF, 0x01};
        if (!state->mismatchPending || memcmp(state->pollSample, neutral, 4) != 0) {
            watch(state, neutral, sampledMs);
        } else if (sampledMs >= state->mismatchSinceMs + 25.0) {
            if (!calibrateMessageClock(&state->clock)) {
                resetCapture(state, failure::messageClockUnavailable, reason::stale, sampledMs);
            } else {
                const double t             = (double) tickCount64() + state->clock.offsetMs;
                state->clock.lastMessageMs = t;
                armCapture(state, t, 0, false);
            }
        }
    }
}

} // namespace keywatch
