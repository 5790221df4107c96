// The simulated desktop behind the platform seam on Linux: sessions,
// foreground, desktops, key state, the tick count, raw input registrations
// and synthesized keys, all in one SimDesktop record that tests set (sim.h).
#include "platform.h"
#include "sim.h"
#include "sim_internal.h"
#include "windows_codes.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

namespace keywatch {

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
    desktop.liveWaitables         = waitables;
    desktop.liveWindows           = windows;
    desktop.liveClasses           = classes;
    desktop.sessionRegistrations  = sessions;
    desktop.foreground            = reinterpret_cast<WindowHandle>(0x1000);
    desktop.foregroundThread      = 4242;
    desktop.foregroundProcess     = 4240;
    desktop.layout                = 0x04090409;
    desktop.connectState          = 0; // active
    desktop.connectStateBytes     = 4;
    desktop.clientProtocol        = 0; // console
    desktop.clientProtocolBytes   = 2;
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

SimDesktop * simDesktopHeld() { return &desktop; }

void simDesktopReset() {
    pthread_mutex_lock(&desktopMutex);
    resetLocked();
    simForgetWindowsLocked();
    pthread_mutex_unlock(&desktopMutex);
}

uint64_t tickCount64() {
    SimDesktop * d = simDesktopBegin();
    void (*hook)() = d->onTickRead;
    simDesktopEnd();
    if (hook != nullptr) {
        hook();
    }
    d                     = simDesktopBegin();
    const bool     manual = d->manualTicks;
    const uint64_t ticks  = d->ticks;
    simDesktopEnd();
    if (manual) {
        return ticks;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u;
}

int32_t rawInputRegistrationsRead(RawInputRegistration * records, uint32_t capacity) {
    SimDesktop * d     = simDesktopBegin();
    int32_t      count = -1;
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
    SimDesktop * d  = simDesktopBegin();
    const bool   ok = !d->sessionQueryFails;
    *state          = d->connectState;
    *bytes          = d->connectStateBytes;
    simDesktopEnd();
    return ok;
}

bool sessionClientProtocol(uint16_t * protocol, uint32_t * bytes) {
    SimDesktop * d  = simDesktopBegin();
    const bool   ok = !d->protocolQueryFails;
    *protocol       = d->clientProtocol;
    *bytes          = d->clientProtocolBytes;
    simDesktopEnd();
    return ok;
}

bool remoteSession() {
    SimDesktop * d      = simDesktopBegin();
    const bool   remote = d->remoteSession;
    simDesktopEnd();
    return remote;
}

WindowHandle foregroundWindow() {
    SimDesktop * d      = simDesktopBegin();
    WindowHandle window = d->foreground;
    simDesktopEnd();
    return window;
}

uint32_t windowThreadProcessId(WindowHandle window, uint32_t * processId) {
    SimDesktop *   d      = simDesktopBegin();
    const bool     known  = window != nullptr && window == d->foreground;
    const uint32_t thread = known ? d->foregroundThread : 0;
    if (processId != nullptr) {
        *processId = known ? d->foregroundProcess : 0;
    }
    simDesktopEnd();
    return thread;
}

uintptr_t keyboardLayout(uint32_t threadId) {
    SimDesktop *    d      = simDesktopBegin();
    const uintptr_t layout = threadId != 0 && threadId == d->foregroundThread ? d->layout : 0;
    simDesktopEnd();
    return layout;
}

// Desktop handles: 1 is the input desktop, 2 the calling thread's.
PlatformHandle inputDesktopOpen() {
    SimDesktop * d         = simDesktopBegin();
    const bool   available = d->inputDesktopAvailable;
    simDesktopEnd();
    return available ? reinterpret_cast<PlatformHandle>(1) : nullptr;
}

void           desktopClose(PlatformHandle) {}
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
    SimDesktop * d         = simDesktopBegin();
    void (*hook)(uint32_t) = d->onKeyRead;
    simDesktopEnd();
    if (hook != nullptr) {
        hook(vkey);
    }
    d         = simDesktopBegin();
    bool down = vkey < 256 && d->keyDown[vkey];
    // The generic Shift, Control and Alt are down when either side is.
    if (vkey >= quillet::vkShift && vkey <= quillet::vkAlt) {
        const uint32_t left = quillet::vkLeftShift + 2 * (vkey - quillet::vkShift);
        down                = down || d->keyDown[left] || d->keyDown[left + 1];
    }
    simDesktopEnd();
    return down;
}

// A plain US layout for the keys the module synthesises.
uint32_t mapVirtualKeyToScan(uint32_t vkey) {
    switch (vkey) {
        case quillet::vkReturn: return 0x1C;
        case quillet::vkControl: return quillet::scanControl;
        case quillet::vkV: return 0x2F;
        case quillet::vkZ: return 0x2C;
        default: return 0;
    }
}

uint32_t sendKeys(const SynthKey * keys, uint32_t count) {
    SimDesktop *   d        = simDesktopBegin();
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
        simPostInjectedKeyLocked(keys[i]);
    }
    simDesktopEnd();
    return accepted;
}

// ---- Failure switches and counts ----------------------------------------------

bool simCallFails(SimCall call) {
    SimDesktop * d     = simDesktopBegin();
    const bool   fails = (d->failing & (1u << call)) != 0;
    simDesktopEnd();
    return fails;
}

void simCountWaitable(int change) {
    SimDesktop * d = simDesktopBegin();
    d->liveWaitables += (uint32_t) change;
    simDesktopEnd();
}

} // namespace keywatch
