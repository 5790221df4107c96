// What the simulated platform's two files share: the world of windows,
// processes, hooks and queues (sim.cpp puts it behind the seam,
// sim_controls.cpp lets tests change it). Everything here is guarded by
// world.mutex unless it is atomic.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "sim.h"

namespace appfocus {
namespace platform {

constexpr int      maxWindows       = 64;
constexpr int      maxProcesses     = 32;
constexpr int      maxHooks         = 32;
constexpr int      maxQueues        = 16;
constexpr int      queueCapacity    = 10000;    // Windows' default limit per queue
constexpr uint32_t maxPathUnits     = 1100;     // room for a path the real buffer cannot take
constexpr int64_t  counterFrequency = 10000000; // 100 ns ticks, as Windows reports

struct SimWindow {
    WindowHandle handle;
    uint32_t     processId;
    bool         alive;
};

struct SimProcess {
    uint32_t processId;
    char16_t path[maxPathUnits];
    uint32_t pathLength;
    bool     exited;
    bool     openFails;
};

struct SimHook {
    HookHandle   handle;
    uint32_t     event;
    uint32_t     threadId;
    WinEventProc proc;
};

enum MessageKind {
    MessageQuit,
    MessageNull,
    MessageWinEvent
};

struct SimMessage {
    MessageKind  kind;
    HookHandle   hook;
    WinEventProc proc;
    uint32_t     event;
    WindowHandle window;
    int32_t      objectId;
};

struct SimQueue {
    uint32_t                threadId; // 0 when free
    SimMessage              ring[queueCapacity];
    int                     head;
    int                     count;
    std::condition_variable ready;
};

struct World {
    std::mutex   mutex;
    SimWindow    windows[maxWindows];
    SimProcess   processes[maxProcesses];
    SimHook      hooks[maxHooks];
    SimQueue     queues[maxQueues];
    WindowHandle foreground;
    HookHandle   nextHook;
    bool         failForegroundHook;
    bool         failDestroyHook;
    bool         failUnhook;
    int          openHandles;
    uint32_t     imageQueries;
    void (*imageQueryHook)(void *);
    void *                  imageQueryArg;
    bool                    threadsHeld;
    bool                    failThreadStart;
    bool                    instantWaits; // message waits return at once
    uint32_t                lastWaitMs;   // what the latest message wait asked for
    std::condition_variable gate;         // the held threads, and threads ending
    sim::ThreadCounts       threads;
};

extern World                world;
extern std::atomic<bool>    clockFrozen; // performanceCounter answers frozenTicks while set
extern std::atomic<int64_t> frozenTicks;

// world.mutex held.
SimWindow *  findWindow(WindowHandle handle);
SimProcess * findProcess(uint32_t processId, bool create);
SimQueue *   findQueue(uint32_t threadId);
bool         enqueue(SimQueue * q, const SimMessage & m);

} // namespace platform
} // namespace appfocus
