// Over 500 lines: windows, classes, queues, timers and raw records interlock, as in Windows itself.
// Simulated message-only windows, window classes, thread message queues,
// thread timers and raw input records behind the platform seam on Linux.
#include "platform.h"
#include "sim.h"
#include "sim_internal.h"

#include <string.h>
#include <time.h>

namespace keywatch {

// All guarded by the desktop mutex; window procedures run without it.

enum {
    simClassCapacity  = 16,
    simWindowCapacity = 16,
    simQueueCapacity  = 16,
    simQueueDepth     = 512,
    simRecordCapacity = 1024
};

struct SimClass {
    const void *    owner;
    WindowProcedure procedure;
};
struct SimWindow {
    uintptr_t       handle;
    const void *    owner;
    WindowProcedure procedure;
    uint32_t        thread;
    void *          userData;
};
struct SimQueue {
    uint32_t      thread;
    ThreadMessage messages[simQueueDepth];
    uint32_t      head;
    uint32_t      count;
    uint32_t      timerPeriodMs; // 0: no timer
    uint64_t      timerDueMs;
};
struct SimRecord {
    uint8_t  bytes[rawRecordSize];
    uint32_t size;
};

static SimClass              classes[simClassCapacity];
static SimWindow             windows[simWindowCapacity];
static SimQueue              queues[simQueueCapacity];
static SimRecord             records[simRecordCapacity];
static uint32_t              nextRecord         = 0;
static uintptr_t             nextWindow         = 0x20000;
static thread_local uint32_t currentMessageTime = 0;

static uint64_t realMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u;
}

// The tick count, for callers that hold the desktop mutex.
static uint64_t ticksLocked() { return simDesktopHeld()->manualTicks ? simDesktopHeld()->ticks : realMs(); }

// Desktop mutex held.
static SimWindow * findWindow(WindowHandle window) {
    for (SimWindow & w : windows) {
        if (w.handle != 0 && w.handle == reinterpret_cast<uintptr_t>(window)) {
            return &w;
        }
    }
    return nullptr;
}

static SimQueue * findQueue(uint32_t thread, bool create) {
    for (SimQueue & q : queues) {
        if (q.thread == thread) {
            return &q;
        }
    }
    if (!create) {
        return nullptr;
    }
    for (SimQueue & q : queues) {
        if (q.thread == 0 || (q.count == 0 && q.timerPeriodMs == 0)) {
            memset(&q, 0, sizeof(q));
            q.thread = thread;
            return &q;
        }
    }
    return nullptr;
}

static bool enqueue(uint32_t thread, const ThreadMessage & message) {
    SimQueue * q = findQueue(thread, true);
    if (q == nullptr || q->count == simQueueDepth) {
        return false;
    }
    q->messages[(q->head + q->count) % simQueueDepth] = message;
    q->count++;
    return true;
}

static bool takeMessage(uint32_t thread, ThreadMessage * out) {
    SimQueue * q = findQueue(thread, false);
    if (q == nullptr) {
        return false;
    }
    if (q->count != 0) {
        *out    = q->messages[q->head];
        q->head = (q->head + 1) % simQueueDepth;
        q->count--;
        return true;
    }
    if (q->timerPeriodMs != 0 && realMs() >= q->timerDueMs) {
        q->timerDueMs = realMs() + q->timerPeriodMs;
        *out          = ThreadMessage{nullptr, messageTimer, 1, 0, (uint32_t) ticksLocked(), 0, 0};
        return true;
    }
    return false;
}

static bool queueNonEmpty(uint32_t thread) {
    SimDesktop * d = simDesktopBegin();
    (void) d;
    SimQueue * q       = findQueue(thread, false);
    const bool waiting = q != nullptr && q->count != 0;
    simDesktopEnd();
    return waiting;
}

// A reset desktop has no windows or classes left over from an earlier scenario.
void simForgetWindowsLocked() {
    memset(classes, 0, sizeof(classes));
    memset(windows, 0, sizeof(windows));
    simDesktopHeld()->liveWindows = 0;
    simDesktopHeld()->liveClasses = 0;
}

void * hostInstance() { return reinterpret_cast<void *>(0x400000); }

