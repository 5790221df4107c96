#include "remote_keys.h"

#include <atomic>

#include "exe_name.h"
#include "windows_codes.h"

namespace keywatch {

namespace {

constexpr const char * remoteClients[remoteClientCount] = {"mstsc", "msrdc", "windows365", "cdviewer", "wfica32"};

// Start and stop only; never taken together with a capture lock.
ExclusiveLock  monitorLock     = QUILLET_EXCLUSIVE_LOCK_INIT;
PlatformHandle monitorThread   = nullptr;
uint32_t       monitorThreadId = 0;

// Written by the monitor thread only.
PlatformHandle hookSlots[2] = {nullptr, nullptr};
uint32_t       cachedPid    = 0;
int32_t        cachedClient = -1;

// Read by the JS thread without a lock; fields may come from different instants.
std::atomic<int32_t>  activeClient{-1};
std::atomic<uint32_t> heldModifiers{0};
std::atomic<uint64_t> heldOther[4];

void clearHeld() {
    heldModifiers.exchange(0);
    for (std::atomic<uint64_t> & word : heldOther) {
        word.exchange(0);
    }
}

void removeHooks() {
    for (PlatformHandle & slot : hookSlots) {
        if (slot != nullptr) {
            keyboardHookRemove(slot);
            slot = nullptr;
        }
    }
}

void noClientStep(MonitorStep * step) {
    if (hookSlots[0] != nullptr) {
        activeClient.exchange(-1);
        removeHooks();
        clearHeld(); // keys released while the client was away would show as held on its return
    }
    step->clientWindow = nullptr;
}

uint32_t KEYWATCH_CALLBACK monitorMain(void *) {
    threadPriorityTimeCritical();
    messageQueueEnsure(); // before anything, so the quit message can be posted
    const uintptr_t timer = threadTimerStart(monitorTimerMs);
    MonitorStep     step  = {nullptr, 0, 0};
    ThreadMessage   message;
    while (messageGet(&message) > 0) {
        if (message.message == monitorQuitMessage) {
            break;
        }
        if (message.message != messageTimer) {
            messageDispatch(&message);
            continue;
        }
        monitorTimerStep(&step);
    }
    if (timer != 0) {
        threadTimerStop(timer);
    }
    monitorClear();
    return 0;
}

} // namespace

const char * remoteClientName(int32_t index) {
    return index >= 0 && index < (int32_t) remoteClientCount ? remoteClients[index] : "";
}

uint32_t remoteModifierKey(uint32_t bit) { return bit < 8 ? quillet::modifierVirtualKeys[bit] : 0; }

int32_t remoteClientIndex(const uint16_t path[imagePathUnits]) {
    // The buffer is zero-filled beyond the path.
    uint32_t length = 0;
    while (length < imagePathUnits && path[length] != 0) {
        length++;
    }
    const quillet::ExeName exe = quillet::exeName(path, length);
    if (!exe.exeSuffix) {
        return -1;
    }
    const uint16_t * name = path + exe.begin;
    for (int32_t index = 0; index < (int32_t) remoteClientCount; index++) {
        const char * client = remoteClients[index];
        uint32_t     i      = 0;
        while (i < exe.units && client[i] != 0 && quillet::asciiLower(name[i]) == (uint8_t) client[i]) {
            i++;
        }
        if (i == exe.units && client[i] == 0) {
            return index;
        }
    }
    return -1;
}

void monitorTimerStep(MonitorStep * step) {
    WindowHandle window = foregroundWindow();
    uint32_t     pid    = 0;
    if (window == nullptr || windowThreadProcessId(window, &pid) == 0 || pid == 0) {
        noClientStep(step);
        return;
    }
    if (pid != cachedPid) {
        // A process that cannot be read stays "no client" until another one comes to the front.
        cachedPid    = pid;
        cachedClient = -1;
        uint16_t path[imagePathUnits];
        if (!processImagePath(pid, path)) {
            noClientStep(step);
            return;
        }
        cachedClient = remoteClientIndex(path);
    }
    const int32_t client = cachedClient;
    if (client < 0) {
        noClientStep(step);
        return;
    }
    const uint64_t now = tickCount64();
    if (window != step->clientWindow) {
        step->clientWindow  = window;
        step->clientSinceMs = now;
    }
    // The system drops a low-level hook that answers too slowly without
    // telling its owner, so the hook is renewed: eagerly just after the
    // client comes to the front, then once a second.
    const bool install = hookSlots[0] == nullptr || now - step->clientSinceMs < monitorEagerMs ||
                         now - step->lastInstallMs >= monitorRefreshMs;
    if (install) {
        PlatformHandle hook = keyboardHookInstall(monitorHookProcedure);
        if (hook != nullptr) {
            if (hookSlots[1] != nullptr) {
                keyboardHookRemove(hookSlots[1]);
            }
            hookSlots[1] = hookSlots[0];
            hookSlots[0] = hook;
        }
        step->lastInstallMs = now;
    }
    activeClient.exchange(hookSlots[0] != nullptr ? client : -1);
}

void monitorClear() {
    activeClient.exchange(-1);
    removeHooks();
    clearHeld();
}

intptr_t KEYWATCH_CALLBACK monitorHookProcedure(int32_t code, uintptr_t wParam, intptr_t lParam) {
    const LowLevelKeyEvent * event = reinterpret_cast<const LowLevelKeyEvent *>(lParam);
    if (code == 0 && (event->flags & lowLevelInjected) == 0 && event->vkCode < 256) {
        const uint32_t v     = event->vkCode;
        const bool     press = wParam == messageKeyDown || wParam == messageSysKeyDown;
        uint32_t       bit   = 0;
        while (bit < 8 && quillet::modifierVirtualKeys[bit] != v) {
            bit++;
        }
        if (bit < 8) {
            if (press) {
                heldModifiers.fetch_or(1u << bit);
            } else {
                heldModifiers.fetch_and(~(1u << bit));
            }
        } else {
            const uint64_t mask = (uint64_t) 1 << (v % 64);
            if (press) {
                heldOther[v / 64].fetch_or(mask);
            } else {
                heldOther[v / 64].fetch_and(~mask);
            }
        }
    }
    return hookCallNext(code, wParam, lParam); // never swallow a key
}

RemoteKeysState remoteKeysRead() {
    RemoteKeysState state = {activeClient.load(), 0, false};
    if (state.client < 0) {
        state.client = -1;
        return state;
    }
    state.modifiers = heldModifiers.load();
    for (const std::atomic<uint64_t> & word : heldOther) {
        state.other = state.other || word.load() != 0;
    }
    return state;
}

void remoteKeysStart() {
    ScopedLock held(&monitorLock);
    if (monitorThread == nullptr) {
        uint32_t id     = 0;
        monitorThread   = threadStart(monitorMain, nullptr, &id);
        monitorThreadId = monitorThread != nullptr ? id : 0;
    }
}

// A thread that outlives the wait keeps running without a handle; a later
// start may then run a second monitor beside it until the first one ends.
void remoteKeysStop() {
    ScopedLock held(&monitorLock);
    if (monitorThread != nullptr) {
        for (uint32_t attempt = 0; attempt < monitorPostTries; attempt++) {
            if (threadMessagePost(monitorThreadId, monitorQuitMessage, 0, 0)) {
                break;
            }
            if (attempt + 1 < monitorPostTries) {
                sleepMs(monitorPostPauseMs);
            }
        }
        (void) handleWait(monitorThread, monitorStopWaitMs);
        handleClose(monitorThread);
        monitorThread   = nullptr;
        monitorThreadId = 0;
    }
}

void monitorHookSlots(PlatformHandle slots[2]) {
    slots[0] = hookSlots[0];
    slots[1] = hookSlots[1];
}

uint32_t monitorThreadIdHeld() {
    ScopedLock held(&monitorLock);
    return monitorThreadId;
}

} // namespace keywatch
