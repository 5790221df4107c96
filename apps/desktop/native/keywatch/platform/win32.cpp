// The platform seam on Windows: thin wrappers, one Win32 call (or a short
// fixed sequence) each, with the parameters the capture relies on.
#include "platform.h"

#include <windows.h>
#include <wtsapi32.h>
#include <stdio.h>
#include <string.h>

#include "scoped_handle_win32.h"
#include "wake_mask_win32.h"
#include "windows_codes.h"

namespace keywatch {

static_assert(sizeof(RawInputRegistration) == sizeof(RAWINPUTDEVICE), "registration layout");
static_assert(sizeof(LowLevelKeyEvent) == sizeof(KBDLLHOOKSTRUCT), "hook record layout");
static_assert(sizeof(RAWINPUTHEADER) == rawHeaderSize, "raw input header size");
static_assert(sizeof(RAWINPUTHEADER) + sizeof(RAWMOUSE) == rawRecordSize, "raw record size");

// The codes the portable core compares (windows_codes.h) are the system's.
static_assert(quillet::vkReturn == VK_RETURN && quillet::vkShift == VK_SHIFT && quillet::vkControl == VK_CONTROL &&
                  quillet::vkAlt == VK_MENU && quillet::vkLeftWin == VK_LWIN && quillet::vkRightWin == VK_RWIN &&
                  quillet::vkLeftShift == VK_LSHIFT && quillet::vkRightShift == VK_RSHIFT &&
                  quillet::vkLeftControl == VK_LCONTROL && quillet::vkRightControl == VK_RCONTROL &&
                  quillet::vkLeftAlt == VK_LMENU && quillet::vkRightAlt == VK_RMENU && quillet::vkPacket == VK_PACKET,
              "virtual-key codes");
static_assert(quillet::scanOverrun == KEYBOARD_OVERRUN_MAKE_CODE, "overrun make code");
static_assert(quillet::sessionConsoleConnect == WTS_CONSOLE_CONNECT &&
                  quillet::sessionConsoleDisconnect == WTS_CONSOLE_DISCONNECT &&
                  quillet::sessionRemoteConnect == WTS_REMOTE_CONNECT &&
                  quillet::sessionRemoteDisconnect == WTS_REMOTE_DISCONNECT &&
                  quillet::sessionLogon == WTS_SESSION_LOGON && quillet::sessionLogoff == WTS_SESSION_LOGOFF &&
                  quillet::sessionLock == WTS_SESSION_LOCK && quillet::sessionUnlock == WTS_SESSION_UNLOCK,
              "session-change codes");
static_assert(quillet::deviceArrival == GIDC_ARRIVAL && quillet::deviceRemoval == GIDC_REMOVAL, "device-change codes");
static_assert(quillet::mouseButtonTransitionBits ==
                  (RI_MOUSE_BUTTON_1_DOWN | RI_MOUSE_BUTTON_1_UP | RI_MOUSE_BUTTON_2_DOWN | RI_MOUSE_BUTTON_2_UP |
                   RI_MOUSE_BUTTON_3_DOWN | RI_MOUSE_BUTTON_3_UP | RI_MOUSE_BUTTON_4_DOWN | RI_MOUSE_BUTTON_4_UP |
                   RI_MOUSE_BUTTON_5_DOWN | RI_MOUSE_BUTTON_5_UP),
              "mouse button transition bits");

PlatformHandle eventCreate() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
bool           eventSet(PlatformHandle event) { return SetEvent(event) != 0; }
uint32_t       handleWait(PlatformHandle handle, uint32_t timeoutMs) { return WaitForSingleObject(handle, timeoutMs); }
void           handleClose(PlatformHandle handle) {
              if (handle != nullptr) {
                  CloseHandle(handle);
    }
}

PlatformHandle threadStart(ThreadMain main, void * argument, uint32_t * threadId) {
    // On Windows the new thread does not read the record, so it may go out of scope.
    quillet::Thread thread;
    const bool      started = quillet::threadStart(&thread, main, argument);
    if (threadId != nullptr) {
        *threadId = thread.id;
    }
    return started ? reinterpret_cast<PlatformHandle>(thread.native) : nullptr;
}

uint32_t currentThreadId() { return GetCurrentThreadId(); }
bool threadPriorityTimeCritical() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0; }
void sleepMs(uint32_t ms) { Sleep(ms); }
uint64_t tickCount64() { return GetTickCount64(); }

void * hostInstance() { return GetModuleHandleW(nullptr); }

