// Ownership of the process's keyboard and mouse raw input: Windows keeps one
// target window per device class per process, so a capture claims both
// classes for its window, checks in every poll that it still holds them, and
// gives back only what points at its window.
#pragma once

#include "platform.h"

namespace keywatch {

enum OwnershipStep : uint32_t {
    ownershipClaim   = 0, // register both classes to the window; fails when anything holds either
    ownershipCheck   = 1, // the window alone holds both, with the sink and notify flags
    ownershipRelease = 2, // remove the registrations that point at the window
};

// Any thread. One inspect-then-change under the process-wide ownership lock,
// so two captures cannot interleave. Null on success, or the failure code.
const char * rawInputOwnership(OwnershipStep step, WindowHandle window);

} // namespace keywatch
