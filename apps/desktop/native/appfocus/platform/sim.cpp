// A simulated Windows for the tracker: fixed tables of windows, processes,
// hooks and per-thread message queues, so nothing here allocates once
// running and a probe can be measured for allocations.
#include "sim.h"
#include "sim_world.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace appfocus {
namespace platform {

World                world;
std::atomic<bool>    clockFrozen{false};
std::atomic<int64_t> frozenTicks{0};

SimWindow * findWindow(WindowHandle handle) {
    for (int i = 0; i < maxWindows; i++) {
        if (world.windows[i].handle == handle && handle != 0) return &world.windows[i];
    }
    return nullptr;
}

SimProcess * findProcess(uint32_t processId, bool create) {
    SimProcess * empty = nullptr;
    for (int i = 0; i < maxProcesses; i++) {
        SimProcess * p = &world.processes[i];
        if (p->processId == processId) return p;
        if (!empty && p->processId == 0) empty = p;
    }
    if (!create || !empty) return nullptr;
    memset(empty, 0, sizeof(*empty));
    empty->processId = processId;
    return empty;
}

SimQueue * findQueue(uint32_t threadId) {
    for (int i = 0; i < maxQueues; i++) {
        if (world.queues[i].threadId == threadId && threadId != 0) return &world.queues[i];
    }
    return nullptr;
}

// A full queue drops the message, as a full Windows queue refuses a post.
bool enqueue(SimQueue * q, const SimMessage & m) {
    if (q->count == queueCapacity) return false;
    q->ring[(q->head + q->count) % queueCapacity] = m;
    q->count++;
    q->ready.notify_all();
    return true;
}

namespace {

std::atomic<uint32_t> nextThreadId{1000};
thread_local uint32_t simThreadId = 0;

bool post(uint32_t threadId, MessageKind kind) {
    std::lock_guard<std::mutex> held(world.mutex);
    SimQueue *                  q = findQueue(threadId);
    if (!q) return false;
    SimMessage m;
    memset(&m, 0, sizeof(m));
    m.kind = kind;
    return enqueue(q, m);
}

// What a started thread runs, kept here because the shared record's main and
// argument are the trampoline's own.
struct SimStart {
    quillet::ThreadMain main;
    void *              argument;
    bool                used;
};
SimStart starts[maxQueues];

uint32_t QUILLET_THREAD_CALL threadTrampoline(void * arg) {
    SimStart *          start = static_cast<SimStart *>(arg);
    quillet::ThreadMain main;
    void *              argument;
    {
        std::unique_lock<std::mutex> held(world.mutex);
        while (world.threadsHeld) world.gate.wait(held);
        main        = start->main;
        argument    = start->argument;
        start->used = false;
    }
    main(argument);
    std::lock_guard<std::mutex> held(world.mutex);
    // The thread's queue and hooks die with it.
    SimQueue * q = findQueue(simThreadId);
    if (q) q->threadId = 0;
    world.threads.running--;
    world.gate.notify_all();
    return 0;
}

} // namespace

HookHandle setWinEventHook(uint32_t event, WinEventProc proc) {
    std::lock_guard<std::mutex> held(world.mutex);
    if ((event == eventSystemForeground && world.failForegroundHook) ||
        (event == eventObjectDestroy && world.failDestroyHook)) {
        return 0;
    }
    for (int i = 0; i < maxHooks; i++) {
        SimHook * h = &world.hooks[i];
        if (h->handle != 0) continue;
        h->handle   = ++world.nextHook;
        h->event    = event;
        h->threadId = currentThreadId();
        h->proc     = proc;
        return h->handle;
    }
    return 0;
}

bool unhookWinEvent(HookHandle hook) {
    std::lock_guard<std::mutex> held(world.mutex);
    for (int i = 0; i < maxHooks; i++) {
        SimHook * h = &world.hooks[i];
        if (h->handle != hook || hook == 0) continue;
        if (world.failUnhook) return false;
        memset(h, 0, sizeof(*h));
        return true;
    }
    return false;
}

void createMessageQueue() {
    uint32_t                    id = currentThreadId();
    std::lock_guard<std::mutex> held(world.mutex);
    if (findQueue(id)) return;
    for (int i = 0; i < maxQueues; i++) {
        SimQueue * q = &world.queues[i];
        if (q->threadId != 0) continue;
        q->threadId = id;
        q->head     = 0;
        q->count    = 0;
        return;
    }
    abort(); // more simulated threads than any test uses
}

uint32_t currentThreadId() {
    if (simThreadId == 0) simThreadId = nextThreadId.fetch_add(1);
    return simThreadId;
}

PumpResult pumpMessage() {
    SimMessage m;
    {
        std::lock_guard<std::mutex> held(world.mutex);
        SimQueue *                  q = findQueue(currentThreadId());
        if (!q || q->count == 0) return PumpEmpty;
        m       = q->ring[q->head];
        q->head = (q->head + 1) % queueCapacity;
        q->count--;
    }
    if (m.kind == MessageQuit) return PumpQuit;
    // Out-of-context events reach the hooking thread during retrieval.
    if (m.kind == MessageWinEvent) m.proc(m.hook, m.event, m.window, m.objectId, 0, 0, 0);
    return PumpDispatched;
}

void waitForMessages(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> held(world.mutex);
    SimQueue *                   q = findQueue(currentThreadId());
    if (!q) return;
    world.lastWaitMs = timeoutMs;
    if (world.instantWaits) return;
    q->ready.wait_for(held, std::chrono::milliseconds(timeoutMs), [q] { return q->count > 0; });
}

bool postQuit(uint32_t threadId) { return post(threadId, MessageQuit); }

bool postWake(uint32_t threadId) { return post(threadId, MessageNull); }

WindowHandle foregroundWindow() {
    std::lock_guard<std::mutex> held(world.mutex);
    return world.foreground;
}

bool isWindow(WindowHandle window) {
    std::lock_guard<std::mutex> held(world.mutex);
    SimWindow *                 w = findWindow(window);
    return w && w->alive;
}

uint32_t windowProcessId(WindowHandle window) {
    std::lock_guard<std::mutex> held(world.mutex);
    SimWindow *                 w = findWindow(window);
    return w && w->alive ? w->processId : 0;
}

ProcessHandle openProcess(uint32_t processId) {
    std::lock_guard<std::mutex> held(world.mutex);
    SimProcess *                p = findProcess(processId, false);
    if (!p || p->openFails) return nullptr;
    world.openHandles++;
    return p;
}

bool queryImagePath(ProcessHandle process, Utf16Unit * buffer, uint32_t capacity, uint32_t * length) {
    void (*hook)(void *);
    void * arg;
    {
        std::lock_guard<std::mutex> held(world.mutex);
        world.imageQueries++;
        hook = world.imageQueryHook;
        arg  = world.imageQueryArg;
    }
    if (hook) hook(arg);
    std::lock_guard<std::mutex> held(world.mutex);
    SimProcess *                p = static_cast<SimProcess *>(process);
    // Like the real call: the path and its terminator must fit.
    if (p->pathLength + 1 > capacity) return false;
    memcpy(buffer, p->path, p->pathLength * sizeof(Utf16Unit));
    buffer[p->pathLength] = 0;
    *length               = p->pathLength;
    return true;
}

bool processStillRunning(ProcessHandle process) {
    std::lock_guard<std::mutex> held(world.mutex);
    return !static_cast<SimProcess *>(process)->exited;
}

void closeProcess(ProcessHandle) {
    std::lock_guard<std::mutex> held(world.mutex);
    world.openHandles--;
}

int utf16ToUtf8(const Utf16Unit * units, int count, char * out, int capacity) {
    int written = 0;
    for (int i = 0; i < count; i++) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return 0; // a low surrogate with no high one before it
        }
        unsigned char bytes[4];
        int           n;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            n        = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n        = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n        = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n        = 4;
        }
        if (written + n > capacity) return 0;
        memcpy(out + written, bytes, n);
        written += n;
    }
    return written;
}

