// Prints the cost of one raw keyboard record (dispatch to the window
// procedure, handleRawInput, decoding, the held table and the queued frame)
// and of one poll sampling, on the simulated desktop. Counts allocations on
// the record path, which must stay at zero.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "allocation_count.h"
#include "input_environment.h"
#include "windows_codes.h"
#include "worker_driver.h"

using namespace keywatch;

int main() {
    WorkerDriver w;
    w.begin();
    if (!w.arm()) {
        fprintf(stderr, "capture did not arm\n");
        return 1;
    }
    // Two records, a press and a release of left Control, dispatched again and again.
    w.key(quillet::scanControl, 0, quillet::vkLeftControl);
    w.key(quillet::scanControl, 1, quillet::vkLeftControl);
    ThreadMessage press, release;
    messageGet(&press);
    messageGet(&release);

    const int     blocks = 2000, perBlock = 128;
    double        totalNs   = 0.0;
    unsigned long allocated = 0;
    for (int b = 0; b < blocks; b++) {
        w.drain();
        const uint64_t before = quillet::allocationCount();
        const auto     start  = std::chrono::steady_clock::now();
        for (int i = 0; i < perBlock; i += 2) {
            messageDispatch(&press);
            messageDispatch(&release);
        }
        const auto end = std::chrono::steady_clock::now();
        allocated += (unsigned long) (quillet::allocationCount() - before);
        totalNs += (double) std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    }
    const DrainCopy & last = w.drain();
    (void) last;
    printf("raw keyboard record: %.1f ns per record over %d records, %lu allocations, armed %s\n",
           totalNs / (blocks * perBlock), blocks * perBlock, allocated, w.armed() ? "yes" : "no");

    const int polls  = 20000;
    double    pollNs = 0.0;
    for (int i = 0; i < polls; i++) {
        w.advance(25.0);
        const auto start = std::chrono::steady_clock::now();
        pollInputConsistency(w.state);
        const auto end = std::chrono::steady_clock::now();
        pollNs += (double) std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    }
    printf("poll sampling: %.1f ns per sampling over %d samplings (262 key-state reads, two environment checks), "
           "armed %s\n",
           pollNs / polls, polls, w.armed() ? "yes" : "no");
    w.finish();
    return allocated == 0 ? 0 : 1;
}
