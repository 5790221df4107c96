// What the simulation's files (sim_threads, sim_desktop, sim_windows) share
// among themselves; tests use sim.h.
#pragma once

#include "platform.h"
#include "sim.h"

namespace keywatch {

// Is the call switched to fail (SimDesktop::failing)? Takes the desktop lock.
bool simCallFails(SimCall call);
// Live waitables +change. Takes the desktop lock.
void simCountWaitable(int change);

// The rest need the desktop lock held (between simDesktopBegin and simDesktopEnd).
SimDesktop * simDesktopHeld();
// No windows or classes are left over from an earlier scenario.
void simForgetWindowsLocked();
// A synthesized key reaches every keyboard raw input registration as an injected record.
void simPostInjectedKeyLocked(const SynthKey & key);

} // namespace keywatch
