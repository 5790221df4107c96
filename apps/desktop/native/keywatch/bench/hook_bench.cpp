// Prints the cost per event of the remote-keys hook procedure (modifier,
// other key, injected) and counts heap allocations while it runs (there must
// be none). hookCallNext is the simulated one, a counter under a mutex; its
// own cost is printed too so the procedure's share can be told apart.
#include <atomic>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>

#include "allocation_count.h"
#include "remote_keys.h"
#include "sim.h"
#include "sim_hooks.h"
#include "windows_codes.h"

using namespace keywatch;
typedef std::chrono::steady_clock Clock;

static const int rounds = 2000000;

template <typename Body>
static double nsPerCall(Body body) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; i++) {
        body(i);
    }
    return (double) std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / rounds;
}

int main() {
    simDesktopReset();
    simHooksReset();
    LowLevelKeyEvent  event  = {0, 0, 0, 0, 0};
    const intptr_t    lParam = reinterpret_cast<intptr_t>(&event);
    volatile intptr_t sink   = 0;

    const uint64_t before = quillet::allocationCount();
    // The last modifier in the table: the search runs over all eight codes.
    event.vkCode = quillet::modifierVirtualKeys[7];
    const double modifier =
        nsPerCall([&](int i) { sink = monitorHookProcedure(0, (i & 1) ? messageKeyUp : messageKeyDown, lParam); });
    event.vkCode = 0x41; // A
    const double other =
        nsPerCall([&](int i) { sink = monitorHookProcedure(0, (i & 1) ? messageKeyUp : messageKeyDown, lParam); });
    event.flags             = lowLevelInjected;
    const double   injected = nsPerCall([&](int) { sink = monitorHookProcedure(0, messageKeyDown, lParam); });
    const double   next     = nsPerCall([&](int) { sink = hookCallNext(0, messageKeyDown, lParam); });
    const uint64_t made     = quillet::allocationCount() - before;

    printf("hook procedure, modifier (8-code search + atomic): %.1f ns/event\n", modifier);
    printf("hook procedure, other key (search + atomic):       %.1f ns/event\n", other);
    printf("hook procedure, injected (skipped):                %.1f ns/event\n", injected);
    printf("simulated hookCallNext alone:                      %.1f ns/call\n", next);
    printf("procedure's own share, modifier / other:           %.1f / %.1f ns\n", modifier - next, other - next);
    printf("allocations during %d x 4 calls: %llu\n", rounds, (unsigned long long) made);
    (void) sink;
    return made == 0 ? 0 : 1;
}