static void formatClassName(const void * owner, wchar_t name[80]) {
    _snwprintf(name, 80, L"QuilletRawInput_%p", owner);
    name[79] = 0;
}

bool messageWindowClassRegister(const void * owner, WindowProcedure procedure) {
    wchar_t name[80];
    formatClassName(owner, name);
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.lpfnWndProc   = reinterpret_cast<WNDPROC>(procedure);
    windowClass.hInstance     = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = name;
    return RegisterClassW(&windowClass) != 0;
}

bool messageWindowClassUnregister(const void * owner) {
    wchar_t name[80];
    formatClassName(owner, name);
    return UnregisterClassW(name, GetModuleHandleW(nullptr)) != 0;
}

WindowHandle messageWindowCreate(const void * owner) {
    wchar_t name[80];
    formatClassName(owner, name);
    return CreateWindowExW(0, name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                           const_cast<void *>(owner));
}

bool   windowDestroy(WindowHandle window) { return DestroyWindow(static_cast<HWND>(window)) != 0; }
void * windowUserData(WindowHandle window) {
    return reinterpret_cast<void *>(GetWindowLongPtrW(static_cast<HWND>(window), GWLP_USERDATA));
}
void windowSetUserData(WindowHandle window, void * data) {
    SetWindowLongPtrW(static_cast<HWND>(window), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
}
void * windowCreateParameter(intptr_t ncCreateLParam) {
    const CREATESTRUCTW * create = reinterpret_cast<const CREATESTRUCTW *>(ncCreateLParam);
    return create != nullptr ? create->lpCreateParams : nullptr;
}
intptr_t windowDefaultProcedure(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return DefWindowProcW(static_cast<HWND>(window), message, wParam, lParam);
}

uint32_t messageWait(PlatformHandle stopEvent, uint32_t timeoutMs) {
    HANDLE handles[1] = {stopEvent};
    return MsgWaitForMultipleObjectsEx(1, handles, timeoutMs, quillet::wakeMask, MWMO_INPUTAVAILABLE);
}

MessagePump messagePumpOne() {
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        return pumpEmpty;
    }
    if (message.message == WM_QUIT) {
        return pumpQuit;
    }
    DispatchMessageW(&message);
    return pumpDispatched;
}

bool messageWaiting() {
    MSG message;
    return PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

uint32_t messageTime() { return static_cast<uint32_t>(GetMessageTime()); }

void messageQueueEnsure() {
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

int32_t messageGet(ThreadMessage * out) {
    MSG        message;
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got > 0) {
        out->window  = message.hwnd;
        out->message = message.message;
        out->wParam  = message.wParam;
        out->lParam  = message.lParam;
        out->time    = message.time;
        out->x       = message.pt.x;
        out->y       = message.pt.y;
    }
    return got;
}

void messageDispatch(const ThreadMessage * in) {
    MSG message;
    memset(&message, 0, sizeof(message));
    message.hwnd    = static_cast<HWND>(in->window);
    message.message = in->message;
    message.wParam  = in->wParam;
    message.lParam  = in->lParam;
    message.time    = in->time;
    message.pt.x    = in->x;
    message.pt.y    = in->y;
    DispatchMessageW(&message);
}

bool threadMessagePost(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostThreadMessageW(threadId, message, wParam, lParam) != 0;
}

uintptr_t threadTimerStart(uint32_t periodMs) { return SetTimer(nullptr, 0, periodMs, nullptr); }
bool      threadTimerStop(uintptr_t timer) { return KillTimer(nullptr, timer) != 0; }

int32_t rawInputRegistrationsRead(RawInputRegistration * records, uint32_t capacity) {
    UINT       count = capacity;
    const UINT result =
        GetRegisteredRawInputDevices(reinterpret_cast<RAWINPUTDEVICE *>(records), &count, sizeof(RAWINPUTDEVICE));
    // Anything above the capacity, the all-ones error value included, is a failed read.
    if (result > capacity) {
        return -1;
    }
    return static_cast<int32_t>(result);
}

bool rawInputRegister(const RawInputRegistration * records, uint32_t count) {
    return RegisterRawInputDevices(reinterpret_cast<const RAWINPUTDEVICE *>(records), count, sizeof(RAWINPUTDEVICE)) !=
           0;
}

uint32_t rawInputRead(intptr_t rawInput, uint8_t buffer[rawRecordSize]) {
    UINT size = rawRecordSize;
    return GetRawInputData(reinterpret_cast<HRAWINPUT>(rawInput), RID_INPUT, buffer, &size, sizeof(RAWINPUTHEADER));
}

bool sessionNotificationRegister(WindowHandle window) {
    return WTSRegisterSessionNotification(static_cast<HWND>(window), NOTIFY_FOR_THIS_SESSION) != 0;
}
bool sessionNotificationUnregister(WindowHandle window) {
    return WTSUnRegisterSessionNotification(static_cast<HWND>(window)) != 0;
}

// One session query; the system's buffer is copied out and freed at once.
static bool querySession(WTS_INFO_CLASS what, void * out, uint32_t capacity, uint32_t * bytes) {
    LPWSTR buffer   = nullptr;
    DWORD  returned = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &buffer, &returned)) {
        return false;
    }
    *bytes = returned;
    if (buffer != nullptr) {
        if (returned == capacity) {
            memcpy(out, buffer, capacity);
        }
        WTSFreeMemory(buffer);
    }
    return true;
}

