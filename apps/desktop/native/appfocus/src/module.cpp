// The appfocus module: one tracker per environment, five exports, and a
// clean-up hook that stops and joins the tracker thread before freeing it.
#include <node_api.h>

#include <new>

#include "snapshot.h"
#include "tracker.h"

#ifdef APPFOCUS_SIM_CONTROL
// Test builds add one export that drives the simulated platform.
napi_status defineSimControl(napi_env env, napi_value exports);
#endif

namespace appfocus {
namespace {

// A failed Node-API call returns null (undefined in JavaScript) without
// acting on the tracker; the module raises nothing of its own.
ForegroundTracker * trackerOf(napi_env env, napi_callback_info info) {
    void * data = nullptr;
    if (napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data) != napi_ok) return nullptr;
    return static_cast<ForegroundTracker *>(data);
}

napi_value undefinedValue(napi_env env) {
    napi_value value = nullptr;
    napi_get_undefined(env, &value);
    return value;
}

napi_value startExport(napi_env env, napi_callback_info info) {
    ForegroundTracker * t = trackerOf(env, info);
    if (!t) return nullptr;
    start(t);
    return undefinedValue(env);
}

napi_value stopExport(napi_env env, napi_callback_info info) {
    ForegroundTracker * t = trackerOf(env, info);
    if (!t) return nullptr;
    stop(t);
    return undefinedValue(env);
}

napi_value recheckExport(napi_env env, napi_callback_info info) {
    ForegroundTracker * t = trackerOf(env, info);
    if (!t) return nullptr;
    recheck(t);
    return undefinedValue(env);
}

napi_value snapshotExport(napi_env env, napi_callback_info info) {
    ForegroundTracker * t = trackerOf(env, info);
    if (!t) return nullptr;
    ContextSnapshot snapshot;
    double          clockMs;
    copySnapshot(t, &snapshot, &clockMs);
    return buildSnapshotObject(env, snapshot, clockMs);
}

void teardown(void * arg) {
    ForegroundTracker * t = static_cast<ForegroundTracker *>(arg);
    if (!t) return;
    stop(t); // joins: no tracker thread outlives its environment
    delete t;
}

} // namespace
} // namespace appfocus

static_assert(NAPI_VERSION == 8, "the module is built against Node-API 8");

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return 8; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    using namespace appfocus;
    ForegroundTracker * t = new (std::nothrow) ForegroundTracker();
    if (!t) return nullptr;
    if (napi_add_env_cleanup_hook(env, teardown, t) != napi_ok) {
        delete t;
        return nullptr;
    }
    // From here the clean-up hook owns the tracker, even if only some of the
    // properties could be defined.
    napi_property_descriptor props[] = {
        {"start", nullptr, startExport, nullptr, nullptr, nullptr, napi_default, t},
        {"stop", nullptr, stopExport, nullptr, nullptr, nullptr, napi_default, t},
        {"recheck", nullptr, recheckExport, nullptr, nullptr, nullptr, napi_default, t},
        {"snapshot", nullptr, snapshotExport, nullptr, nullptr, nullptr, napi_default, t},
        {"status", nullptr, snapshotExport, nullptr, nullptr, nullptr, napi_default, t},
    };
    if (napi_define_properties(env, exports, sizeof(props) / sizeof(props[0]), props) != napi_ok) {
        return nullptr;
    }
#ifdef APPFOCUS_SIM_CONTROL
    if (defineSimControl(env, exports) != napi_ok) return nullptr;
#endif
    return exports;
}

} // extern "C"
