// Builds the JS objects that the exports return, from copies taken under the
// lock. Each builder returns null after the first Node-API call that fails;
// the caller throws.
#pragma once

#include <node_api.h>

#include "capture_state.h"
#include "frame_queue.h"
#include "remote_keys.h"

namespace keywatch {

inline constexpr char napiFailureMessage[]       = "native input N-API failure";
inline constexpr char allocationFailureMessage[] = "native input allocation failed";

napi_value buildStatusObject(napi_env env, const CaptureStatus & status);
napi_value buildDrainResult(napi_env env, const DrainCopy & copy);
// { active, client, modifiers: sided key codes held, other }
napi_value buildRemoteKeysObject(napi_env env, const RemoteKeysState & state);

// Throws "native input N-API failure"; returns null for the caller to return.
napi_value throwNapiFailure(napi_env env);

} // namespace keywatch
