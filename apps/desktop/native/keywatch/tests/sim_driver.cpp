#include "sim_driver.h"

#include "frame_queue.h"
#include "key_decoder.h"
#include "module_clock.h"
#include "remote_keys.h"
#include "sim.h"
#include "sim_hooks.h"

namespace keywatch {

// The record behind the call and up to five numeric arguments; a missing or non-numeric one reads as 0.
static CaptureState * readArguments(napi_env env, napi_callback_info info, double (&args)[5]) {
    napi_value argv[5];
    size_t     count = 5;
    void *     data  = nullptr;
    napi_get_cb_info(env, info, &count, argv, nullptr, &data);
    for (size_t i = 0; i < 5; i++) {
        if (i >= count || napi_get_value_double(env, argv[i], &args[i]) != napi_ok) {
            args[i] = 0.0;
        }
    }
    return static_cast<CaptureState *>(data);
}

static napi_value boolean(napi_env env, bool value) {
    napi_value result;
    napi_get_boolean(env, value, &result);
    return result;
}

// arm(): the poll's arming after a neutral keyboard, now (for the drain benchmark).
static napi_value armExport(napi_env env, napi_callback_info info) {
    double         args[5];
    CaptureState * state = readArguments(env, info, args);
    {
        ScopedLock held(&state->lock);
        armCapture(state, moduleClockMs(), 0, false);
    }
    return boolean(env, true);
}

// fill(count): count alternating left Control presses and releases.
static napi_value fillExport(napi_env env, napi_callback_info info) {
    double         args[5];
    CaptureState * state = readArguments(env, info, args);
    for (uint32_t i = 0; i < args[0]; i++) {
        pushTransition(state, 1, decodeRawKeyboard(0x1D, (i % 2) == 0 ? 0 : rawKeyBreak, 0xA2), moduleClockMs());
    }
    return boolean(env, true);
}

// rawKey(device, makeCode, flags, vkey[, physicalVkey]): the physical key's state, and a record
// stamped now to the worker's window; false when there is no window.
static napi_value rawKeyExport(napi_env env, napi_callback_info info) {
    double         args[5];
    CaptureState * state = readArguments(env, info, args);
    const uint16_t flags = (uint16_t) args[2], vkey = (uint16_t) args[3];
    const bool     release                                                          = (flags & rawKeyBreak) != 0;
    simDesktopBegin()->keyDown[(args[4] != 0.0 ? (uint32_t) args[4] : vkey) & 0xFF] = !release;
    simDesktopEnd();
    WindowHandle window = nullptr;
    {
        ScopedLock held(&state->lock);
        window = state->window;
    }
    return boolean(env, window != nullptr &&
                            simPostRawKeyboard(window, (uintptr_t) args[0], (uint16_t) args[1], flags, vkey,
                                               release ? messageKeyUp : messageKeyDown, (uint32_t) tickCount64()));
}

// monitorHeld(): whether a remote-keys monitor thread is held by the process.
static napi_value monitorHeldExport(napi_env env, napi_callback_info) {
    return boolean(env, monitorThreadIdHeld() != 0);
}

// remoteClient(inFront): a remote-desktop client's window to the front (1), or the desktop's own foreground back (0).
static napi_value remoteClientExport(napi_env env, napi_callback_info info) {
    static const uint32_t clientPid = 4300;
    static uint32_t       ownPid    = 0;
    double                args[5];
    readArguments(env, info, args);
    simProcessSet(clientPid, u"C:\\Windows\\System32\\mstsc.exe");
    SimDesktop * d = simDesktopBegin();
    if (d->foregroundProcess != clientPid) {
        ownPid = d->foregroundProcess;
    }
    d->foregroundProcess = args[0] != 0.0 ? clientPid : ownPid;
    simDesktopEnd();
    return boolean(env, true);
}

// remoteKey(vkey, down): a physical key event (down 1, up 0) through the newest low-level hook; false with no hook.
static napi_value remoteKeyExport(napi_env env, napi_callback_info info) {
    double args[5];
    readArguments(env, info, args);
    const uint32_t message = args[1] != 0.0 ? messageKeyDown : messageKeyUp;
    return boolean(env, simHookDeliver(0, message, (uint32_t) args[0], 0) != -1);
}

bool registerSimDriver(napi_env env, napi_value exports, CaptureState * state) {
    const napi_property_descriptor methods[] = {
        {"arm", nullptr, armExport, nullptr, nullptr, nullptr, napi_default, state},
        {"fill", nullptr, fillExport, nullptr, nullptr, nullptr, napi_default, state},
        {"rawKey", nullptr, rawKeyExport, nullptr, nullptr, nullptr, napi_default, state},
        {"monitorHeld", nullptr, monitorHeldExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"remoteClient", nullptr, remoteClientExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"remoteKey", nullptr, remoteKeyExport, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    napi_value testing;
    return napi_create_object(env, &testing) == napi_ok &&
           napi_define_properties(env, testing, sizeof(methods) / sizeof(methods[0]), methods) == napi_ok &&
           napi_set_named_property(env, exports, "testing", testing) == napi_ok;
}

} // namespace keywatch
