#include "raw_input.h"

#include <string.h>

#include "failures.h"
#include "frame_queue.h"
#include "input_environment.h"
#include "key_decoder.h"
#include "module_clock.h"
#include "windows_codes.h"

namespace keywatch {

static uint16_t read16(const uint8_t * p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}
static uint32_t read32(const uint8_t * p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// The record's time on the module clock, or a negative value when it cannot
// be trusted.
static double recordTime(MessageClock * clock) {
    const uint32_t m          = messageTime();
    const double   now        = moduleClockMs();
    const uint64_t t          = tickCount64();
    const bool     continuous = messageClockContinuous(clock, t, now);
    const uint32_t age        = (uint32_t) t - m; // wraps like the 32-bit message time
    if (!continuous || t < age || age > 2000) {
        return -1.0;
    }
    const double x = (double) (t - age) + clock->offsetMs;
    if (x < 0.0 || x > now || x < clock->lastMessageMs) {
        return -1.0;
    }
    return x;
}

void handleRawInput(CaptureState * state, intptr_t rawInput) {
    quillet::affinityCheck(&state->workerAffinity, "handleRawInput");
    uint8_t        record[rawRecordSize];
    const uint32_t size = rawInputRead(rawInput, record);
    if (size == rawReadFailed || size < rawHeaderSize) {
        resetCaptureOnce(state, failure::rawInputRead, reason::incomplete);
        return;
    }
    const uint32_t type = read32(record + rawOffsetType);
    // Movement and wheel records are most of the traffic; drop them early.
    if (type == rawTypeMouse && size >= rawRecordSize &&
        (read16(record + rawOffsetButtonFlags) & quillet::mouseButtonTransitionBits) == 0) {
        return;
    }
    {
        ScopedLock held(&state->lock);
        state->mismatchPending = 0;
    }

    if (state->sessionInactive || moduleClockMs() - state->lastGoodPollMs > 100.0) {
        resetCaptureOnce(state, failure::inputAvailabilityStale, reason::session);
        return;
    }
    const char * unfit = checkInputEnvironmentQuick();
    if (unfit != nullptr) {
        resetCaptureOnce(state, unfit, reason::session);
        return;
    }
    if (!state->armed.load()) {
        return;
    }
    const double timeMs = recordTime(&state->clock);
    if (timeMs < 0.0) {
        resetCaptureOnce(state, failure::messageTimeInvalid, reason::stale);
        return;
    }
    state->clock.lastMessageMs = timeMs;

    uint64_t device64 = 0;
    memcpy(&device64, record + rawOffsetDevice, sizeof(device64));
    const DeviceHandle device = (DeviceHandle) device64;
    if (type == rawTypeKeyboard) {
        if (size < rawKeyboardRecordSize) {
            resetCaptureOnce(state, failure::rawKeyboardSize, reason::incomplete);
            return;
        }
        const uint16_t flags   = read16(record + rawOffsetFlags);
        const uint32_t message = read32(record + rawOffsetMessage);
        const bool     release = (flags & rawKeyBreak) != 0;
        const bool     agrees  = release ? (message == messageKeyUp || message == messageSysKeyUp)
                                         : (message == messageKeyDown || message == messageSysKeyDown);
        if (!agrees) {
            resetCaptureOnce(state, failure::rawKeyboardMessage, reason::incomplete);
            return;
        }
        const DecodedKey key =
            decodeRawKeyboard(read16(record + rawOffsetMakeCode), flags, read16(record + rawOffsetVKey));
        pushTransition(state, device, key, timeMs);
    } else if (type == rawTypeMouse) {
        if (size < rawRecordSize) {
            resetCaptureOnce(state, failure::rawMouseSize, reason::incomplete);
            return;
        }
        const uint16_t buttons = read16(record + rawOffsetButtonFlags);
        for (uint16_t n = 0; n < 5; n++) {
            const bool down = (buttons & (1u << (2 * n))) != 0;
            const bool up   = (buttons & (2u << (2 * n))) != 0;
            if (down && up) {
                resetCaptureOnce(state, failure::mouseTransitionAmbiguous, reason::incomplete);
                return;
            }
            if (down || up) {
                const DecodedKey key = {KeyOther, (uint16_t) (pointerButtonScanBase + n), down, false, nullptr};
                pushTransition(state, device, key, timeMs);
            }
        }
    } else {
        resetCaptureOnce(state, failure::rawTypeUnsupported, reason::incomplete);
    }
}

} // namespace keywatch
