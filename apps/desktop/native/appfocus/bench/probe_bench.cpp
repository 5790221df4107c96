// Prints the cost of one probe on the simulated platform and proves that a
// probe allocates nothing: every operator new and malloc in the process is
// counted while the probes run.
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>

#include "allocation_count.h"
#include "identity.h"
#include "sim.h"
#include "tracker.h"

using namespace appfocus;

template <typename Fn>
static double nsPerCall(int n, Fn fn) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) fn();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

int main() {
    const int probeCount = 200000;
    sim::reset();
    sim::addApp(0x1a2b, 4242, u"C:\\Program Files\\Editor\\Editor.exe");
    sim::setForeground(0x1a2b, false);
    ForegroundTracker * tracker = new ForegroundTracker();
    // The tracker thread waits at the gate: the probes below run on this
    // thread and nothing else in the process runs meanwhile.
    sim::holdThreads(true);
    start(tracker);

    for (int i = 0; i < 1000; i++) resolveForeground(tracker);
    ContextSnapshot s;
    double          clockMs;
    copySnapshot(tracker, &s, &clockMs);
    if (!s.valid) {
        fprintf(stderr, "probe did not resolve the application\n");
        return 1;
    }

    uint64_t before           = quillet::allocationCount();
    double   probeNs          = nsPerCall(probeCount, [&] { resolveForeground(tracker); });
    uint64_t probeAllocations = quillet::allocationCount() - before;

    before                   = quillet::allocationCount();
    double   copyNs          = nsPerCall(probeCount, [&] { copySnapshot(tracker, &s, &clockMs); });
    uint64_t copyAllocations = quillet::allocationCount() - before;

    printf("probe (simulated platform): %.1f ns/probe over %d probes, %llu allocations\n", probeNs, probeCount,
           static_cast<unsigned long long>(probeAllocations));
    printf("copySnapshot (native part of snapshot): %.1f ns/call, %llu allocations\n", copyNs,
           static_cast<unsigned long long>(copyAllocations));

    sim::holdThreads(false);
    stop(tracker);
    delete tracker;
    return probeAllocations == 0 && copyAllocations == 0 ? 0 : 1;
}
