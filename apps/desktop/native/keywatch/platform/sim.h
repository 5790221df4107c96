// Control of the simulated desktop that sim.cpp puts behind the platform
// seam on Linux. Tests change it between steps; the module reads it through
// the seam as it would read the real desktop.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace keywatch {

struct SimDesktop {
    bool         remoteSession;
    WindowHandle foreground;          // null: no foreground window
    uint32_t     foregroundThread;
    uint32_t     foregroundProcess;
    uintptr_t    layout;              // of the foreground thread
    bool         sessionQueryFails;
    uint32_t     connectState;
    uint32_t     connectStateBytes;
    uint16_t     clientProtocol;
    uint32_t     clientProtocolBytes;
    bool         inputDesktopAvailable;
    char16_t     inputDesktopName[desktopNameBytes / 2];
    char16_t     threadDesktopName[desktopNameBytes / 2];
    bool         keyDown[256];
    // Tick count: the real monotonic clock unless manualTicks is set.
    bool         manualTicks;
    uint64_t     ticks;
    // Raw input registrations of the process.
    RawInputRegistration registrations[rawRegistrationMax];
    uint32_t     registrationCount;
    bool         registrationReadFails;
    // Keys passed to sendKeys, and how many of each batch the system accepts.
    SynthKey     sent[64];
    uint32_t     sentCount;
    uint32_t     acceptLimit;         // per batch; 0xFFFFFFFF accepts all
    uint32_t     acceptLimitFromCall; // acceptLimit applies from this call (0-based) on
    uint32_t     sendCalls;           // batches submitted
    uint32_t     sendBatches[16];     // size of each batch submitted
};

// A desktop fit for capture: local console session, active, US layout,
// input on "Default", nothing held, nothing registered.
void simDesktopReset();
// The desktop is shared with the module's threads: change or read it only
// between simDesktopBegin and simDesktopEnd.
SimDesktop * simDesktopBegin();
void         simDesktopEnd();

} // namespace keywatch