static void waitWhileHeld(bool SimDesktop::*flag) {
    for (;;) {
        SimDesktop * d    = simDesktopBegin();
        const bool   hold = d->*flag;
        simDesktopEnd();
        if (!hold) {
            return;
        }
        sleepMs(1);
    }
}

bool messageWindowClassRegister(const void * owner, WindowProcedure procedure) {
    waitWhileHeld(&SimDesktop::holdSetUp);
    SimDesktop * d  = simDesktopBegin();
    bool         ok = (d->failing & (1u << simClassRegister)) == 0;
    for (SimClass & c : classes) {
        ok = ok && c.owner != owner; // one class name per owner
    }
    SimClass * slot = nullptr;
    for (SimClass & c : classes) {
        if (slot == nullptr && c.owner == nullptr) {
            slot = &c;
        }
    }
    if (ok && slot != nullptr) {
        *slot = SimClass{owner, procedure};
        d->liveClasses++;
    }
    simDesktopEnd();
    return ok && slot != nullptr;
}

bool messageWindowClassUnregister(const void * owner) {
    SimDesktop * d  = simDesktopBegin();
    bool         ok = (d->failing & (1u << simClassUnregister)) == 0;
    if (ok) {
        ok = false;
        for (SimClass & c : classes) {
            if (c.owner == owner) {
                c = SimClass{nullptr, nullptr};
                d->liveClasses--;
                ok = true;
            }
        }
    }
    simDesktopEnd();
    return ok;
}

WindowHandle messageWindowCreate(const void * owner) {
    SimDesktop *    d         = simDesktopBegin();
    WindowProcedure procedure = nullptr;
    for (SimClass & c : classes) {
        if (c.owner == owner) {
            procedure = c.procedure;
        }
    }
    SimWindow * slot = nullptr;
    if (procedure != nullptr && (d->failing & (1u << simWindowCreate)) == 0) {
        for (SimWindow & w : windows) {
            if (slot == nullptr && w.handle == 0) {
                slot = &w;
            }
        }
    }
    if (slot != nullptr) {
        *slot = SimWindow{nextWindow, owner, procedure, currentThreadId(), nullptr};
        nextWindow += 0x10;
        d->liveWindows++;
    }
    WindowHandle handle = slot != nullptr ? reinterpret_cast<WindowHandle>(slot->handle) : nullptr;
    simDesktopEnd();
    if (handle != nullptr) {
        // The creation record's first member is the creation parameter.
        const void * create[1] = {owner};
        procedure(handle, messageNcCreate, 0, reinterpret_cast<intptr_t>(create));
    }
    return handle;
}

bool windowDestroy(WindowHandle window) {
    waitWhileHeld(&SimDesktop::holdWindowDestroy);
    SimDesktop *    d         = simDesktopBegin();
    SimWindow *     w         = findWindow(window);
    const bool      ok        = w != nullptr && (d->failing & (1u << simWindowDestroy)) == 0;
    WindowProcedure procedure = ok ? w->procedure : nullptr;
    simDesktopEnd();
    if (!ok) {
        return false;
    }
    procedure(window, messageDestroy, 0, 0);
    d = simDesktopBegin();
    w = findWindow(window);
    if (w != nullptr) {
        // Messages still queued for the window go with it.
        SimQueue * q = findQueue(w->thread, false);
        if (q != nullptr) {
            uint32_t kept = 0;
            for (uint32_t i = 0; i < q->count; i++) {
                const ThreadMessage m = q->messages[(q->head + i) % simQueueDepth];
                if (m.window != window) {
                    q->messages[(q->head + kept++) % simQueueDepth] = m;
                }
            }
            q->count = kept;
        }
        *w = SimWindow{0, nullptr, nullptr, 0, nullptr};
        d->liveWindows--;
    }
    simDesktopEnd();
    return true;
}

void * windowUserData(WindowHandle window) {
    simDesktopBegin();
    SimWindow * w    = findWindow(window);
    void *      data = w != nullptr ? w->userData : nullptr;
    simDesktopEnd();
    return data;
}

void windowSetUserData(WindowHandle window, void * data) {
    simDesktopBegin();
    SimWindow * w = findWindow(window);
    if (w != nullptr) {
        w->userData = data;
    }
    simDesktopEnd();
}

void * windowCreateParameter(intptr_t ncCreateLParam) {
    return ncCreateLParam != 0 ? *reinterpret_cast<void * const *>(ncCreateLParam) : nullptr;
}

