// The tracker's operations on user32 and kernel32.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "platform.h"
#include "wake_mask_win32.h"

namespace appfocus {
namespace platform {
namespace {

// WinEvent callbacks carry no context; every hook of this module uses the
// same procedure, so one slot is enough.
std::atomic<WinEventProc> installedProc{nullptr};

void CALLBACK winEventThunk(HWINEVENTHOOK hook, DWORD event, HWND window, LONG objectId, LONG childId,
                            DWORD eventThread, DWORD eventTime) {
    WinEventProc proc = installedProc.load();
    if (proc) {
        proc(reinterpret_cast<HookHandle>(hook), event, reinterpret_cast<WindowHandle>(window), objectId, childId,
             eventThread, eventTime);
    }
}

} // namespace

HookHandle setWinEventHook(uint32_t event, WinEventProc proc) {
    installedProc.store(proc);
    HWINEVENTHOOK hook = SetWinEventHook(event, event, nullptr, winEventThunk, 0, 0, WINEVENT_OUTOFCONTEXT);
    return reinterpret_cast<HookHandle>(hook);
}

bool unhookWinEvent(HookHandle hook) { return UnhookWinEvent(reinterpret_cast<HWINEVENTHOOK>(hook)) != FALSE; }

void createMessageQueue() {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

uint32_t currentThreadId() { return GetCurrentThreadId(); }

PumpResult pumpMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return PumpEmpty;
    if (msg.message == WM_QUIT) return PumpQuit;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return PumpDispatched;
}

void waitForMessages(uint32_t timeoutMs) { MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs, quillet::wakeMask); }

bool postQuit(uint32_t threadId) { return PostThreadMessageW(threadId, WM_QUIT, 0, 0) != FALSE; }

bool postWake(uint32_t threadId) { return PostThreadMessageW(threadId, WM_NULL, 0, 0) != FALSE; }

WindowHandle foregroundWindow() { return reinterpret_cast<WindowHandle>(GetForegroundWindow()); }

bool isWindow(WindowHandle window) { return IsWindow(reinterpret_cast<HWND>(window)) != FALSE; }

uint32_t windowProcessId(WindowHandle window) {
    DWORD processId = 0;
    if (GetWindowThreadProcessId(reinterpret_cast<HWND>(window), &processId) == 0) return 0;
    return processId;
}

ProcessHandle openProcess(uint32_t processId) {
    return OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId);
}

bool queryImagePath(ProcessHandle process, Utf16Unit * buffer, uint32_t capacity, uint32_t * length) {
    DWORD size = capacity;
    if (!QueryFullProcessImageNameW(static_cast<HANDLE>(process), 0, buffer, &size)) return false;
    *length = size;
    return true;
}

bool processStillRunning(ProcessHandle process) {
    return WaitForSingleObject(static_cast<HANDLE>(process), 0) == WAIT_TIMEOUT;
}

void closeProcess(ProcessHandle process) { CloseHandle(static_cast<HANDLE>(process)); }

int utf16ToUtf8(const Utf16Unit * units, int count, char * out, int capacity) {
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, count, out, capacity, nullptr, nullptr);
}

int64_t performanceCounter() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

int64_t performanceFrequency() {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
}

bool startThread(quillet::Thread * thread, quillet::ThreadMain main, void * argument) {
    return quillet::threadStart(thread, main, argument);
}

void joinThread(quillet::Thread * thread) { quillet::threadJoin(thread); }

} // namespace platform
} // namespace appfocus
