// The appfocus module: one tracker per environment, five exports, and a
// clean-up hook that stops and joins the tracker thread before freeing it.
#include <node_api.h>

#include <new>

#include "src/snapshot.h"
#include "src/tracker.h"

#ifdef APPFOCUS_SIM_CONTROL
// Test builds add one export that drives the simulated platform.
napi_status defineSimControl(napi_env env, napi_value exports);
#endif

namespace appfocus {
namespace {

// A failed Node-API call returns null (undefined in JavaScript) without
// acting on the tracker; the module raises nothing of its own.
ForegroundTracker *trackerOf(napi_env env, napi_callback_info info) {
    void *data = nullptr;
    if (napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data) != napi_ok) return nullptr;
    return static_cast<ForegroundTracker *>(data);
}

napi_value undefinedValue(napi_env env) {
    napi_value value = nullptr;
    napi_get_undefined(env, &value);
    return value;
}

napi_value Start(napi_env env, napi_callback_info info) {
    ForegroundTracker *t = trackerOf(env, info);
    if (!t) return nullptr;
    start(t);
    return undefinedValue(env);
}

napi_value Stop(napi_env env, napi_callback_info info) {
    ForegroundTracker *t = trackerOf(env, info);
    if (!t) return nullptr;
    stop(t);
    return undefinedValue(env);
}

napi_value Recheck(napi_env env, napi_callback_info info) {
    ForegroundTracker *t = trackerOf(env, info);
    if (!t) return nullptr;
    recheck(t);
    return undefinedValue(env);
}

napi_value Snapshot(napi_env env, napi_callback_info info) {
    ForegroundTracker *t = trackerOf(env, info);
    if (!t) return nullptr;
    ContextSnapshot snapshot;
    double clockMs;
    copySnapshot(t, &snapshot, &clockMs);
    return buildSnapshotObject(env, snapshot, clockMs);
}

void teardown(void *arg) {
    ForegroundTracker *t = static_cast<ForegroundTracker *>(arg);
    if (!t) return;
    stop(t);  // joins: no tracker thread outlives its environment
    delete t;
}

napi_value registerModule(napi_env env, napi_value exports) {
    ForegroundTracker *t = new (std::nothrow) ForegroundTracker();
    if (!t) return nullptr;
    if (napi_add_env_cleanup_hook(env, teardown, t) != napi_ok) {
        delete t;
        return nullptr;
    }
    // From here the clean-up hook owns the tracker, even if only some of the
    // properties could be defined.
    napi_property_descriptor props[] = {
        {"start", nullptr, Start, nullptr, nullptr, nullptr, napi_default, t},
        {"stop", nullptr, Stop, nullptr, nullptr, nullptr, napi_default, t},
        {"recheck", nullptr, Recheck, nullptr, nullptr, nullptr, napi_default, t},
        {"snapshot", nullptr, Snapshot, nullptr, nullptr, nullptr, napi_default, t},
        {"status", nullptr, Snapshot, nullptr, nullptr, nullptr, napi_default, t},
    };
    if (napi_define_properties(env, exports, sizeof(props) / sizeof(props[0]), props) != napi_ok) {
        return nullptr;
    }
#ifdef APPFOCUS_SIM_CONTROL
    if (defineSimControl(env, exports) != napi_ok) return nullptr;
#endif
    return exports;
}

}  // namespace
}  // namespace appfocus

NAPI_MODULE_INIT() { return appfocus::registerModule(env, exports); }
