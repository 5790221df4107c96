// Counts the heap allocations of the whole benchmark process (glibc only):
// linking allocation_count.cpp routes malloc, calloc and realloc, and with
// them operator new, through a counter. Benchmarks read it around the code
// that must not allocate.
#pragma once

#include <stdint.h>

namespace quillet {

// Allocations since the process began; any thread.
uint64_t allocationCount();

} // namespace quillet
