// The simulated platform's controls (sim.h): tests and benchmarks set up
// the world, its clock, its failures and its thread gate through these.
#include "sim.h"
#include "sim_world.h"

#include <string.h>

namespace appfocus {
namespace sim {

using platform::World;
using platform::world;

void reset() {
    std::lock_guard<std::mutex> held(world.mutex);
    memset(world.windows, 0, sizeof(world.windows));
    memset(world.processes, 0, sizeof(world.processes));
    world.foreground         = 0;
    world.failForegroundHook = false;
    world.failDestroyHook    = false;
    world.failUnhook         = false;
    world.imageQueryHook     = nullptr;
    world.imageQueryArg      = nullptr;
    world.imageQueries       = 0;
    world.threadsHeld        = false;
    world.failThreadStart    = false;
    world.instantWaits       = false;
    world.lastWaitMs         = 0;
    // Hooks whose thread has ended (after a simulated unhook failure) go too.
    for (int i = 0; i < platform::maxHooks; i++) {
        platform::SimHook * h = &world.hooks[i];
        if (h->handle != 0 && !platform::findQueue(h->threadId)) memset(h, 0, sizeof(*h));
    }
    world.gate.notify_all();
    platform::clockFrozen.store(false);
}

void setClockMs(double ms) {
    platform::frozenTicks.store(static_cast<int64_t>(ms * (platform::counterFrequency / 1000)));
    platform::clockFrozen.store(true);
}

void useRealClock() { platform::clockFrozen.store(false); }

void addWindow(platform::WindowHandle window, uint32_t processId) {
    std::lock_guard<std::mutex> held(world.mutex);
    platform::SimWindow *       w = platform::findWindow(window);
    for (int i = 0; !w && i < platform::maxWindows; i++) {
        if (world.windows[i].handle == 0) w = &world.windows[i];
    }
    if (!w) abort();
    w->handle    = window;
    w->processId = processId;
    w->alive     = true;
}

void setImagePath(uint32_t processId, const char16_t * units, uint32_t length) {
    std::lock_guard<std::mutex> held(world.mutex);
    platform::SimProcess *      p = platform::findProcess(processId, true);
    if (!p || length > platform::maxPathUnits) abort();
    memcpy(p->path, units, length * sizeof(char16_t));
    p->pathLength = length;
}

void addProcess(uint32_t processId, const char16_t * imagePath) {
    uint32_t length = 0;
    while (imagePath[length] != 0) length++;
    setImagePath(processId, imagePath, length);
}

void addApp(platform::WindowHandle window, uint32_t processId, const char16_t * imagePath) {
    addWindow(window, processId);
    addProcess(processId, imagePath);
}

void setProcessExited(uint32_t processId, bool exited) {
    std::lock_guard<std::mutex> held(world.mutex);
    platform::SimProcess *      p = platform::findProcess(processId, false);
    if (p) p->exited = exited;
}

void setOpenFails(uint32_t processId, bool fails) {
    std::lock_guard<std::mutex> held(world.mutex);
    platform::SimProcess *      p = platform::findProcess(processId, false);
    if (p) p->openFails = fails;
}

void setForeground(platform::WindowHandle window, bool raiseEvent) {
    {
        std::lock_guard<std::mutex> held(world.mutex);
        world.foreground = window;
    }
    if (raiseEvent) raiseWinEvent(platform::eventSystemForeground, window, 0);
}

void destroyWindow(platform::WindowHandle window) {
    {
        std::lock_guard<std::mutex> held(world.mutex);
        platform::SimWindow *       w = platform::findWindow(window);
        if (w) w->alive = false;
    }
    raiseWinEvent(platform::eventObjectDestroy, window, platform::objectIdWindow);
}

void raiseWinEvent(uint32_t event, platform::WindowHandle window, int32_t objectId) {
    std::lock_guard<std::mutex> held(world.mutex);
    for (int i = 0; i < platform::maxHooks; i++) {
        platform::SimHook * h = &world.hooks[i];
        if (h->handle == 0 || h->event != event) continue;
        platform::SimQueue * q = platform::findQueue(h->threadId);
        if (!q) continue;
        platform::SimMessage m;
        memset(&m, 0, sizeof(m));
        m.kind     = platform::MessageWinEvent;
        m.hook     = h->handle;
        m.proc     = h->proc;
        m.event    = event;
        m.window   = window;
        m.objectId = objectId;
        platform::enqueue(q, m);
    }
}

void setImageQueryHook(void (*hook)(void *), void * arg) {
    std::lock_guard<std::mutex> held(world.mutex);
    world.imageQueryHook = hook;
    world.imageQueryArg  = arg;
}

void setHookInstallFails(uint32_t event, bool fails) {
    std::lock_guard<std::mutex> held(world.mutex);
    if (event == platform::eventSystemForeground) world.failForegroundHook = fails;
    if (event == platform::eventObjectDestroy) world.failDestroyHook = fails;
}

void setUnhookFails(bool fails) {
    std::lock_guard<std::mutex> held(world.mutex);
    world.failUnhook = fails;
}

int activeHooks() {
    std::lock_guard<std::mutex> held(world.mutex);
    int                         n = 0;
    for (int i = 0; i < platform::maxHooks; i++) n += world.hooks[i].handle != 0;
    return n;
}

int openProcessHandles() {
    std::lock_guard<std::mutex> held(world.mutex);
    return world.openHandles;
}

uint32_t imageQueries() {
    std::lock_guard<std::mutex> held(world.mutex);
    return world.imageQueries;
}

void holdThreads(bool held) {
    std::lock_guard<std::mutex> lock(world.mutex);
    world.threadsHeld = held;
    if (!held) world.gate.notify_all();
}

void setInstantWaits(bool instant) {
    std::lock_guard<std::mutex> held(world.mutex);
    world.instantWaits = instant;
}

uint32_t lastWaitMs() {
    std::lock_guard<std::mutex> held(world.mutex);
    return world.lastWaitMs;
}

int queuedMessages() {
    uint32_t                    id = platform::currentThreadId();
    std::lock_guard<std::mutex> held(world.mutex);
    platform::SimQueue *        q = platform::findQueue(id);
    return q ? q->count : 0;
}

void failNextThreadStart() {
    std::lock_guard<std::mutex> held(world.mutex);
    world.failThreadStart = true;
}

ThreadCounts threadCounts() {
    std::lock_guard<std::mutex> held(world.mutex);
    return world.threads;
}

void awaitThreadsEnded() {
    std::unique_lock<std::mutex> held(world.mutex);
    world.gate.wait(held, [] { return world.threads.running == 0; });
}

} // namespace sim
} // namespace appfocus
