// The capture worker: its start and stop from the JS thread, and on its own
// thread the message-only window, the raw input and session registrations,
// the message loop with the poll, and the teardown.
#pragma once

#include "capture_state.h"

namespace keywatch {

// JS thread; each waits at most 500 ms for the worker.
void startCapture(CaptureState * state);
void stopCapture(CaptureState * state);

// The worker's thread body, in three phases that tests can also drive one
// step at a time on their own thread.
struct WorkerRun {
    bool classRegistered;
    bool rawRegistered;
    bool sessionRegistered;
};
// Set-up, ending with readyEvent set: true when the loop is to run.
bool workerSetUp(CaptureState * state, WorkerRun * run);
// One wait, pump and poll: false when the loop is over.
bool                       workerStep(CaptureState * state, WorkerRun * run);
void                       workerTearDown(CaptureState * state, WorkerRun * run);
uint32_t KEYWATCH_CALLBACK captureWorkerMain(void * state);

intptr_t KEYWATCH_CALLBACK captureWindowProc(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

} // namespace keywatch
