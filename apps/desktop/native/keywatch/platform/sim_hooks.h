// Control of the simulated low-level keyboard hooks and process images that
// sim_hooks.cpp puts behind the platform seam on Linux. The foreground window
// and its process come from sim.h.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace keywatch {

// No processes known, no hooks, no stall; counters at zero.
void simHooksReset();

// The image path of a process; a null path makes it one that cannot be opened.
void     simProcessSet(uint32_t processId, const char16_t * path);
uint32_t simProcessLookups();

void     simHookInstallFails(bool fails);
uint32_t simHookInstalls(); // successful installations
uint32_t simHookRemovals();
uint32_t simHooksInstalled(); // hooks in place now
// Delivers one low-level keyboard event to the newest hook, as the system
// would; returns what the hook returned, or -1 with no hook in place.
intptr_t                  simHookDeliver(int32_t code, uint32_t message, uint32_t vkey, uint32_t flags);
uint32_t                  simHookPassedOn(); // calls to hookCallNext
inline constexpr intptr_t simHookNextResult = 0x5EED;

// While stalled, a thread that reads a process image waits inside the read,
// answering no messages.
void     simProcessStall(bool stalled);
uint32_t simProcessParked(); // threads waiting there now

} // namespace keywatch
