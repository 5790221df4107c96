#include "allocation_count.h"

#include <stddef.h>

#include <atomic>

extern "C" void * __libc_malloc(size_t);
extern "C" void * __libc_calloc(size_t, size_t);
extern "C" void * __libc_realloc(void *, size_t);
extern "C" void   __libc_free(void *);

static std::atomic<uint64_t> allocations{0};

// Every allocation of the process, operator new's included, comes through here.
extern "C" void * malloc(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void * calloc(size_t count, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void * realloc(void * p, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
extern "C" void free(void * p) { __libc_free(p); }

namespace quillet {

uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }

} // namespace quillet
