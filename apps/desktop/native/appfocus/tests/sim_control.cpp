// The test build's simulate("app", window, pid, path | "threads" | "reset") drives the simulated platform.
#include <node_api.h>
#include <string.h>

#include "sim.h"

namespace {

bool setCount(napi_env env, napi_value object, const char * key, uint32_t n) {
    napi_value v;
    return napi_create_uint32(env, n, &v) == napi_ok && napi_set_named_property(env, object, key, v) == napi_ok;
}

napi_value Simulate(napi_env env, napi_callback_info info) {
    size_t     argc = 4;
    napi_value argv[4], result;
    char       command[16] = {0};
    char16_t   path[1100];
    size_t     length = 0, units = 0;
    double     window = 0, pid = 0;
    napi_get_undefined(env, &result);
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok || argc < 1 ||
        napi_get_value_string_utf8(env, argv[0], command, sizeof(command), &length) != napi_ok) {
        napi_throw_error(env, nullptr, "simulate: command expected");
        return nullptr;
    }
    if (strcmp(command, "app") == 0 && argc == 4 && napi_get_value_double(env, argv[1], &window) == napi_ok &&
        napi_get_value_double(env, argv[2], &pid) == napi_ok &&
        napi_get_value_string_utf16(env, argv[3], path, 1100, &units) == napi_ok) {
        appfocus::sim::addWindow(static_cast<uintptr_t>(window), static_cast<uint32_t>(pid));
        appfocus::sim::setImagePath(static_cast<uint32_t>(pid), path, static_cast<uint32_t>(units));
        appfocus::sim::setForeground(static_cast<uintptr_t>(window), true);
    } else if (strcmp(command, "threads") == 0) {
        appfocus::sim::ThreadCounts counts = appfocus::sim::threadCounts();
        if (napi_create_object(env, &result) != napi_ok || !setCount(env, result, "started", counts.started) ||
            !setCount(env, result, "running", counts.running) || !setCount(env, result, "joined", counts.joined)) {
            return nullptr;
        }
    } else if (strcmp(command, "reset") == 0) {
        appfocus::sim::reset();
    } else {
        napi_throw_error(env, nullptr, "simulate: unknown command or arguments");
        return nullptr;
    }
    return result;
}

} // namespace

napi_status defineSimControl(napi_env env, napi_value exports) {
    napi_property_descriptor prop = {"simulate", nullptr, Simulate, nullptr, nullptr, nullptr, napi_default, nullptr};
    return napi_define_properties(env, exports, 1, &prop);
}
