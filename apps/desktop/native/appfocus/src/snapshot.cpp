#include "src/snapshot.h"

#include <stdio.h>

namespace appfocus {
namespace {

bool setNumber(napi_env env, napi_value object, const char *key, double value) {
    napi_value v;
    return napi_create_double(env, value, &v) == napi_ok &&
           napi_set_named_property(env, object, key, v) == napi_ok;
}

bool setBoolean(napi_env env, napi_value object, const char *key, bool value) {
    napi_value v;
    return napi_get_boolean(env, value, &v) == napi_ok &&
           napi_set_named_property(env, object, key, v) == napi_ok;
}

bool setString(napi_env env, napi_value object, const char *key, const char *value) {
    napi_value v;
    return napi_create_string_utf8(env, value, NAPI_AUTO_LENGTH, &v) == napi_ok &&
           napi_set_named_property(env, object, key, v) == napi_ok;
}

bool setNull(napi_env env, napi_value object, const char *key) {
    napi_value v;
    return napi_get_null(env, &v) == napi_ok &&
           napi_set_named_property(env, object, key, v) == napi_ok;
}

napi_value buildApp(napi_env env, const AppIdentity &identity) {
    napi_value app;
    if (napi_create_object(env, &app) != napi_ok) return nullptr;
    if (!setString(env, app, "name", identity.name)) return nullptr;
    if (!setString(env, app, "bundleId", identity.bundleId)) return nullptr;
    napi_value pid;
    if (napi_create_uint32(env, identity.processId, &pid) != napi_ok ||
        napi_set_named_property(env, app, "processId", pid) != napi_ok) {
        return nullptr;
    }
    if (identity.windowHandle != 0) {
        char handle[19];  // "0x" and at most 16 digits
        snprintf(handle, sizeof(handle), "0x%llx",
                 static_cast<unsigned long long>(identity.windowHandle));
        if (!setString(env, app, "windowHandle", handle)) return nullptr;
    }
    return app;
}

}  // namespace

const char *reasonName(SnapshotReason reason) {
    switch (reason) {
        case SnapshotReason::Unavailable: return "unavailable";
        case SnapshotReason::MetadataPending: return "metadata-pending";
        case SnapshotReason::Stopped: return "stopped";
        case SnapshotReason::HelperFault: return "helper-fault";
        default: return nullptr;
    }
}

napi_value buildSnapshotObject(napi_env env, const ContextSnapshot &s, double clockMs) {
    napi_value object;
    if (napi_create_object(env, &object) != napi_ok) return nullptr;
    if (!setNumber(env, object, "epoch", static_cast<double>(s.epoch)) ||
        !setNumber(env, object, "clockMs", clockMs) ||
        !setNumber(env, object, "observedMs", s.observedMs) ||
        !setNumber(env, object, "changedMs", s.changedMs) ||
        !setBoolean(env, object, "running", s.running) ||
        !setBoolean(env, object, "valid", s.valid)) {
        return nullptr;
    }
    const char *reason = reasonName(s.reason);
    if (!(reason ? setString(env, object, "reason", reason) : setNull(env, object, "reason"))) {
        return nullptr;
    }
    if (s.valid) {
        napi_value app = buildApp(env, s.identity);
        if (!app || napi_set_named_property(env, object, "app", app) != napi_ok) return nullptr;
    } else if (!setNull(env, object, "app")) {
        return nullptr;
    }
    return object;
}

}  // namespace appfocus
