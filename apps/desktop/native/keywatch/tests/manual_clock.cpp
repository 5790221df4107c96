// The module clock of unit tests and benchmarks: set by hand, read by the core.
#include <atomic>

#include "module_clock.h"

namespace keywatch {

static std::atomic<double> manualNow{1000.0};

void   setManualClockMs(double ms) { manualNow.store(ms); }
double moduleClockMs() { return manualNow.load(); }

} // namespace keywatch
