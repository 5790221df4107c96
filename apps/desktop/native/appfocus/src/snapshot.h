// The JavaScript object that "snapshot" and "status" return.
#pragma once

#include <node_api.h>

#include "tracker.h"

namespace appfocus {

// The reported string for a reason, or null for None and unknown values.
const char * reasonName(SnapshotReason reason);

// A fresh object with keys in the host's order. Returns null when a
// Node-API call fails; whatever exception the engine left pending stays.
napi_value buildSnapshotObject(napi_env env, const ContextSnapshot & snapshot, double clockMs);

} // namespace appfocus