intptr_t windowDefaultProcedure(WindowHandle, uint32_t message, uintptr_t, intptr_t) {
    return message == messageNcCreate ? 1 : 0;
}

uint32_t messageWait(PlatformHandle stopEvent, uint32_t timeoutMs) {
    const uint64_t start = realMs();
    for (;;) {
        SimDesktop * d       = simDesktopBegin();
        const bool   fails   = (d->failing & (1u << simMessageWait)) != 0;
        const bool   instant = d->instantWaits;
        simDesktopEnd();
        if (fails) {
            return 0xFFFFFFFFu;
        }
        if (handleWait(stopEvent, 0) == waitSignalled) {
            return waitSignalled;
        }
        if (queueNonEmpty(currentThreadId())) {
            return waitInput;
        }
        if (instant || realMs() - start >= timeoutMs) {
            return waitTimeout;
        }
        sleepMs(1);
    }
}

static void dispatch(const ThreadMessage & message) {
    simDesktopBegin();
    SimWindow *     w         = findWindow(message.window);
    WindowProcedure procedure = w != nullptr ? w->procedure : nullptr;
    simDesktopEnd();
    if (procedure != nullptr) {
        const uint32_t previous = currentMessageTime;
        currentMessageTime      = message.time;
        procedure(message.window, message.message, message.wParam, message.lParam);
        currentMessageTime = previous;
    }
}

MessagePump messagePumpOne() {
    ThreadMessage message;
    simDesktopBegin();
    const bool got = takeMessage(currentThreadId(), &message);
    simDesktopEnd();
    if (!got) {
        return pumpEmpty;
    }
    if (message.message == messageQuit) {
        return pumpQuit;
    }
    dispatch(message);
    return pumpDispatched;
}

bool     messageWaiting() { return queueNonEmpty(currentThreadId()); }
uint32_t messageTime() { return currentMessageTime; }

void messageQueueEnsure() {
    simDesktopBegin();
    findQueue(currentThreadId(), true);
    simDesktopEnd();
}

int32_t messageGet(ThreadMessage * message) {
    for (;;) {
        simDesktopBegin();
        const bool got = takeMessage(currentThreadId(), message);
        simDesktopEnd();
        if (got) {
            return message->message == messageQuit ? 0 : 1;
        }
        sleepMs(1);
    }
}

void messageDispatch(const ThreadMessage * message) { dispatch(*message); }

bool threadMessagePost(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    simDesktopBegin();
    const bool ok = enqueue(threadId, ThreadMessage{nullptr, message, wParam, lParam, (uint32_t) ticksLocked(), 0, 0});
    simDesktopEnd();
    return ok;
}

uintptr_t threadTimerStart(uint32_t periodMs) {
    simDesktopBegin();
    SimQueue * q = findQueue(currentThreadId(), true);
    if (q != nullptr) {
        q->timerPeriodMs = periodMs;
        q->timerDueMs    = realMs() + periodMs;
    }
    simDesktopEnd();
    return q != nullptr ? 1 : 0;
}

bool threadTimerStop(uintptr_t timer) {
    simDesktopBegin();
    SimQueue * q  = findQueue(currentThreadId(), false);
    const bool ok = timer == 1 && q != nullptr && q->timerPeriodMs != 0;
    if (ok) {
        q->timerPeriodMs = 0;
    }
    simDesktopEnd();
    return ok;
}

// Records are kept in a ring; the message's lParam names the slot + 1.
uint32_t rawInputRead(intptr_t rawInput, uint8_t buffer[rawRecordSize]) {
    SimDesktop * d    = simDesktopBegin();
    uint32_t     size = rawReadFailed;
    if ((d->failing & (1u << simRawRead)) == 0 && rawInput > 0 && rawInput <= simRecordCapacity) {
        const SimRecord & r = records[rawInput - 1];
        memcpy(buffer, r.bytes, r.size);
        size = r.size;
    }
    simDesktopEnd();
    return size;
}

bool simPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    simDesktopBegin();
    SimWindow * w  = findWindow(window);
    const bool  ok = w != nullptr &&
                    enqueue(w->thread, ThreadMessage{window, message, wParam, lParam, (uint32_t) ticksLocked(), 0, 0});
    simDesktopEnd();
    return ok;
}

