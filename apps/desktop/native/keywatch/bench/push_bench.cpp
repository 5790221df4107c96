// Prints the cost of pushTransition and of the drain's copy under the lock,
// and counts every heap allocation made while they run (there must be none).
#include <chrono>
#include <stdio.h>
#include <stdlib.h>

#include "allocation_count.h"
#include "capture_state.h"
#include "frame_queue.h"
#include "windows_codes.h"

using namespace keywatch;
typedef std::chrono::steady_clock Clock;

static double nsSince(Clock::time_point start) {
    return (double) std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

static void arm(CaptureState * state) {
    ScopedLock held(&state->lock);
    armCapture(state, 0.0, 0, false);
}

int main() {
    // The hook must see the record's own allocation, or its zeros prove nothing.
    const uint64_t beforeCreate      = quillet::allocationCount();
    CaptureState * state             = captureStateCreate();
    const uint64_t createAllocations = quillet::allocationCount() - beforeCreate;
    if (state == nullptr || createAllocations == 0) {
        fprintf(stderr, "allocation hook saw nothing while creating the capture record\n");
        return 1;
    }
    static DrainCopy copy;
    const DecodedKey down   = decodeRawKeyboard(quillet::scanControl, 0, quillet::vkLeftControl);
    const DecodedKey up     = decodeRawKeyboard(quillet::scanControl, rawKeyBreak, quillet::vkLeftControl);
    const DecodedKey letter = decodeRawKeyboard(0x1E, 0, 0x41);
    const int        rounds = 20000;

    // Pushes that each queue a frame: 254 per arming, then a drain (untimed).
    arm(state);
    drainCapture(state, &copy);
    uint64_t before  = quillet::allocationCount();
    double   eventNs = 0;
    uint64_t events  = 0;
    for (int r = 0; r < rounds; r++) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < 256; i++) {
            pushTransition(state, 1, (i % 2) == 0 ? down : up, (double) i);
        }
        eventNs += nsSince(start);
        events += 256;
        drainCapture(state, &copy);
    }
    const uint64_t eventAllocations = quillet::allocationCount() - before;

    // Auto-repeats: the held table is searched, no frame is queued.
    pushTransition(state, 1, letter, 0.0);
    before                    = quillet::allocationCount();
    Clock::time_point start   = Clock::now();
    const int         repeats = 5000000;
    for (int i = 0; i < repeats; i++) {
        pushTransition(state, 1, letter, 0.0);
    }
    const double   repeatNs          = nsSince(start) / repeats;
    const uint64_t repeatAllocations = quillet::allocationCount() - before;

    // The drain's copy of a full queue under the lock (no JS objects).
    before         = quillet::allocationCount();
    double drainNs = 0;
    for (int r = 0; r < rounds; r++) {
        arm(state);
        drainCapture(state, &copy);
        for (int i = 0; i < 256; i++) {
            pushTransition(state, 1, (i % 2) == 0 ? down : up, (double) i);
        }
        start = Clock::now();
        drainCapture(state, &copy);
        drainNs += nsSince(start);
        if (copy.frameCount != 256) {
            fprintf(stderr, "expected a full queue, got %llu frames\n", (unsigned long long) copy.frameCount);
            return 1;
        }
    }
    const uint64_t drainAllocations = quillet::allocationCount() - before;

    printf("allocation hook check: captureStateCreate made %llu allocation(s)\n",
           (unsigned long long) createAllocations);
    printf("pushTransition, frame queued:   %7.1f ns/call  (%llu calls, %llu allocations)\n", eventNs / (double) events,
           (unsigned long long) events, (unsigned long long) eventAllocations);
    printf("pushTransition, auto-repeat:    %7.1f ns/call  (%d calls, %llu allocations)\n", repeatNs, repeats,
           (unsigned long long) repeatAllocations);
    printf("drainCapture copy, 256 frames:  %7.2f us/drain (%d drains, %llu allocations)\n", drainNs / rounds / 1000.0,
           rounds, (unsigned long long) drainAllocations);
    captureStateDestroy(state);
    return eventAllocations + repeatAllocations + drainAllocations == 0 ? 0 : 1;
}
