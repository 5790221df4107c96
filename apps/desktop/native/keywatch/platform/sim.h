// Control of the simulated desktop that sim_*.cpp put behind the platform
// seam on Linux. Tests change it between steps; the module reads it through
// the seam as it would read the real desktop.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace keywatch {

// Platform calls that a test can make fail, one bit each in SimDesktop::failing.
enum SimCall : uint32_t {
    simEventCreate,
    simThreadStart,
    simClassRegister,
    simClassUnregister,
    simWindowCreate,
    simWindowDestroy,
    simRawRegister,   // a registration that adds usages
    simRawUnregister, // a removal record
    simSessionRegister,
    simSessionUnregister,
    simMessageWait,
    simRawRead,
};

struct SimDesktop {
    bool         remoteSession;
    WindowHandle foreground; // null: no foreground window
    uint32_t     foregroundThread;
    uint32_t     foregroundProcess;
    uintptr_t    layout;             // of the foreground thread
    bool         sessionQueryFails;  // the connect-state query
    bool         protocolQueryFails; // the client-protocol query
    uint32_t     connectState;
    uint32_t     connectStateBytes;
    uint16_t     clientProtocol;
    uint32_t     clientProtocolBytes;
    bool         inputDesktopAvailable;
    char16_t     inputDesktopName[desktopNameBytes / 2];
    char16_t     threadDesktopName[desktopNameBytes / 2];
    bool         keyDown[256]; // physical keys by sided code; the generic codes follow them
    // Tick count: the real monotonic clock unless manualTicks is set.
    bool     manualTicks;
    uint64_t ticks;
    // Raw input registrations of the process.
    RawInputRegistration registrations[rawRegistrationMax];
    uint32_t             registrationCount;
    bool                 registrationReadFails;
    // Keys passed to sendKeys, and how many of each batch the system accepts.
    SynthKey sent[64];
    uint32_t sentCount;
    uint32_t acceptLimit;         // per batch; 0xFFFFFFFF accepts all
    uint32_t acceptLimitFromCall; // acceptLimit applies from this call (0-based) on
    uint32_t sendCalls;           // batches submitted
    uint32_t sendBatches[16];     // size of each batch submitted
    // Calls that fail: bit (1 << SimCall).
    uint32_t failing;
    // Message waits return at once instead of sleeping (for tests that run
    // the worker step by step on a hand-set clock).
    bool instantWaits;
    // Window destruction blocks while set, to make a worker's teardown slow.
    bool holdWindowDestroy;
    // Class registration blocks while set, to make a worker's set-up slow.
    bool holdSetUp;
    // Run on every key-state or tick-count read, outside the desktop lock:
    // lets a test make time pass, or the desktop change, in mid-sampling.
    void (*onKeyRead)(uint32_t vkey);
    void (*onTickRead)();
    // Live simulated objects, for leak checks.
    uint32_t liveWaitables;
    uint32_t liveWindows;
    uint32_t liveClasses;
    uint32_t sessionRegistrations;
};

// A desktop fit for capture: local console session, active, US layout,
// input on "Default", nothing held, nothing registered.
void simDesktopReset();
// The desktop is shared with the module's threads: change or read it only
// between simDesktopBegin and simDesktopEnd.
SimDesktop * simDesktopBegin();
void         simDesktopEnd();

// Raw input records as the platform lays them out, posted to a window's
// thread as input messages carrying `time` as their message time. False
// when the window is gone or its queue is full.
bool simPostRawKeyboard(WindowHandle window, uintptr_t device, uint16_t makeCode, uint16_t flags, uint16_t vkey,
                        uint32_t message, uint32_t time);
bool simPostRawMouse(WindowHandle window, uintptr_t device, uint16_t buttonFlags, uint32_t time);
// Any record: `size` bytes of `bytes` are what the read returns (at most 48).
bool simPostRawRecord(WindowHandle window, const uint8_t * bytes, uint32_t size, uint32_t time);
// Any other message (session and device notices) to a window.
bool simPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// The live message window whose creation parameter is owner; null if none.
WindowHandle simWindowOf(const void * owner);
// Thread that created the window; a target for threadMessagePost.
uint32_t simWindowThread(WindowHandle window);

} // namespace keywatch