// Desktop mutex held.
static bool postRecordLocked(WindowHandle window, const uint8_t * bytes, uint32_t size, uint32_t time) {
    SimWindow * w = findWindow(window);
    if (w == nullptr || size > rawRecordSize) {
        return false;
    }
    const uint32_t slot = nextRecord++ % simRecordCapacity;
    memset(records[slot].bytes, 0, rawRecordSize);
    memcpy(records[slot].bytes, bytes, size);
    records[slot].size = size;
    return enqueue(w->thread, ThreadMessage{window, messageInput, 0, (intptr_t) slot + 1, time, 0, 0});
}

bool simPostRawRecord(WindowHandle window, const uint8_t * bytes, uint32_t size, uint32_t time) {
    simDesktopBegin();
    const bool ok = postRecordLocked(window, bytes, size, time);
    simDesktopEnd();
    return ok;
}

static void put16(uint8_t * p, uint16_t v) { memcpy(p, &v, 2); }
static void put32(uint8_t * p, uint32_t v) { memcpy(p, &v, 4); }

static void putHeader(uint8_t * record, uint32_t type, uint32_t size, uintptr_t device) {
    put32(record, type);
    put32(record + 4, size);
    const uint64_t device64 = device;
    memcpy(record + 8, &device64, 8);
}

bool simPostRawKeyboard(WindowHandle window, uintptr_t device, uint16_t makeCode, uint16_t flags, uint16_t vkey,
                        uint32_t message, uint32_t time) {
    uint8_t record[rawRecordSize] = {0};
    putHeader(record, 1, 40, device);
    put16(record + 24, makeCode);
    put16(record + 26, flags);
    put16(record + 30, vkey);
    put32(record + 32, message);
    return simPostRawRecord(window, record, 40, time);
}

bool simPostRawMouse(WindowHandle window, uintptr_t device, uint16_t buttonFlags, uint32_t time) {
    uint8_t record[rawRecordSize] = {0};
    putHeader(record, 0, rawRecordSize, device);
    put16(record + 28, buttonFlags);
    return simPostRawRecord(window, record, rawRecordSize, time);
}

// Desktop mutex held. Like Windows, a key from sendKeys reaches the window
// that receives keyboard raw input, with the virtual-key and scan codes it
// was sent with and no device handle (Wine gives it one; Windows does not).
void simPostInjectedKeyLocked(const SynthKey & key) {
    for (uint32_t i = 0; i < simDesktopHeld()->registrationCount; i++) {
        const RawInputRegistration & r = simDesktopHeld()->registrations[i];
        if (r.usagePage != 1 || r.usage != 6) {
            continue;
        }
        uint8_t record[rawRecordSize] = {0};
        putHeader(record, 1, 40, 0);
        put16(record + 24, key.scanCode);
        put16(record + 26, key.release ? 1 : 0);
        put16(record + 30, key.vkey);
        put32(record + 32, key.release ? messageKeyUp : messageKeyDown);
        postRecordLocked(r.target, record, 40, (uint32_t) ticksLocked());
    }
}

WindowHandle simWindowOf(const void * owner) {
    simDesktopBegin();
    WindowHandle found = nullptr;
    for (SimWindow & w : windows) {
        if (w.handle != 0 && w.owner == owner) {
            found = reinterpret_cast<WindowHandle>(w.handle);
        }
    }
    simDesktopEnd();
    return found;
}

uint32_t simWindowThread(WindowHandle window) {
    simDesktopBegin();
    SimWindow *    w      = findWindow(window);
    const uint32_t thread = w != nullptr ? w->thread : 0;
    simDesktopEnd();
    return thread;
}

bool sessionNotificationRegister(WindowHandle window) {
    SimDesktop * d  = simDesktopBegin();
    const bool   ok = findWindow(window) != nullptr && (d->failing & (1u << simSessionRegister)) == 0;
    if (ok) {
        d->sessionRegistrations++;
    }
    simDesktopEnd();
    return ok;
}

bool sessionNotificationUnregister(WindowHandle window) {
    SimDesktop * d  = simDesktopBegin();
    const bool   ok = findWindow(window) != nullptr && (d->failing & (1u << simSessionUnregister)) == 0;
    if (ok) {
        d->sessionRegistrations--;
    }
    simDesktopEnd();
    return ok;
}

} // namespace keywatch
