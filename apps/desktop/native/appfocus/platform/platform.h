// The Windows operations the foreground tracker needs, behind plain
// functions: win32.cpp calls user32 and kernel32, sim.cpp simulates them so
// the tracker's rules build and run on Linux.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "threads.h"

namespace appfocus {
namespace platform {

#ifdef _WIN32
typedef wchar_t Utf16Unit; // WCHAR, so buffers go to the API uncast
#else
typedef char16_t Utf16Unit;
#endif

typedef uintptr_t WindowHandle;  // HWND as an integer; 0 is none
typedef uintptr_t HookHandle;    // HWINEVENTHOOK; 0 is a failed install
typedef void *    ProcessHandle; // null is a failed open

const uint32_t eventSystemForeground = 0x0003;
const uint32_t eventObjectDestroy    = 0x8001;
const int32_t  objectIdWindow        = 0; // OBJID_WINDOW

// The WinEvent procedure without the calling convention; win32.cpp adapts.
typedef void (*WinEventProc)(HookHandle hook, uint32_t event, WindowHandle window, int32_t objectId, int32_t childId,
                             uint32_t eventThread, uint32_t eventTime);

// --- WinEvent hooks, out of context, all processes and threads ---
// Returns 0 on failure. Events reach the installing thread while it pumps.
HookHandle setWinEventHook(uint32_t event, WinEventProc proc);
bool       unhookWinEvent(HookHandle hook);

// --- the calling thread's message queue ---
void     createMessageQueue(); // PeekMessageW with PM_NOREMOVE
uint32_t currentThreadId();
enum PumpResult {
    PumpEmpty,
    PumpQuit,
    PumpDispatched
};
PumpResult pumpMessage();                       // one PM_REMOVE retrieval
void       waitForMessages(uint32_t timeoutMs); // returns early on posted messages
bool       postQuit(uint32_t threadId);         // WM_QUIT
bool       postWake(uint32_t threadId);         // WM_NULL

// --- the foreground window and its process ---
WindowHandle  foregroundWindow();
bool          isWindow(WindowHandle window);
uint32_t      windowProcessId(WindowHandle window); // 0 on failure
ProcessHandle openProcess(uint32_t processId);      // limited query + synchronize
// Win32 path form into buffer; *length gets the units written, no terminator.
bool queryImagePath(ProcessHandle process, Utf16Unit * buffer, uint32_t capacity, uint32_t * length);
bool processStillRunning(ProcessHandle process); // a zero wait timed out
void closeProcess(ProcessHandle process);

// Closes an opened process at the end of its scope.
class ScopedProcess {
public:
    explicit ScopedProcess(ProcessHandle process) : process_(process) {}
    ~ScopedProcess() {
        if (process_ != nullptr) closeProcess(process_);
    }
    ScopedProcess(const ScopedProcess &)             = delete;
    ScopedProcess & operator=(const ScopedProcess &) = delete;
    ProcessHandle   get() const { return process_; }

private:
    ProcessHandle process_;
};

// Strict UTF-16 to UTF-8: returns the bytes written, 0 on invalid input or
// when the result does not fit. Writes no terminator.
int utf16ToUtf8(const Utf16Unit * units, int count, char * out, int capacity);

// --- clock ---
int64_t performanceCounter();
int64_t performanceFrequency();

// --- the tracker thread ---
// The shared thread (threads.h), behind the seam so the simulation can hold,
// count and fail it. False when no thread was started; it is then not joinable.
bool startThread(quillet::Thread * thread, quillet::ThreadMain main, void * argument);
void joinThread(quillet::Thread * thread); // waits, releases, leaves it not joinable

} // namespace platform
} // namespace appfocus
