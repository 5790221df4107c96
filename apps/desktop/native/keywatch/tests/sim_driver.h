// Test-only build of the module: one extra export, "testing", through which
// Node tests feed the worker keys and look at process-wide state.
#pragma once

#include <node_api.h>

#include "capture_state.h"

namespace keywatch {

bool registerSimDriver(napi_env env, napi_value exports, CaptureState * state);

} // namespace keywatch
