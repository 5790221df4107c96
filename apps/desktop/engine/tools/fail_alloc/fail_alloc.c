/* Test-only allocation failure, preloaded into the engine (glibc only).
 *
 * QUILLET_TEST_FAIL_ALLOC_SIZE=<bytes>: every malloc, calloc or realloc of
 * exactly that many bytes fails with ENOMEM, so tests can make one chosen
 * allocation of the engine run out of memory and watch what it reports. */
#include <errno.h>
#include <stdlib.h>

extern void * __libc_malloc(size_t size);
extern void * __libc_calloc(size_t count, size_t size);
extern void * __libc_realloc(void * p, size_t size);

static size_t failSize(void) {
    static int    read = 0;
    static size_t size = 0;
    if (!read) {
        const char * v = getenv("QUILLET_TEST_FAIL_ALLOC_SIZE");
        size           = v != NULL ? (size_t) strtoull(v, NULL, 10) : 0;
        read           = 1;
    }
    return size;
}

static int refuse(size_t size) {
    size_t f = failSize();
    if (f != 0 && size == f) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void * malloc(size_t size) { return refuse(size) ? NULL : __libc_malloc(size); }

void * calloc(size_t count, size_t size) { return refuse(count * size) ? NULL : __libc_calloc(count, size); }

void * realloc(void * p, size_t size) { return refuse(size) ? NULL : __libc_realloc(p, size); }