int64_t performanceCounter() {
    if (clockFrozen.load()) return frozenTicks.load();
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Plus one tick: the real counter is never zero.
    return static_cast<int64_t>(ts.tv_sec) * counterFrequency + ts.tv_nsec / 100 + 1;
}

int64_t performanceFrequency() { return counterFrequency; }

bool startThread(quillet::Thread * thread, quillet::ThreadMain main, void * argument) {
    thread->joinable = false;
    SimStart * start = nullptr;
    {
        std::lock_guard<std::mutex> held(world.mutex);
        for (int i = 0; i < maxQueues && !start; i++) {
            if (!starts[i].used) start = &starts[i];
        }
        if (world.failThreadStart || !start) {
            world.failThreadStart = false;
            return false;
        }
        start->main     = main;
        start->argument = argument;
        start->used     = true;
        world.threads.started++;
        world.threads.running++;
    }
    if (!quillet::threadStart(thread, threadTrampoline, start)) {
        std::lock_guard<std::mutex> held(world.mutex);
        start->used = false;
        world.threads.started--;
        world.threads.running--;
        return false;
    }
    return true;
}

void joinThread(quillet::Thread * thread) {
    quillet::threadJoin(thread);
    std::lock_guard<std::mutex> held(world.mutex);
    world.threads.joined++;
}

} // namespace platform
} // namespace appfocus
