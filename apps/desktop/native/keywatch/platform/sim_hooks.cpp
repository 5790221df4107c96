// Simulated low-level keyboard hooks and process images. Thread messages
// and timers are sim_windows.cpp's.
#include "platform.h"
#include "sim_hooks.h"

#include <pthread.h>
#include <string.h>

namespace keywatch {

namespace {

struct SimProcess {
    uint32_t processId;
    bool     readable;
    uint16_t path[imagePathUnits];
};

struct SimHook {
    PlatformHandle handle;
    HookProcedure  procedure;
};

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t  changed;
pthread_once_t  changedOnce = PTHREAD_ONCE_INIT;

SimProcess processes[16];
uint32_t   processCount;
uint32_t   processLookups;
SimHook    hooks[8]; // newest first
uint32_t   hookCount;
uintptr_t  hookSerial;
bool       installFails;
uint32_t   installs;
uint32_t   removals;
uint32_t   passedOn;
bool       stalled; // processImagePath blocks while set
uint32_t   parked;  // threads blocked there now

void initChanged() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);
}

void lock() {
    pthread_once(&changedOnce, initChanged);
    pthread_mutex_lock(&mutex);
}
void unlock() { pthread_mutex_unlock(&mutex); }

} // namespace

PlatformHandle keyboardHookInstall(HookProcedure procedure) {
    lock();
    PlatformHandle hook = nullptr;
    if (!installFails && hookCount < 8) {
        memmove(hooks + 1, hooks, hookCount * sizeof(SimHook));
        hook     = reinterpret_cast<PlatformHandle>(++hookSerial * 16);
        hooks[0] = SimHook{hook, procedure};
        hookCount++;
        installs++;
    }
    unlock();
    return hook;
}

bool keyboardHookRemove(PlatformHandle hook) {
    lock();
    bool found = false;
    for (uint32_t i = 0; i < hookCount; i++) {
        if (hooks[i].handle == hook) {
            memmove(hooks + i, hooks + i + 1, (hookCount - i - 1) * sizeof(SimHook));
            hookCount--;
            removals++;
            found = true;
            break;
        }
    }
    unlock();
    return found;
}

intptr_t hookCallNext(int32_t, uintptr_t, intptr_t) {
    lock();
    passedOn++;
    unlock();
    return simHookNextResult;
}

bool processImagePath(uint32_t processId, uint16_t path[imagePathUnits]) {
    memset(path, 0, imagePathUnits * sizeof(uint16_t));
    lock();
    parked++;
    pthread_cond_broadcast(&changed);
    while (stalled) {
        pthread_cond_wait(&changed, &mutex);
    }
    parked--;
    processLookups++;
    bool read = false;
    for (uint32_t i = 0; i < processCount; i++) {
        if (processes[i].processId == processId) {
            read = processes[i].readable;
            if (read) {
                memcpy(path, processes[i].path, sizeof(processes[i].path));
            }
            break;
        }
    }
    unlock();
    return read;
}

// ---- Test control ------------------------------------------------------------

void simHooksReset() {
    lock();
    processCount = processLookups = 0;
    hookCount = installs = removals = passedOn = 0;
    installFails                               = false;
    stalled                                    = false;
    pthread_cond_broadcast(&changed);
    unlock();
}

void simProcessSet(uint32_t processId, const char16_t * path) {
    lock();
    uint32_t i = 0;
    while (i < processCount && processes[i].processId != processId) {
        i++;
    }
    if (i < 16) {
        processCount         = i == processCount ? processCount + 1 : processCount;
        SimProcess & process = processes[i];
        memset(&process, 0, sizeof(process));
        process.processId = processId;
        process.readable  = path != nullptr;
        for (uint32_t u = 0; path != nullptr && path[u] != 0 && u < imagePathUnits - 1; u++) {
            process.path[u] = (uint16_t) path[u];
        }
    }
    unlock();
}

uint32_t simProcessLookups() {
    lock();
    const uint32_t n = processLookups;
    unlock();
    return n;
}

void simHookInstallFails(bool fails) {
    lock();
    installFails = fails;
    unlock();
}

uint32_t simHookInstalls() {
    lock();
    const uint32_t n = installs;
    unlock();
    return n;
}

uint32_t simHookRemovals() {
    lock();
    const uint32_t n = removals;
    unlock();
    return n;
}

uint32_t simHooksInstalled() {
    lock();
    const uint32_t n = hookCount;
    unlock();
    return n;
}

intptr_t simHookDeliver(int32_t code, uint32_t message, uint32_t vkey, uint32_t flags) {
    lock();
    HookProcedure procedure = hookCount > 0 ? hooks[0].procedure : nullptr;
    unlock();
    if (procedure == nullptr) {
        return -1;
    }
    LowLevelKeyEvent event = {vkey, 0, flags, 0, 0};
    return procedure(code, message, reinterpret_cast<intptr_t>(&event));
}

uint32_t simHookPassedOn() {
    lock();
    const uint32_t n = passedOn;
    unlock();
    return n;
}

void simProcessStall(bool stall) {
    lock();
    stalled = stall;
    pthread_cond_broadcast(&changed);
    unlock();
}

uint32_t simProcessParked() {
    lock();
    const uint32_t n = parked;
    unlock();
    return n;
}

} // namespace keywatch
