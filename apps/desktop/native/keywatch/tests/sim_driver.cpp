#include "sim_driver.h"

#include <string.h>

#include "failures.h"
#include "frame_queue.h"
#include "key_decoder.h"
#include "module_clock.h"
#include "sim.h"

namespace keywatch {

static CaptureState * readArguments(napi_env env, napi_callback_info info, napi_value * argv, size_t count) {
    void * data  = nullptr;
    size_t given = count;
    for (size_t i = 0; i < count; i++) {
        napi_get_undefined(env, &argv[i]);
    }
    if (napi_get_cb_info(env, info, &given, argv, nullptr, &data) != napi_ok) {
        return nullptr;
    }
    return static_cast<CaptureState *>(data);
}

static double numberOr(napi_env env, napi_value value, double fallback) {
    double number;
    return napi_get_value_double(env, value, &number) == napi_ok ? number : fallback;
}

static napi_value undefinedValue(napi_env env) {
    napi_value value;
    napi_get_undefined(env, &value);
    return value;
}

// arm(): the poll's arming after a neutral keyboard, at the current time.
static napi_value arm(napi_env env, napi_callback_info info) {
    CaptureState * state = readArguments(env, info, nullptr, 0);
    lockAcquire(&state->lock);
    state->running = 1;
    armCapture(state, moduleClockMs(), 0, false);
    lockRelease(&state->lock);
    return undefinedValue(env);
}

// key(device, makeCode, flags, vkey[, timeMs]): one raw keyboard record.
static napi_value key(napi_env env, napi_callback_info info) {
    napi_value argv[5];
    CaptureState * state = readArguments(env, info, argv, 5);
    const DeviceHandle device = (DeviceHandle) numberOr(env, argv[0], 0);
    const DecodedKey decoded = decodeRawKeyboard((uint16_t) numberOr(env, argv[1], 0),
                                                 (uint16_t) numberOr(env, argv[2], 0),
                                                 (uint16_t) numberOr(env, argv[3], 0));
    pushTransition(state, device, decoded, numberOr(env, argv[4], moduleClockMs()));
    return undefinedValue(env);
}

// button(device, n, down): one pointer-button transition.
static napi_value button(napi_env env, napi_callback_info info) {
    napi_value argv[3];
    CaptureState * state = readArguments(env, info, argv, 3);
    bool down = false;
    napi_get_value_bool(env, argv[2], &down);
    const DecodedKey decoded = {KeyOther, (uint16_t) (pointerButtonScanBase + (uint16_t) numberOr(env, argv[1], 0)),
                                down, false, nullptr};
    pushTransition(state, (DeviceHandle) numberOr(env, argv[0], 0), decoded, moduleClockMs());
    return undefinedValue(env);
}

// notice(name): a window-procedure style notice, deduplicated like the real ones.
static napi_value notice(napi_env env, napi_callback_info info) {
    napi_value argv[1];
    CaptureState * state = readArguments(env, info, argv, 1);
    char name[32] = {0};
    size_t length = 0;
    napi_get_value_string_utf8(env, argv[0], name, sizeof(name), &length);
    if (strcmp(name, "device-arrived") == 0) {
        resetCaptureOnce(state, failure::deviceArrived, reason::incomplete);
    } else if (strcmp(name, "device-removed") == 0) {
        resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
    } else if (strcmp(name, "session-changed") == 0) {
        resetCaptureOnce(state, failure::sessionChanged, reason::session);
    } else {
        napi_throw_error(env, nullptr, "unknown notice");
        return nullptr;
    }
    return undefinedValue(env);
}

// fill(count): count alternating left Control presses and releases from one
// keyboard, each a change of the held state; for benchmarks.
static napi_value fill(napi_env env, napi_callback_info info) {
    napi_value argv[1];
    CaptureState * state = readArguments(env, info, argv, 1);
    const uint32_t count = (uint32_t) numberOr(env, argv[0], 0);
    const DecodedKey press   = decodeRawKeyboard(0x1D, 0, 0xA2);
    const DecodedKey release = decodeRawKeyboard(0x1D, rawKeyBreak, 0xA2);
    for (uint32_t i = 0; i < count; i++) {
        pushTransition(state, 1, (i % 2) == 0 ? press : release, moduleClockMs());
    }
    return undefinedValue(env);
}

// rawKey(device, makeCode, flags, vkey): what a keyboard does while the
// worker runs: the physical state follows the key, and a raw input record
// stamped with the current tick goes to the worker's window. False when no
// window is there to take it.
static napi_value rawKey(napi_env env, napi_callback_info info) {
    napi_value argv[4];
    CaptureState * state = readArguments(env, info, argv, 4);
    const uint16_t flags = (uint16_t) numberOr(env, argv[2], 0);
    const uint16_t vkey  = (uint16_t) numberOr(env, argv[3], 0);
    const bool release = (flags & rawKeyBreak) != 0;
    SimDesktop * d = simDesktopBegin();
    d->keyDown[vkey & 0xFF] = !release;
    simDesktopEnd();
    lockAcquire(&state->lock);
    WindowHandle window = state->window;
    lockRelease(&state->lock);
    const bool posted = window != nullptr &&
        simPostRawKeyboard(window, (uintptr_t) numberOr(env, argv[0], 0), (uint16_t) numberOr(env, argv[1], 0),
                           flags, vkey, release ? messageKeyUp : messageKeyDown, (uint32_t) tickCount64());
    napi_value result;
    napi_get_boolean(env, posted, &result);
    return result;
}

bool registerSimDriver(napi_env env, napi_value exports, CaptureState * state) {
    const napi_property_descriptor methods[] = {
        {"arm", nullptr, arm, nullptr, nullptr, nullptr, napi_default, state},
        {"key", nullptr, key, nullptr, nullptr, nullptr, napi_default, state},
        {"button", nullptr, button, nullptr, nullptr, nullptr, napi_default, state},
        {"notice", nullptr, notice, nullptr, nullptr, nullptr, napi_default, state},
        {"fill", nullptr, fill, nullptr, nullptr, nullptr, napi_default, state},
        {"rawKey", nullptr, rawKey, nullptr, nullptr, nullptr, napi_default, state},
    };
    napi_value testing;
    return napi_create_object(env, &testing) == napi_ok &&
           napi_define_properties(env, testing, sizeof(methods) / sizeof(methods[0]), methods) == napi_ok &&
           napi_set_named_property(env, exports, "testing", testing) == napi_ok;
}

} // namespace keywatch
