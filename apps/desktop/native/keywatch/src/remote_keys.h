// The process-wide remote-keys monitor: a thread that watches for a
// remote-desktop client in front and, while one is, records held keys through
// a low-level keyboard hook. Independent of the capture state and its lock.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace keywatch {

enum : uint32_t {
    monitorQuitMessage = messageApp + 41,
    monitorTimerMs     = 250,
    monitorEagerMs     = 2000, // install at every step this long after a client window comes to the front
    monitorRefreshMs   = 1000, // then this often
    monitorPostTries   = 50,
    monitorPostPauseMs = 10,
    monitorStopWaitMs  = 2000,
};

// Starts the monitor thread unless one is held. A failed start reports nothing.
void remoteKeysStart();
// Asks the thread to quit and waits up to monitorStopWaitMs; the handle is
// closed either way. Nothing happens when no thread is held.
void remoteKeysStop();

struct RemoteKeysState {
    int32_t  client;    // index into the client table, -1 when not active
    uint32_t modifiers; // bit i: modifierKeys[i] held; 0 when not active
    bool     other;     // any other key held; false when not active
};
RemoteKeysState remoteKeysRead();

inline constexpr uint32_t remoteClientCount = 5;
const char *              remoteClientName(int32_t index);
// Modifier virtual-key code at bit i (0 to 7).
uint32_t remoteModifierKey(uint32_t bit);

// ---- The thread's parts, exposed so that tests can run them step by step ----

// Index of the client whose executable the image path names, or -1.
int32_t remoteClientIndex(const uint16_t path[imagePathUnits]);

// The monitor thread's own timing state.
struct MonitorStep {
    WindowHandle clientWindow;
    uint64_t     clientSinceMs;
    uint64_t     lastInstallMs;
};
void monitorTimerStep(MonitorStep * step);
// What the thread does on its way out: no client, no hooks, nothing held.
void monitorClear();

intptr_t KEYWATCH_CALLBACK monitorHookProcedure(int32_t code, uintptr_t wParam, intptr_t lParam);

// Hook slots as the monitor holds them, newest first (test inspection).
void monitorHookSlots(PlatformHandle slots[2]);
// The id of the thread a start left behind, 0 when none (test inspection).
uint32_t monitorThreadIdHeld();

} // namespace keywatch
