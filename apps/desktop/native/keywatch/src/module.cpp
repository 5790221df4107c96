// The Node-API surface: registration, the per-environment record and its
// clean-up hook, and the exports. Rules live in the core; this file only
// converts. Nothing here lets a C++ exception reach the host.
#include <node_api.h>

#include "capture_state.h"
#include "capture_worker.h"
#include "frame_queue.h"
#include "js_values.h"
#include "remote_keys.h"
#include "send_keys.h"

#if defined(KEYWATCH_TEST_HOOKS)
#include "sim_driver.h"
#endif

using namespace keywatch;

static_assert(NAPI_VERSION == 8, "the module is built against Node-API 8");

static CaptureState * stateOf(napi_env env, napi_callback_info info) {
    void * data = nullptr;
    if (napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data) != napi_ok) {
        return nullptr;
    }
    return static_cast<CaptureState *>(data);
}

static napi_value statusExport(napi_env env, napi_callback_info info) {
    CaptureState * state = stateOf(env, info);
    if (state == nullptr) {
        return throwNapiFailure(env);
    }
    napi_value status = buildStatusObject(env, captureStatus(state));
    return status != nullptr ? status : throwNapiFailure(env);
}

static napi_value drainExport(napi_env env, napi_callback_info info) {
    CaptureState * state = stateOf(env, info);
    if (state == nullptr) {
        return throwNapiFailure(env);
    }
    DrainCopy copy;
    drainCapture(state, &copy);
    napi_value result = buildDrainResult(env, copy);
    return result != nullptr ? result : throwNapiFailure(env);
}

// start and stop answer with the status as it stands after the attempt.
static napi_value startExport(napi_env env, napi_callback_info info) {
    CaptureState * state = stateOf(env, info);
    if (state == nullptr) {
        return throwNapiFailure(env);
    }
    startCapture(state);
    napi_value status = buildStatusObject(env, captureStatus(state));
    return status != nullptr ? status : throwNapiFailure(env);
}

static napi_value stopExport(napi_env env, napi_callback_info info) {
    CaptureState * state = stateOf(env, info);
    if (state == nullptr) {
        return throwNapiFailure(env);
    }
    stopCapture(state);
    napi_value status = buildStatusObject(env, captureStatus(state));
    return status != nullptr ? status : throwNapiFailure(env);
}
static napi_value foregroundPidExport(napi_env env, napi_callback_info) {
    napi_value pid = nullptr;
    if (napi_create_uint32(env, foregroundProcessId(), &pid) != napi_ok) {
        return throwNapiFailure(env);
    }
    return pid;
}

static napi_value sendKeysExport(napi_env env, napi_callback_info info) {
    size_t     argc    = 1;
    napi_value argv[1] = {nullptr};
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok) {
        return throwNapiFailure(env);
    }
    SendResult result = sendBadCommand;
    // 15 bytes at most: anything longer is cut and matches no command.
    char   text[16] = {0};
    size_t length   = 0;
    if (argc >= 1 && napi_get_value_string_utf8(env, argv[0], text, sizeof(text), &length) == napi_ok) {
        result = sendCommand(text, length);
    }
    napi_value value = nullptr;
    if (napi_create_string_utf8(env, sendResultText(result), NAPI_AUTO_LENGTH, &value) != napi_ok) {
        return throwNapiFailure(env);
    }
    return value;
}

static napi_value undefinedOrThrow(napi_env env) {
    napi_value value = nullptr;
    if (napi_get_undefined(env, &value) != napi_ok) {
        return throwNapiFailure(env);
    }
    return value;
}

static napi_value remoteKeysStartExport(napi_env env, napi_callback_info) {
    remoteKeysStart();
    return undefinedOrThrow(env);
}

static napi_value remoteKeysStopExport(napi_env env, napi_callback_info) {
    remoteKeysStop();
    return undefinedOrThrow(env);
}

static napi_value remoteKeysStateExport(napi_env env, napi_callback_info) {
    napi_value state = buildRemoteKeysObject(env, remoteKeysRead());
    return state != nullptr ? state : throwNapiFailure(env);
}

// Runs on the JS thread when the environment goes away.
static void cleanupHook(void * argument) {
    remoteKeysStop(); // process-wide: any environment going away stops it for all
    CaptureState * state = static_cast<CaptureState *>(argument);
    if (state != nullptr) {
        stopCapture(state); // signals the worker; destroy then waits without limit
    }
    captureStateDestroy(state);
}

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return 8; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    CaptureState * state = captureStateCreate();
    if (state == nullptr) {
        napi_throw_error(env, nullptr, allocationFailureMessage);
        return nullptr;
    }
    if (napi_add_env_cleanup_hook(env, cleanupHook, state) != napi_ok) {
        captureStateDestroy(state);
        return throwNapiFailure(env);
    }
    const napi_property_descriptor properties[] = {
        {"start", nullptr, startExport, nullptr, nullptr, nullptr, napi_default, state},
        {"stop", nullptr, stopExport, nullptr, nullptr, nullptr, napi_default, state},
        {"status", nullptr, statusExport, nullptr, nullptr, nullptr, napi_default, state},
        {"drain", nullptr, drainExport, nullptr, nullptr, nullptr, napi_default, state},
        {"foregroundPid", nullptr, foregroundPidExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"sendKeys", nullptr, sendKeysExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"remoteKeysStart", nullptr, remoteKeysStartExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"remoteKeysStop", nullptr, remoteKeysStopExport, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"remoteKeysState", nullptr, remoteKeysStateExport, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    // On failure the hook stays registered and frees the record at teardown.
    if (napi_define_properties(env, exports, sizeof(properties) / sizeof(properties[0]), properties) != napi_ok) {
        return throwNapiFailure(env);
    }
#if defined(KEYWATCH_TEST_HOOKS)
    if (!registerSimDriver(env, exports, state)) {
        return throwNapiFailure(env);
    }
#endif
    return exports;
}

} // extern "C"
