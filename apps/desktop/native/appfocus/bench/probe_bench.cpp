// Prints the cost of one probe on the simulated platform and proves that a
// probe allocates nothing: every operator new and malloc in the process is
// counted while the probes run.
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <new>

#include "platform/sim.h"
#include "src/tracker.h"

static std::atomic<uint64_t> allocations{0};

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);
extern "C" void *malloc(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t count, size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, n);
}
extern "C" void *realloc(void *p, size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void *operator new(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    void *p = __libc_malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { __libc_free(p); }
void operator delete[](void *p) noexcept { __libc_free(p); }
void operator delete(void *p, size_t) noexcept { __libc_free(p); }
void operator delete[](void *p, size_t) noexcept { __libc_free(p); }

using namespace appfocus;

template <typename Fn>
static double nsPerCall(int n, Fn fn) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) fn();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

int main() {
    const int kProbes = 200000;
    sim::reset();
    sim::addApp(0x1a2b, 4242, u"C:\\Program Files\\Editor\\Editor.exe");
    sim::setForeground(0x1a2b, false);
    ForegroundTracker *tracker = new ForegroundTracker();
    // The tracker thread waits at the gate: the probes below run on this
    // thread and nothing else in the process runs meanwhile.
    sim::holdThreads(true);
    start(tracker);

    for (int i = 0; i < 1000; i++) resolveForeground(tracker);
    ContextSnapshot s;
    double clockMs;
    copySnapshot(tracker, &s, &clockMs);
    if (!s.valid) {
        fprintf(stderr, "probe did not resolve the application\n");
        return 1;
    }

    uint64_t before = allocations.load();
    double probeNs = nsPerCall(kProbes, [&] { resolveForeground(tracker); });
    uint64_t probeAllocations = allocations.load() - before;

    before = allocations.load();
    double copyNs = nsPerCall(kProbes, [&] { copySnapshot(tracker, &s, &clockMs); });
    uint64_t copyAllocations = allocations.load() - before;

    printf("probe (simulated platform): %.1f ns/probe over %d probes, %llu allocations\n",
           probeNs, kProbes, static_cast<unsigned long long>(probeAllocations));
    printf("copySnapshot (native part of snapshot): %.1f ns/call, %llu allocations\n", copyNs,
           static_cast<unsigned long long>(copyAllocations));

    sim::holdThreads(false);
    stop(tracker);
    delete tracker;
    return probeAllocations == 0 && copyAllocations == 0 ? 0 : 1;
}