bool sessionConnectState(uint32_t * state, uint32_t * bytes) {
    *state = 0xFFFFFFFFu;
    return querySession(WTSConnectState, state, sizeof(*state), bytes);
}

bool sessionClientProtocol(uint16_t * protocol, uint32_t * bytes) {
    *protocol = 0xFFFF;
    return querySession(WTSClientProtocolType, protocol, sizeof(*protocol), bytes);
}

bool         remoteSession() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }
WindowHandle foregroundWindow() { return GetForegroundWindow(); }

uint32_t windowThreadProcessId(WindowHandle window, uint32_t * processId) {
    DWORD       pid    = 0;
    const DWORD thread = GetWindowThreadProcessId(static_cast<HWND>(window), processId != nullptr ? &pid : nullptr);
    if (processId != nullptr) {
        *processId = pid;
    }
    return thread;
}

uintptr_t keyboardLayout(uint32_t threadId) { return reinterpret_cast<uintptr_t>(GetKeyboardLayout(threadId)); }

PlatformHandle inputDesktopOpen() { return OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS | DESKTOP_HOOKCONTROL); }
void           desktopClose(PlatformHandle desktop) { CloseDesktop(static_cast<HDESK>(desktop)); }
PlatformHandle threadDesktop() { return GetThreadDesktop(GetCurrentThreadId()); }

bool desktopName(PlatformHandle desktop, uint8_t name[desktopNameBytes]) {
    memset(name, 0, desktopNameBytes);
    DWORD needed = 0;
    return GetUserObjectInformationW(static_cast<HANDLE>(desktop), UOI_NAME, name, desktopNameBytes, &needed) != 0;
}

bool     asyncKeyDown(uint32_t vkey) { return GetAsyncKeyState(static_cast<int>(vkey)) < 0; }
uint32_t mapVirtualKeyToScan(uint32_t vkey) { return MapVirtualKeyW(vkey, MAPVK_VK_TO_VSC); }

uint32_t sendKeys(const SynthKey * keys, uint32_t count) {
    INPUT inputs[4];
    if (count > 4) {
        return 0;
    }
    memset(inputs, 0, sizeof(inputs));
    for (uint32_t i = 0; i < count; i++) {
        inputs[i].type       = INPUT_KEYBOARD;
        inputs[i].ki.wVk     = keys[i].vkey;
        inputs[i].ki.wScan   = keys[i].scanCode;
        inputs[i].ki.dwFlags = keys[i].release ? KEYEVENTF_KEYUP : 0;
    }
    return SendInput(count, inputs, sizeof(INPUT));
}

PlatformHandle keyboardHookInstall(HookProcedure procedure) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(procedure), &self);
    return SetWindowsHookExW(WH_KEYBOARD_LL, reinterpret_cast<HOOKPROC>(procedure), self, 0);
}

bool     keyboardHookRemove(PlatformHandle hook) { return UnhookWindowsHookEx(static_cast<HHOOK>(hook)) != 0; }
intptr_t hookCallNext(int32_t code, uintptr_t wParam, intptr_t lParam) {
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool processImagePath(uint32_t processId, uint16_t path[imagePathUnits]) {
    memset(path, 0, imagePathUnits * sizeof(uint16_t));
    const quillet::ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process.get() == nullptr) {
        return false;
    }
    DWORD size = imagePathUnits;
    return QueryFullProcessImageNameW(process.get(), 0, reinterpret_cast<LPWSTR>(path), &size) != 0;
}

} // namespace keywatch
