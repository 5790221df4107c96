// The module clock comes from the host's libuv, bound like the Node-API
// imports: resolved by the host process on Linux, lazily on Windows.
#include "module_clock.h"

#include <stdint.h>

extern "C" uint64_t uv_hrtime(void);

namespace keywatch {

double moduleClockMs() { return (double) uv_hrtime() / 1000000.0; }

} // namespace keywatch
