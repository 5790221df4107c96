// Controls of the simulated platform (sim.cpp), for tests and benchmarks:
// a world of windows and processes, a clock that can be frozen, injected
// failures, and a gate that holds tracker threads before they run.
#pragma once

#include <stdint.h>

#include "platform.h"

namespace appfocus {
namespace sim {

// Empties the world, removes all failures and the gate, and uses the real
// clock. Hooks and queues of live threads are kept.
void reset();

// Freezes the clock at ms; the real (monotonic, positive) clock otherwise.
void setClockMs(double ms);
void useRealClock();

// A window owned by processId; a process with a NUL-terminated image path.
void addWindow(platform::WindowHandle window, uint32_t processId);
void addProcess(uint32_t processId, const char16_t * imagePath);
// Any units, lone surrogates included; length may exceed the API's buffer.
void setImagePath(uint32_t processId, const char16_t * units, uint32_t length);
void setProcessExited(uint32_t processId, bool exited);
void setOpenFails(uint32_t processId, bool fails);
// addWindow and addProcess together.
void addApp(platform::WindowHandle window, uint32_t processId, const char16_t * imagePath);

// Makes window the foreground one and, if asked, raises the foreground event.
void setForeground(platform::WindowHandle window, bool raiseEvent);
// The window stops existing and its destroy event is raised.
void destroyWindow(platform::WindowHandle window);
// Queued to every thread with a hook for event; wakes its wait.
void raiseWinEvent(uint32_t event, platform::WindowHandle window, int32_t objectId);

// Runs inside queryImagePath, without the simulation's lock: lets a test
// change the world in the middle of a probe.
void setImageQueryHook(void (*hook)(void *), void * arg);

void     setHookInstallFails(uint32_t event, bool fails);
void     setUnhookFails(bool fails);
int      activeHooks();
int      openProcessHandles();
uint32_t imageQueries();

// While set, every message wait returns at once, as if it had timed out:
// a test that steps the tracker on its own thread. lastWaitMs is the time
// the latest wait asked for.
void     setInstantWaits(bool instant);
uint32_t lastWaitMs();
// Messages waiting in the calling thread's queue.
int queuedMessages();

// While held, new threads wait before running their entry.
void holdThreads(bool held);
void failNextThreadStart();
struct ThreadCounts {
    uint32_t started;
    uint32_t running;
    uint32_t joined;
};
ThreadCounts threadCounts();
// Blocks until every started thread has ended (joined or not).
void awaitThreadsEnded();

} // namespace sim
} // namespace appfocus
