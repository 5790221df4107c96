#include "sim_driver.h"

#include "frame_queue.h"
#include "key_decoder.h"
#include "module_clock.h"
#include "remote_keys.h"
#include "sim.h"

namespace keywatch {

static CaptureState * readArguments(napi_env env, napi_callback_info info, napi_value * argv, size_t count) {
    void * data = nullptr;
    for (size_t i = 0; i < count; i++) {
        napi_get_undefined(env, &argv[i]);
    }
    napi_get_cb_info(env, info, &count, argv, nullptr, &data);
    return static_cast<CaptureState *>(data);
}

static double numberOr(napi_env env, napi_value value, double fallback) {
    double number;
    return napi_get_value_double(env, value, &number) == napi_ok ? number : fallback;
}

static napi_value boolean(napi_env env, bool value) {
    napi_value result;
    napi_get_boolean(env, value, &result);
    return result;
}

// arm(): the poll's arming after a neutral keyboard, now (for the drain benchmark).
static napi_value arm(napi_env env, napi_callback_info info) {
    CaptureState * state = readArguments(env, info, nullptr, 0);
    lockAcquire(&state->lock);
    armCapture(state, moduleClockMs(), 0, false);
    lockRelease(&state->lock);
    return boolean(env, true);
}

// fill(count): count alternating left Control presses and releases.
static napi_value fill(napi_env env, napi_callback_info info) {
    napi_value argv[1];
    CaptureState * state = readArguments(env, info, argv, 1);
    const DecodedKey press   = decodeRawKeyboard(0x1D, 0, 0xA2);
    const DecodedKey release = decodeRawKeyboard(0x1D, rawKeyBreak, 0xA2);
    for (uint32_t i = 0; i < (uint32_t) numberOr(env, argv[0], 0); i++) {
        pushTransition(state, 1, (i % 2) == 0 ? press : release, moduleClockMs());
    }
    return boolean(env, true);
}

// rawKey(device, makeCode, flags, vkey, physicalVkey): the physical key's state, and a record
// stamped now to the worker's window; false when there is no window.
static napi_value rawKey(napi_env env, napi_callback_info info) {
    napi_value argv[5];
    CaptureState * state = readArguments(env, info, argv, 5);
    const uint16_t flags = (uint16_t) numberOr(env, argv[2], 0);
    const uint16_t vkey  = (uint16_t) numberOr(env, argv[3], 0);
    const bool release = (flags & rawKeyBreak) != 0;
    simDesktopBegin()->keyDown[(uint32_t) numberOr(env, argv[4], vkey) & 0xFF] = !release;
    simDesktopEnd();
    lockAcquire(&state->lock);
    WindowHandle window = state->window;
    lockRelease(&state->lock);
    return boolean(env, window != nullptr &&
                            simPostRawKeyboard(window, (uintptr_t) numberOr(env, argv[0], 0),
                                               (uint16_t) numberOr(env, argv[1], 0), flags, vkey,
                                               release ? messageKeyUp : messageKeyDown, (uint32_t) tickCount64()));
}

// monitorHeld(): whether a remote-keys monitor thread is held by the process.
static napi_value monitorHeld(napi_env env, napi_callback_info) {
    return boolean(env, monitorThreadIdHeld() != 0);
}

bool registerSimDriver(napi_env env, napi_value exports, CaptureState * state) {
    const napi_property_descriptor methods[] = {
        {"arm", nullptr, arm, nullptr, nullptr, nullptr, napi_default, state},
        {"fill", nullptr, fill, nullptr, nullptr, nullptr, napi_default, state},
        {"rawKey", nullptr, rawKey, nullptr, nullptr, nullptr, napi_default, state},
        {"monitorHeld", nullptr, monitorHeld, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    napi_value testing;
    return napi_create_object(env, &testing) == napi_ok &&
           napi_define_properties(env, testing, sizeof(methods) / sizeof(methods[0]), methods) == napi_ok &&
           napi_set_named_property(env, exports, "testing", testing) == napi_ok;
}

} // namespace keywatch
