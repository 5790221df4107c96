// The handler of every raw input message: read the record, check that input
// may be trusted now, time it on the module clock, and turn it into key or
// button transitions.
#pragma once

#include <stdint.h>

#include "capture_state.h"

namespace keywatch {

// Offsets in the 48-byte record as the platform lays it out (64-bit).
enum : uint32_t {
    rawOffsetType         = 0,
    rawOffsetDevice       = 8,
    rawOffsetMakeCode     = 24,
    rawOffsetFlags        = 26,
    rawOffsetVKey         = 30,
    rawOffsetMessage      = 32,
    rawOffsetButtonFlags  = 28,
    rawKeyboardRecordSize = 40,
    rawTypeMouse          = 0,
    rawTypeKeyboard       = 1,
};

// Worker thread; rawInput is the lParam of the input message.
void handleRawInput(CaptureState * state, intptr_t rawInput);

} // namespace keywatch
