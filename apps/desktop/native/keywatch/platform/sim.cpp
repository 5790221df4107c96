// The platform seam on Linux: real threads, events and locks over pthreads,
// and a simulated desktop (sim.h) for everything that Windows would answer.
#include "platform.h"
#include "sim.h"

#include <atomic>
#include <errno.h>
#include <new>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

namespace keywatch {

static bool callFails(SimCall call);
static void countWaitable(int change);

// Events and threads share one waitable object, as handles do on Windows.
struct SimWaitable {
    pthread_mutex_t mutex;
    pthread_cond_t  changed;
    bool            signalled; // event set, or thread ended
    bool            isThread;
    bool            closed;    // thread handle closed while the thread ran
    quillet::Thread thread;    // the running thread, when isThread
    ThreadMain      main;      // what the thread runs
    void *          argument;  // handed to main
};

static SimWaitable * newWaitable(bool isThread) {
    if (callFails(isThread ? simThreadStart : simEventCreate)) {
        return nullptr;
    }
    SimWaitable * w = new (std::nothrow) SimWaitable;
    if (w == nullptr) {
        return nullptr;
    }
    countWaitable(1);
    pthread_mutex_init(&w->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&w->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    w->signalled = false;
    w->isThread  = isThread;
    w->closed    = false;
    w->main      = nullptr;
    w->argument  = nullptr;
    return w;
}

static void signalWaitable(SimWaitable * w) {
    pthread_mutex_lock(&w->mutex);
    w->signalled = true;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->mutex);
}

PlatformHandle eventCreate() { return newWaitable(false); }

bool eventSet(PlatformHandle event) {
    signalWaitable(static_cast<SimWaitable *>(event));
    return true;
}

uint32_t handleWait(PlatformHandle handle, uint32_t timeoutMs) {
    SimWaitable * w = static_cast<SimWaitable *>(handle);
    if (w == nullptr) {
        return 0xFFFFFFFFu;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long) (timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&w->mutex);
    while (!w->signalled && timeoutMs != 0) {
        if (timeoutMs == waitInfinite) {
            pthread_cond_wait(&w->changed, &w->mutex);
        } else if (pthread_cond_timedwait(&w->changed, &w->mutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool signalled = w->signalled;
    pthread_mutex_unlock(&w->mutex);
    return signalled ? waitSignalled : waitTimeout;
}

static void destroyWaitable(SimWaitable * w);

void handleClose(PlatformHandle handle) {
    SimWaitable * w = static_cast<SimWaitable *>(handle);
    if (w == nullptr) {
        return;
    }
    if (w->isThread) {
        // Closing a thread handle does not end the thread; only a thread
        // that has ended can take its record with it.
        pthread_mutex_lock(&w->mutex);
        const bool ended = w->signalled;
        if (!ended) {
            // Released under the lock: once it is dropped the thread may end
            // and free the record at any moment.
            w->closed = true;
            quillet::threadRelease(&w->thread);
        }
        pthread_mutex_unlock(&w->mutex);
        if (!ended) {
            return; // the running thread frees the record when it ends
        }
        quillet::threadJoin(&w->thread);
    }
    destroyWaitable(w);
}

static void destroyWaitable(SimWaitable * w) {
    pthread_cond_destroy(&w->changed);
    pthread_mutex_destroy(&w->mutex);
    delete w;
    countWaitable(-1);
}

// A started thread knows itself by the id threadStart handed out, so that
// messages posted to that id reach its queue.
static thread_local uint32_t startedThreadId = 0;

static uint32_t threadEntry(void * argument) {
    SimWaitable * w = static_cast<SimWaitable *>(argument);
    startedThreadId = (uint32_t) (uintptr_t) w;
    w->main(w->argument);
    pthread_mutex_lock(&w->mutex);
    w->signalled = true;
    const bool orphaned = w->closed;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->mutex);
    if (orphaned) {
        destroyWaitable(w); // its handle is gone and it was released
    }
    return 0;
}

PlatformHandle threadStart(ThreadMain main, void * argument, uint32_t * threadId) {
    SimWaitable * w = newWaitable(true);
    if (threadId != nullptr) {
        *threadId = 0;
    }
    if (w == nullptr) {
        return nullptr;
    }
    w->main     = main;
    w->argument = argument;
    if (!quillet::threadStart(&w->thread, threadEntry, w)) {
        w->isThread = false;
        handleClose(w);
        return nullptr;
    }
    if (threadId != nullptr) {
        // Ids are only used as targets for thread messages; the address is unique enough.
        *threadId = (uint32_t) (uintptr_t) w;
    }
    return w;
}

uint32_t currentThreadId() {
    return startedThreadId != 0 ? startedThreadId : (uint32_t) syscall(SYS_gettid);
}
bool threadPriorityTimeCritical() { return true; } // scheduling classes are not simulated
void sleepMs(uint32_t ms) { usleep((useconds_t) ms * 1000u); }

// ---- The simulated desktop --------------------------------------------------

static pthread_mutex_t desktopMutex = PTHREAD_MUTEX_INITIALIZER;
static SimDesktop      desktop;
static bool            desktopReady = false;

static void copyName(char16_t * to, const char16_t * from) {
    memset(to, 0, desktopNameBytes);
    for (int i = 0; from[i] != 0 && i < desktopNameBytes / 2 - 1; i++) {
        to[i] = from[i];
    }
}

static void resetLocked() {
    // Live-object counts describe the process, not the scenario: they survive.
    const uint32_t waitables = desktop.liveWaitables, windows = desktop.liveWindows;
    const uint32_t classes = desktop.liveClasses, sessions = desktop.sessionRegistrations;
    memset(&desktop, 0, sizeof(desktop));
    desktop.liveWaitables        = waitables;
    desktop.liveWindows          = windows;
    desktop.liveClasses          = classes;
    desktop.sessionRegistrations = sessions;
    desktop.foreground          = reinterpret_cast<WindowHandle>(0x1000);
    desktop.foregroundThread    = 4242;
    desktop.foregroundProcess   = 4240;
    desktop.layout              = 0x04090409;
    desktop.connectState        = 0; // active
    desktop.connectStateBytes   = 4;
    desktop.clientProtocol      = 0; // console
    desktop.clientProtocolBytes = 2;
    desktop.inputDesktopAvailable = true;
    copyName(desktop.inputDesktopName, u"Default");
    copyName(desktop.threadDesktopName, u"Default");
    desktop.acceptLimit = 0xFFFFFFFFu;
    desktopReady        = true;
}

SimDesktop * simDesktopBegin() {
    pthread_mutex_lock(&desktopMutex);
    if (!desktopReady) {
        resetLocked();
    }
    return &desktop;
}

void simDesktopEnd() { pthread_mutex_unlock(&desktopMutex); }

static void forgetWindowsLocked();

void simDesktopReset() {
    pthread_mutex_lock(&desktopMutex);
    resetLocked();
    forgetWindowsLocked();
    pthread_mutex_unlock(&desktopMutex);
}

uint64_t tickCount64() {
    SimDesktop * d = simDesktopBegin();
    void (*hook)() = d->onTickRead;
    simDesktopEnd();
    if (hook != nullptr) {
        hook();
    }
    d = simDesktopBegin();
    const bool manual = d->manualTicks;
    const uint64_t ticks = d->ticks;
    simDesktopEnd();
    if (manual) {
        return ticks;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u;
}

int32_t rawInputRegistrationsRead(RawInputRegistration * records, uint32_t capacity) {
    SimDesktop * d = simDesktopBegin();
    int32_t count = -1;
    if (!d->registrationReadFails && d->registrationCount <= capacity) {
        memcpy(records, d->registrations, d->registrationCount * sizeof(RawInputRegistration));
        count = (int32_t) d->registrationCount;
    }
    simDesktopEnd();
    return count;
}

// Like the system: a record replaces the registration of its usage; a
// removal record drops it.
bool rawInputRegister(const RawInputRegistration * records, uint32_t count) {
    SimDesktop * d = simDesktopBegin();
    for (uint32_t i = 0; i < count; i++) {
        const SimCall call = (records[i].flags & rawFlagRemove) != 0 ? simRawUnregister : simRawRegister;
        if ((d->failing & (1u << call)) != 0) {
            simDesktopEnd();
            return false;
        }
    }
    for (uint32_t i = 0; i < count; i++) {
        uint32_t slot = 0;
        while (slot < d->registrationCount && !(d->registrations[slot].usagePage == records[i].usagePage &&
                                                d->registrations[slot].usage == records[i].usage)) {
            slot++;
        }
        if ((records[i].flags & rawFlagRemove) != 0) {
            if (slot < d->registrationCount) {
                d->registrations[slot] = d->registrations[--d->registrationCount];
            }
        } else if (slot < d->registrationCount) {
            d->registrations[slot] = records[i];
        } else if (d->registrationCount < rawRegistrationMax) {
            d->registrations[d->registrationCount++] = records[i];
        }
    }
    simDesktopEnd();
    return true;
}

bool sessionConnectState(uint32_t * state, uint32_t * bytes) {
    SimDesktop * d = simDesktopBegin();
    const bool ok = !d->sessionQueryFails;
    *state = d->connectState;
    *bytes = d->connectStateBytes;
    simDesktopEnd();
    return ok;
}

bool sessionClientProtocol(uint16_t * protocol, uint32_t * bytes) {
    SimDesktop * d = simDesktopBegin();
    const bool ok = !d->protocolQueryFails;
    *protocol = d->clientProtocol;
    *bytes    = d->clientProtocolBytes;
    simDesktopEnd();
    return ok;
}

bool remoteSession() {
    SimDesktop * d = simDesktopBegin();
    const bool remote = d->remoteSession;
    simDesktopEnd();
    return remote;
}

WindowHandle foregroundWindow() {
    SimDesktop * d = simDesktopBegin();
    WindowHandle window = d->foreground;
    simDesktopEnd();
    return window;
}

uint32_t windowThreadProcessId(WindowHandle window, uint32_t * processId) {
    SimDesktop * d = simDesktopBegin();
    const bool known = window != nullptr && window == d->foreground;
    const uint32_t thread = known ? d->foregroundThread : 0;
    if (processId != nullptr) {
        *processId = known ? d->foregroundProcess : 0;
    }
    simDesktopEnd();
    return thread;
}

uintptr_t keyboardLayout(uint32_t threadId) {
    SimDesktop * d = simDesktopBegin();
    const uintptr_t layout = threadId != 0 && threadId == d->foregroundThread ? d->layout : 0;
    simDesktopEnd();
    return layout;
}

// Desktop handles: 1 is the input desktop, 2 the calling thread's.
PlatformHandle inputDesktopOpen() {
    SimDesktop * d = simDesktopBegin();
    const bool available = d->inputDesktopAvailable;
    simDesktopEnd();
    return available ? reinterpret_cast<PlatformHandle>(1) : nullptr;
}

void desktopClose(PlatformHandle) {}
PlatformHandle threadDesktop() { return reinterpret_cast<PlatformHandle>(2); }

bool desktopName(PlatformHandle handle, uint8_t name[desktopNameBytes]) {
    memset(name, 0, desktopNameBytes);
    const uintptr_t which = reinterpret_cast<uintptr_t>(handle);
    if (which != 1 && which != 2) {
        return false;
    }
    SimDesktop * d = simDesktopBegin();
    memcpy(name, which == 1 ? d->inputDesktopName : d->threadDesktopName, desktopNameBytes);
    simDesktopEnd();
    return true;
}

// Like Windows, the generic Shift, Control and Alt codes read down whenever
// either of their sided keys is down.
bool asyncKeyDown(uint32_t vkey) {
    SimDesktop * d = simDesktopBegin();
    void (*hook)(uint32_t) = d->onKeyRead;
    simDesktopEnd();
    if (hook != nullptr) {
        hook(vkey);
    }
    d = simDesktopBegin();
    bool down = vkey < 256 && d->keyDown[vkey];
    if (vkey >= 0x10 && vkey <= 0x12) {
        static const uint8_t sided[3][2] = {{0xA0, 0xA1}, {0xA2, 0xA3}, {0xA4, 0xA5}};
        down = down || d->keyDown[sided[vkey - 0x10][0]] || d->keyDown[sided[vkey - 0x10][1]];
    }
    simDesktopEnd();
    return down;
}

// A plain US layout for the keys the module synthesises.
uint32_t mapVirtualKeyToScan(uint32_t vkey) {
    switch (vkey) {
        case 0x0D: return 0x1C; // Return
        case 0x11: return 0x1D; // Control
        case 0x56: return 0x2F; // V
        case 0x5A: return 0x2C; // Z
        default:   return 0;
    }
}

static void postInjectedKeyLocked(const SynthKey & key);

uint32_t sendKeys(const SynthKey * keys, uint32_t count) {
    SimDesktop * d = simDesktopBegin();
    const uint32_t limit    = d->sendCalls >= d->acceptLimitFromCall ? d->acceptLimit : 0xFFFFFFFFu;
    const uint32_t accepted = count < limit ? count : limit;
    if (d->sendCalls < 16) {
        d->sendBatches[d->sendCalls] = count;
    }
    d->sendCalls++;
    for (uint32_t i = 0; i < accepted && d->sentCount < 64; i++) {
        d->sent[d->sentCount++] = keys[i];
    }
    for (uint32_t i = 0; i < accepted; i++) {
        postInjectedKeyLocked(keys[i]);
    }
    simDesktopEnd();
    return accepted;
}

} // namespace keywatch

// ---- Failure switches and counts ----------------------------------------------

namespace keywatch {

static bool callFails(SimCall call) {
    SimDesktop * d = simDesktopBegin();
    const bool fails = (d->failing & (1u << call)) != 0;
    simDesktopEnd();
    return fails;
}

static void countWaitable(int change) {
    SimDesktop * d = simDesktopBegin();
    d->liveWaitables += (uint32_t) change;
    simDesktopEnd();
}

// ---- Windows, classes and message queues --------------------------------------
// All guarded by the desktop mutex; window procedures run without it.

enum { simClassCapacity = 16, simWindowCapacity = 16, simQueueCapacity = 16, simQueueDepth = 512,
       simRecordCapacity = 1024 };

struct SimClass  { const void * owner; WindowProcedure procedure; };
struct SimWindow { uintptr_t handle; const void * owner; WindowProcedure procedure; uint32_t thread; void * userData; };
struct SimQueue {
    uint32_t      thread;
    ThreadMessage messages[simQueueDepth];
    uint32_t      head;
    uint32_t      count;
    uint32_t      timerPeriodMs; // 0: no timer
    uint64_t      timerDueMs;
};
struct SimRecord { uint8_t bytes[rawRecordSize]; uint32_t size; };

static SimClass  classes[simClassCapacity];
static SimWindow windows[simWindowCapacity];
static SimQueue  queues[simQueueCapacity];
static SimRecord records[simRecordCapacity];
static uint32_t  nextRecord  = 0;
static uintptr_t nextWindow  = 0x20000;
static thread_local uint32_t currentMessageTime = 0;

static uint64_t realMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u;
}

// The tick count, for callers that hold the desktop mutex.
static uint64_t ticksLocked() { return desktop.manualTicks ? desktop.ticks : realMs(); }

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
        *out = q->messages[q->head];
        q->head = (q->head + 1) % simQueueDepth;
        q->count--;
        return true;
    }
    if (q->timerPeriodMs != 0 && realMs() >= q->timerDueMs) {
        q->timerDueMs = realMs() + q->timerPeriodMs;
        *out = ThreadMessage{nullptr, messageTimer, 1, 0, (uint32_t) ticksLocked(), 0, 0};
        return true;
    }
    return false;
}

static bool queueNonEmpty(uint32_t thread) {
    SimDesktop * d = simDesktopBegin();
    (void) d;
    SimQueue * q = findQueue(thread, false);
    const bool waiting = q != nullptr && q->count != 0;
    simDesktopEnd();
    return waiting;
}

// A reset desktop has no windows or classes left over from an earlier scenario.
static void forgetWindowsLocked() {
    memset(classes, 0, sizeof(classes));
    memset(windows, 0, sizeof(windows));
    desktop.liveWindows = 0;
    desktop.liveClasses = 0;
}

void * hostInstance() { return reinterpret_cast<void *>(0x400000); }

static void waitWhileHeld(bool SimDesktop::*flag) {
    for (;;) {
        SimDesktop * d = simDesktopBegin();
        const bool hold = d->*flag;
        simDesktopEnd();
        if (!hold) {
            return;
        }
        sleepMs(1);
    }
}

bool messageWindowClassRegister(const void * owner, WindowProcedure procedure) {
    waitWhileHeld(&SimDesktop::holdSetUp);
    SimDesktop * d = simDesktopBegin();
    bool ok = (d->failing & (1u << simClassRegister)) == 0;
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
    SimDesktop * d = simDesktopBegin();
    bool ok = (d->failing & (1u << simClassUnregister)) == 0;
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
    SimDesktop * d = simDesktopBegin();
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
    SimDesktop * d = simDesktopBegin();
    SimWindow * w = findWindow(window);
    const bool ok = w != nullptr && (d->failing & (1u << simWindowDestroy)) == 0;
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
    SimWindow * w = findWindow(window);
    void * data = w != nullptr ? w->userData : nullptr;
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
        SimDesktop * d = simDesktopBegin();
        const bool fails   = (d->failing & (1u << simMessageWait)) != 0;
        const bool instant = d->instantWaits;
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
    SimWindow * w = findWindow(message.window);
    WindowProcedure procedure = w != nullptr ? w->procedure : nullptr;
    simDesktopEnd();
    if (procedure != nullptr) {
        const uint32_t previous = currentMessageTime;
        currentMessageTime = message.time;
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

bool messageWaiting() { return queueNonEmpty(currentThreadId()); }
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
    SimQueue * q = findQueue(currentThreadId(), false);
    const bool ok = timer == 1 && q != nullptr && q->timerPeriodMs != 0;
    if (ok) {
        q->timerPeriodMs = 0;
    }
    simDesktopEnd();
    return ok;
}

// Records are kept in a ring; the message's lParam names the slot + 1.
uint32_t rawInputRead(intptr_t rawInput, uint8_t buffer[rawRecordSize]) {
    SimDesktop * d = simDesktopBegin();
    uint32_t size = rawReadFailed;
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
    SimWindow * w = findWindow(window);
    const bool ok = w != nullptr &&
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

bool simPostRawKeyboard(WindowHandle window, uintptr_t device, uint16_t makeCode, uint16_t flags,
                        uint16_t vkey, uint32_t message, uint32_t time) {
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
static void postInjectedKeyLocked(const SynthKey & key) {
    for (uint32_t i = 0; i < desktop.registrationCount; i++) {
        const RawInputRegistration & r = desktop.registrations[i];
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
    SimWindow * w = findWindow(window);
    const uint32_t thread = w != nullptr ? w->thread : 0;
    simDesktopEnd();
    return thread;
}

bool sessionNotificationRegister(WindowHandle window) {
    SimDesktop * d = simDesktopBegin();
    const bool ok = findWindow(window) != nullptr && (d->failing & (1u << simSessionRegister)) == 0;
    if (ok) {
        d->sessionRegistrations++;
    }
    simDesktopEnd();
    return ok;
}

bool sessionNotificationUnregister(WindowHandle window) {
    SimDesktop * d = simDesktopBegin();
    const bool ok = findWindow(window) != nullptr && (d->failing & (1u << simSessionUnregister)) == 0;
    if (ok) {
        d->sessionRegistrations--;
    }
    simDesktopEnd();
    return ok;
}

} // namespace keywatch
