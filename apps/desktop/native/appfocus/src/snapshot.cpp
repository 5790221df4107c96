#include "snapshot.h"

#include <stdio.h>

namespace appfocus {
namespace {

// Each object gets all its properties in one napi_define_properties call,
// as plain writable, enumerable, configurable data properties in order:
// the same object that one assignment per key builds, at a fraction of the
// Node-API calls (each assignment would be a call with its own key string).
napi_property_descriptor dataProperty(const char * key, napi_value value) {
    napi_property_descriptor d = {key, nullptr, nullptr, nullptr, nullptr, value, napi_default_jsproperty, nullptr};
    return d;
}

napi_value buildApp(napi_env env, const AppIdentity & identity) {
    napi_value name, bundleId, processId, windowHandle, app;
    if (napi_create_string_utf8(env, identity.name, NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_create_string_utf8(env, identity.bundleId, NAPI_AUTO_LENGTH, &bundleId) != napi_ok ||
        napi_create_uint32(env, identity.processId, &processId) != napi_ok) {
        return nullptr;
    }
    napi_property_descriptor props[4] = {
        dataProperty("name", name),
        dataProperty("bundleId", bundleId),
        dataProperty("processId", processId),
    };
    size_t count = 3;
    if (identity.windowHandle != 0) {
        char handle[19]; // "0x" and at most 16 digits
        snprintf(handle, sizeof(handle), "0x%llx", static_cast<unsigned long long>(identity.windowHandle));
        if (napi_create_string_utf8(env, handle, NAPI_AUTO_LENGTH, &windowHandle) != napi_ok) {
            return nullptr;
        }
        props[count++] = dataProperty("windowHandle", windowHandle);
    }
    if (napi_create_object(env, &app) != napi_ok || napi_define_properties(env, app, count, props) != napi_ok) {
        return nullptr;
    }
    return app;
}

} // namespace

const char * reasonName(SnapshotReason reason) {
    switch (reason) {
        case SnapshotReason::Unavailable: return "unavailable";
        case SnapshotReason::MetadataPending: return "metadata-pending";
        case SnapshotReason::Stopped: return "stopped";
        case SnapshotReason::HelperFault: return "helper-fault";
        default: return nullptr;
    }
}

napi_value buildSnapshotObject(napi_env env, const ContextSnapshot & s, double clockMs) {
    napi_value epoch, clock, observed, changed, running, valid, reason, app, object;
    if (napi_create_double(env, static_cast<double>(s.epoch), &epoch) != napi_ok ||
        napi_create_double(env, clockMs, &clock) != napi_ok ||
        napi_create_double(env, s.observedMs, &observed) != napi_ok ||
        napi_create_double(env, s.changedMs, &changed) != napi_ok ||
        napi_get_boolean(env, s.running, &running) != napi_ok || napi_get_boolean(env, s.valid, &valid) != napi_ok) {
        return nullptr;
    }
    const char * reasonText = reasonName(s.reason);
    napi_status  st =
        reasonText ? napi_create_string_utf8(env, reasonText, NAPI_AUTO_LENGTH, &reason) : napi_get_null(env, &reason);
    if (st != napi_ok) return nullptr;
    if (s.valid) {
        app = buildApp(env, s.identity);
        if (!app) return nullptr;
    } else if (napi_get_null(env, &app) != napi_ok) {
        return nullptr;
    }
    napi_property_descriptor props[] = {
        dataProperty("epoch", epoch),       dataProperty("clockMs", clock),   dataProperty("observedMs", observed),
        dataProperty("changedMs", changed), dataProperty("running", running), dataProperty("valid", valid),
        dataProperty("reason", reason),     dataProperty("app", app),
    };
    if (napi_create_object(env, &object) != napi_ok ||
        napi_define_properties(env, object, sizeof(props) / sizeof(props[0]), props) != napi_ok) {
        return nullptr;
    }
    return object;
}

} // namespace appfocus
