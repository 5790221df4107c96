// The platform seam on Linux: real threads, events and locks over pthreads,
// and a simulated desktop (sim.h) for everything that Windows would answer.
#include "platform.h"
#include "sim.h"

#include <errno.h>
#include <new>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

namespace keywatch {

void lockInit(ExclusiveLock * lock)    { pthread_mutex_init(&lock->mutex, nullptr); }
void lockDestroy(ExclusiveLock * lock) { pthread_mutex_destroy(&lock->mutex); }
void lockAcquire(ExclusiveLock * lock) { pthread_mutex_lock(&lock->mutex); }
void lockRelease(ExclusiveLock * lock) { pthread_mutex_unlock(&lock->mutex); }

// Events and threads share one waitable object, as handles do on Windows.
struct SimWaitable {
    pthread_mutex_t mutex;
    pthread_cond_t  changed;
    bool            signalled; // event set, or thread ended
    bool            isThread;
    pthread_t       thread;
    ThreadMain      main;
    void *          argument;
};

static SimWaitable * newWaitable(bool isThread) {
    SimWaitable * w = new (std::nothrow) SimWaitable;
    if (w == nullptr) {
        return nullptr;
    }
    pthread_mutex_init(&w->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&w->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    w->signalled = false;
    w->isThread  = isThread;
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
        pthread_mutex_unlock(&w->mutex);
        if (!ended) {
            pthread_detach(w->thread);
            return; // the record stays for the running thread
        }
        pthread_join(w->thread, nullptr);
    }
    pthread_cond_destroy(&w->changed);
    pthread_mutex_destroy(&w->mutex);
    delete w;
}

// A started thread knows itself by the id threadStart handed out, so that
// messages posted to that id reach its queue.
static thread_local uint32_t startedThreadId = 0;

static void * threadEntry(void * argument) {
    SimWaitable * w = static_cast<SimWaitable *>(argument);
    startedThreadId = (uint32_t) (uintptr_t) w;
    w->main(w->argument);
    signalWaitable(w);
    return nullptr;
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
    if (pthread_create(&w->thread, nullptr, threadEntry, w) != 0) {
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
    memset(&desktop, 0, sizeof(desktop));
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

void simDesktopReset() {
    pthread_mutex_lock(&desktopMutex);
    resetLocked();
    pthread_mutex_unlock(&desktopMutex);
}

uint64_t tickCount64() {
    SimDesktop * d = simDesktopBegin();
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
    const bool ok = !d->sessionQueryFails;
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

bool asyncKeyDown(uint32_t vkey) {
    SimDesktop * d = simDesktopBegin();
    const bool down = vkey < 256 && d->keyDown[vkey];
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
    simDesktopEnd();
    return accepted;
}

} // namespace keywatch
