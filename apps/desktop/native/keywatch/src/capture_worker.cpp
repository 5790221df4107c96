#include "capture_worker.h"

#include "failures.h"
#include "frame_queue.h"
#include "input_environment.h"
#include "module_clock.h"
#include "raw_input.h"
#include "raw_input_owner.h"
#include "windows_codes.h"

namespace keywatch {

using quillet::sessionConsoleConnect;
using quillet::sessionConsoleDisconnect;
using quillet::sessionLock;
using quillet::sessionLogoff;
using quillet::sessionLogon;
using quillet::sessionRemoteDisconnect;
using quillet::sessionUnlock;

enum : uint32_t {
    handshakeWaitMs   = 500,
    workerWaitMs      = 25,
    dispatchesPerWake = 64,
};

static bool isSet(PlatformHandle event) { return handleWait(event, 0) == waitSignalled; }

void startCapture(CaptureState * state) {
    quillet::affinityCheck(&state->jsThread, "startCapture");
    if (state->workerThread != nullptr && handleWait(state->workerThread, 0) != waitSignalled) {
        return; // alive: nothing changes
    }
    captureHandlesClose(state);
    {
        ScopedLock held(&state->lock);
        state->running = 0;
        resetCapture(state, failure::awaitingNeutral, reason::backend, moduleClockMs());
    }

    state->stopEvent  = eventCreate();
    state->readyEvent = eventCreate();
    if (state->stopEvent == nullptr || state->readyEvent == nullptr) {
        failCapture(state, failure::controlEventCreate);
        return;
    }
    state->workerThread = threadStart(captureWorkerMain, state, nullptr);
    if (state->workerThread == nullptr) {
        failCapture(state, failure::threadCreate);
        return;
    }
    if (handleWait(state->readyEvent, handshakeWaitMs) == waitSignalled) {
        return;
    }
    eventSet(state->stopEvent);
    failCapture(state, failure::startupTimeout);
}

void stopCapture(CaptureState * state) {
    quillet::affinityCheck(&state->jsThread, "stopCapture");
    if (state->workerThread != nullptr) {
        eventSet(state->stopEvent);
        if (handleWait(state->workerThread, handshakeWaitMs) != waitSignalled) {
            // The worker keeps ending; a later stop, start or the clean-up hook deals with it.
            failCapture(state, failure::shutdownTimeout);
            return;
        }
    }
    captureHandlesClose(state);
}

bool workerSetUp(CaptureState * state, WorkerRun * run) {
    quillet::affinityBind(&state->workerAffinity);
    run->classRegistered   = false;
    run->rawRegistered     = false;
    run->sessionRegistered = false;
    WindowHandle window    = nullptr;
    if (!messageWindowClassRegister(state, captureWindowProc)) {
        failCapture(state, failure::windowClassRegister);
    } else {
        run->classRegistered = true;
        window               = messageWindowCreate(state);
        if (window == nullptr) {
            failCapture(state, failure::messageWindowCreate);
        }
    }
    {
        ScopedLock held(&state->lock);
        state->window = window;
    }
    state->sessionInactive = 0;
    state->lastPollMs      = 0.0;
    state->lastGoodPollMs  = 0.0;

    if (window != nullptr && !isSet(state->stopEvent)) {
        const char * problem = rawInputOwnership(ownershipClaim, window);
        if (problem != nullptr) {
            failCapture(state, problem);
        } else {
            run->rawRegistered = true;
            if (sessionNotificationRegister(window)) {
                run->sessionRegistered = true;
            } else {
                failCapture(state, failure::sessionNotificationRegister);
            }
        }
    }
    const bool loop = run->rawRegistered && run->sessionRegistered;
    {
        ScopedLock held(&state->lock);
        state->running = loop && !isSet(state->stopEvent);
    }
    eventSet(state->readyEvent);
    return loop;
}

bool workerStep(CaptureState * state, WorkerRun *) {
    quillet::affinityCheck(&state->workerAffinity, "workerStep");
    if (isSet(state->stopEvent)) {
        return false;
    }
    const uint32_t woke = messageWait(state->stopEvent, workerWaitMs);
    if (woke == waitSignalled) {
        return false;
    }
    if (woke != waitInput && woke != waitTimeout) {
        failCapture(state, failure::messageWait);
        return false;
    }
    for (uint32_t dispatched = 0; dispatched < dispatchesPerWake && !isSet(state->stopEvent);) {
        const MessagePump pumped = messagePumpOne();
        if (pumped == pumpEmpty) {
            break;
        }
        if (pumped == pumpQuit) {
            eventSet(state->stopEvent);
            break;
        }
        dispatched++;
    }
    if (isSet(state->stopEvent)) {
        return false;
    }
    pollInputConsistency(state);
    return true;
}

void workerTearDown(CaptureState * state, WorkerRun * run) {
    quillet::affinityCheck(&state->workerAffinity, "workerTearDown");
    const char * note   = nullptr;
    WindowHandle window = state->window; // written only by this thread
    if (run->sessionRegistered && !sessionNotificationUnregister(window)) {
        note = failure::sessionNotificationRemove;
    }
    if (run->rawRegistered) {
        const char * problem = rawInputOwnership(ownershipRelease, window);
        if (problem != nullptr) {
            note = problem;
        }
    }
    if (window != nullptr && !windowDestroy(window)) {
        note = failure::messageWindowDestroy;
    }
    {
        ScopedLock held(&state->lock);
        state->window = nullptr;
    }
    if (run->classRegistered && !messageWindowClassUnregister(state)) {
        note = failure::windowClassUnregister;
    }
    ScopedLock   held(&state->lock);
    const char * final = note != nullptr ? note : state->failure;
    if (sameFailure(final, failure::awaitingNeutral)) {
        final = nullptr;
    }
    resetCapture(state, final, reason::shutdown, moduleClockMs());
    state->running = 0;
    quillet::affinityUnbind(&state->workerAffinity);
}

uint32_t KEYWATCH_CALLBACK captureWorkerMain(void * argument) {
    CaptureState * state = static_cast<CaptureState *>(argument);
    WorkerRun      run;
    if (workerSetUp(state, &run)) {
        while (workerStep(state, &run)) {
        }
    }
    workerTearDown(state, &run);
    return 0;
}

intptr_t KEYWATCH_CALLBACK captureWindowProc(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    CaptureState * state = static_cast<CaptureState *>(windowUserData(window));
    if (message == messageNcCreate) {
        state = static_cast<CaptureState *>(windowCreateParameter(lParam));
        windowSetUserData(window, state);
    }
    if (state != nullptr && !isSet(state->stopEvent)) {
        switch (message) {
            case messageInput: handleRawInput(state, lParam); break;
            case messageInputDeviceChange:
                if (wParam == quillet::deviceRemoval) {
                    resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
                } else {
                    resetCaptureOnce(state, failure::deviceArrived, reason::incomplete);
                }
                break;
            case messageSessionChange:
                if (wParam == sessionConsoleDisconnect || wParam == sessionRemoteDisconnect ||
                    wParam == sessionLogoff || wParam == sessionLock) {
                    state->sessionInactive = 1;
                } else if (wParam == sessionConsoleConnect || wParam == sessionLogon || wParam == sessionUnlock) {
                    state->sessionInactive = 0;
                }
                resetCaptureOnce(state, failure::sessionChanged, reason::session);
                break;
            case messageDestroy: eventSet(state->stopEvent); break;
            default: break;
        }
    }
    return windowDefaultProcedure(window, message, wParam, lParam);
}

} // namespace keywatch
