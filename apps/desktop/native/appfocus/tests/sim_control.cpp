// The extra export of the test build: simulate(command, ...) drives the
// simulated platform through the real binding.
//   simulate("app", window, pid, path)  window of pid in front, event raised
//   simulate("failThreadStart")         the next thread start fails
//   simulate("threads")                 { started, running, joined }
//   simulate("reset")                   empty world, no failures
#include <node_api.h>
#include <string.h>

#include "platform/sim.h"

namespace {

using appfocus::sim::ThreadCounts;

bool argNumber(napi_env env, napi_value value, double *out) {
    return napi_get_value_double(env, value, out) == napi_ok;
}

bool setCount(napi_env env, napi_value object, const char *key, uint32_t n) {
    napi_value v;
    return napi_create_uint32(env, n, &v) == napi_ok &&
           napi_set_named_property(env, object, key, v) == napi_ok;
}

napi_value fail(napi_env env, const char *message) {
    napi_throw_error(env, nullptr, message);
    return nullptr;
}

napi_value Simulate(napi_env env, napi_callback_info info) {
    size_t argc = 4;
    napi_value argv[4];
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok || argc < 1) {
        return fail(env, "simulate: command expected");
    }
    char command[32];
    size_t length = 0;
    if (napi_get_value_string_utf8(env, argv[0], command, sizeof(command), &length) != napi_ok) {
        return fail(env, "simulate: command must be a string");
    }
    napi_value result;
    napi_get_undefined(env, &result);
    double window = 0, pid = 0;
    if (strcmp(command, "app") == 0) {
        char16_t path[1100];
        size_t units = 0;
        if (argc < 4 || !argNumber(env, argv[1], &window) || !argNumber(env, argv[2], &pid) ||
            napi_get_value_string_utf16(env, argv[3], path, 1100, &units) != napi_ok) {
            return fail(env, "simulate: app needs window, pid, path");
        }
        appfocus::sim::addWindow(static_cast<uintptr_t>(window), static_cast<uint32_t>(pid));
        appfocus::sim::setImagePath(static_cast<uint32_t>(pid), path, static_cast<uint32_t>(units));
        appfocus::sim::setForeground(static_cast<uintptr_t>(window), true);
    } else if (strcmp(command, "failThreadStart") == 0) {
        appfocus::sim::failNextThreadStart();
    } else if (strcmp(command, "threads") == 0) {
        ThreadCounts counts = appfocus::sim::threadCounts();
        if (napi_create_object(env, &result) != napi_ok ||
            !setCount(env, result, "started", counts.started) ||
            !setCount(env, result, "running", counts.running) ||
            !setCount(env, result, "joined", counts.joined)) {
            return nullptr;
        }
    } else if (strcmp(command, "reset") == 0) {
        appfocus::sim::reset();
    } else {
        return fail(env, "simulate: unknown command");
    }
    return result;
}

}  // namespace

napi_status defineSimControl(napi_env env, napi_value exports) {
    napi_property_descriptor prop = {"simulate", nullptr, Simulate, nullptr, nullptr, nullptr,
                                     napi_default, nullptr};
    return napi_define_properties(env, exports, 1, &prop);
}
