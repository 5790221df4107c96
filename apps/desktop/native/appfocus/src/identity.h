// Turning the foreground window into an application identity.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace appfocus {

const uint32_t imagePathUnits   = 1024;
const uint32_t maxBaseNameUnits = 256;

// The executable base name of a Win32 image path (after the last backslash,
// ".exe" removed) as UTF-8 into name, which holds nameBytes and is
// terminated after the bytes written. Returns false for a name the host
// cannot be given: empty, over 256 units or bytes, invalid UTF-16, or with a
// control character.
bool imageBaseName(const platform::Utf16Unit * path, uint32_t length, char * name);

struct ForegroundTracker;

// Tracker thread. One probe: resolves the foreground application and
// completes the probe.
void resolveForeground(ForegroundTracker * tracker);

} // namespace appfocus
