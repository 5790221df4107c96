// The test build's extra export "testing": keys for the worker and a look at process-wide state.
#pragma once

#include <node_api.h>

#include "capture_state.h"

namespace keywatch {

bool registerSimDriver(napi_env env, napi_value exports, CaptureState * state);

} // namespace keywatch
