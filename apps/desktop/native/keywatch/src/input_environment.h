// When the capture may trust what it sees: the environment checks, and the
// poll that compares the physical key state with the held-key table, arms
// the capture after a neutral keyboard and disarms it on disagreement.
#pragma once

#include "capture_state.h"

namespace keywatch {

// The layout whose scan codes the decoder knows: US English, US keyboard.
enum : uintptr_t {
    acceptedKeyboardLayout = 0x04090409
};

// All eight checks in order: the first failure string, or null when fit.
const char * checkInputEnvironment();
// The three cheap ones (remote session, foreground thread, layout), for
// every raw input record.
const char * checkInputEnvironmentQuick();

// Worker thread, after every message batch; samples at most every 25 ms.
void pollInputConsistency(CaptureState * state);

} // namespace keywatch
