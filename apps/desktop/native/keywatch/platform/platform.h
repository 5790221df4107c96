// Every operating-system call of the keyboard module goes through these
// functions. win32.cpp binds them to the Windows API; the sim_*.cpp files
// provide a simulated desktop for Linux builds and tests. Handles are opaque; a null
// handle always means "none" or "failed".
#pragma once

#include <stdint.h>

#include "threads.h"

#if defined(_WIN32)
#define KEYWATCH_CALLBACK __stdcall
#else
#define KEYWATCH_CALLBACK
#endif

namespace keywatch {

// ---- Locks ---------------------------------------------------------------

// The shared exclusive lock (threads.h); static ones start as QUILLET_EXCLUSIVE_LOCK_INIT.
// It is taken only through ScopedLock.
using quillet::ExclusiveLock;
using quillet::lockDestroy;
using quillet::lockInit;
using quillet::ScopedLock;

// ---- Threads, events, waits, time ----------------------------------------

typedef void * PlatformHandle;

enum : uint32_t {
    waitSignalled = 0, // the (first) handle is signalled / the thread ended
    waitInput     = 1, // messageWait only: input is waiting in the queue
    waitTimeout   = 258,
    waitInfinite  = 0xFFFFFFFFu,
};

// Manual-reset, initially clear, unnamed. Null on failure.
PlatformHandle eventCreate();
bool           eventSet(PlatformHandle event);
// waitSignalled, waitTimeout, or any other value for a failed wait. A zero
// timeout tests without waiting.
uint32_t handleWait(PlatformHandle handle, uint32_t timeoutMs);
void     handleClose(PlatformHandle handle);

using quillet::ThreadMain;
// A thread handle over the shared threadStart: waitable, closed with
// handleClose. Null on failure; *threadId receives the id messages are posted to.
PlatformHandle threadStart(ThreadMain main, void * argument, uint32_t * threadId);
uint32_t       currentThreadId();
// Raise the calling thread to time-critical priority.
bool threadPriorityTimeCritical();
void sleepMs(uint32_t ms);

// Monotonic milliseconds; message times are the low 32 bits of this scale.
uint64_t tickCount64();

// ---- Message-only window ---------------------------------------------------

typedef void * WindowHandle;

typedef intptr_t(KEYWATCH_CALLBACK * WindowProcedure)(WindowHandle window, uint32_t message, uintptr_t wParam,
                                                      intptr_t lParam);

enum : uint32_t {
    messageDestroy           = 0x0002,
    messageQuit              = 0x0012,
    messageNcCreate          = 0x0081,
    messageInputDeviceChange = 0x00FE,
    messageInput             = 0x00FF,
    messageKeyDown           = 0x0100,
    messageKeyUp             = 0x0101,
    messageSysKeyDown        = 0x0104,
    messageSysKeyUp          = 0x0105,
    messageTimer             = 0x0113,
    messageSessionChange     = 0x02B1,
    messageUser              = 0x0400,
    messageApp               = 0x8000,
};

// The host executable's instance handle (the module handle of a null name).
void * hostInstance();
// Registers the class "QuilletRawInput_<owner address>" with only the
// procedure, hostInstance() and the name set. False on failure.
bool messageWindowClassRegister(const void * owner, WindowProcedure procedure);
bool messageWindowClassUnregister(const void * owner);
// A message-only window of that class with owner as creation parameter.
WindowHandle messageWindowCreate(const void * owner);
bool         windowDestroy(WindowHandle window);
void *       windowUserData(WindowHandle window);
void         windowSetUserData(WindowHandle window, void * data);
// The creation parameter carried by the lParam of the non-client create message.
void *   windowCreateParameter(intptr_t ncCreateLParam);
intptr_t windowDefaultProcedure(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Waits up to timeoutMs for the stop event or for any input to the calling
// thread's queue (input already waiting counts): waitSignalled, waitInput,
// waitTimeout, or another value on failure.
uint32_t messageWait(PlatformHandle stopEvent, uint32_t timeoutMs);

enum MessagePump : uint32_t {
    pumpEmpty      = 0, // no message was waiting
    pumpDispatched = 1, // one message was removed and dispatched, untranslated
    pumpQuit       = 2, // the quit message was removed and not dispatched
};
MessagePump messagePumpOne();
// Is any message waiting for the calling thread (nothing is removed).
bool messageWaiting();
// 32-bit millisecond time of the message being dispatched.
uint32_t messageTime();

// One message as the queue hands it over (the system's MSG, without its private field).
struct ThreadMessage {
    WindowHandle window;  // addressee; null for a message posted to the thread
    uint32_t     message; // the message number (messageTimer, a messageApp code, ...)
    uintptr_t    wParam;  // first parameter; for messageTimer, the timer's id
    intptr_t     lParam;  // second parameter
    uint32_t     time;    // 32-bit millisecond time it was posted, on the tickCount64 scale
    int32_t      x;       // cursor position in screen pixels when it was posted: horizontal
    int32_t      y;       // and its vertical position
};
// Makes sure the calling thread has a message queue.
void messageQueueEnsure();
// Blocks for the next message: positive on a message, 0 on quit, negative on failure.
int32_t messageGet(ThreadMessage * message);
void    messageDispatch(const ThreadMessage * message);
bool    threadMessagePost(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// A windowless thread timer; 0 on failure.
uintptr_t threadTimerStart(uint32_t periodMs);
bool      threadTimerStop(uintptr_t timer);

// ---- Raw input -------------------------------------------------------------

enum : uint32_t {
    rawFlagRemove      = 0x0001,
    rawFlagInputSink   = 0x0100,
    rawFlagDevNotify   = 0x2000,
    rawRegistrationMax = 64,
    rawRecordSize      = 48, // header 24 + the larger of keyboard 16 / mouse 24
    rawHeaderSize      = 24,
    rawReadFailed      = 0xFFFFFFFFu,
};

struct RawInputRegistration {
    uint16_t     usagePage;
    uint16_t     usage;
    uint32_t     flags;
    WindowHandle target; // null with rawFlagRemove
};

// The process's registrations, up to rawRegistrationMax: the count, or -1
// when they cannot be read.
int32_t rawInputRegistrationsRead(RawInputRegistration * records, uint32_t capacity);
bool    rawInputRegister(const RawInputRegistration * records, uint32_t count);
// Copies the record behind a raw input message's lParam into buffer (at most
// rawRecordSize bytes, the platform's own layout): bytes copied or rawReadFailed.
uint32_t rawInputRead(intptr_t rawInput, uint8_t buffer[rawRecordSize]);

// ---- Sessions and the input environment --------------------------------------

bool sessionNotificationRegister(WindowHandle window);
bool sessionNotificationUnregister(WindowHandle window);
// Current session's connect state / client protocol; *bytes gets the size of
// the answer. False when the query fails.
bool sessionConnectState(uint32_t * state, uint32_t * bytes);
bool sessionClientProtocol(uint16_t * protocol, uint32_t * bytes);

bool         remoteSession();
WindowHandle foregroundWindow();
// Thread id owning the window (0 on failure); *processId when not null.
uint32_t  windowThreadProcessId(WindowHandle window, uint32_t * processId);
uintptr_t keyboardLayout(uint32_t threadId);

enum {
    desktopNameBytes = 256
};
// Desktop receiving input, opened for reading and hook control; null on failure.
PlatformHandle inputDesktopOpen();
void           desktopClose(PlatformHandle desktop);
// Closes an opened desktop at the end of its scope.
class ScopedDesktop {
public:
    explicit ScopedDesktop(PlatformHandle desktop) : desktop_(desktop) {}
    ~ScopedDesktop() {
        if (desktop_ != nullptr) {
            desktopClose(desktop_);
        }
    }
    ScopedDesktop(const ScopedDesktop &)             = delete;
    ScopedDesktop & operator=(const ScopedDesktop &) = delete;
    PlatformHandle  get() const { return desktop_; }

private:
    PlatformHandle desktop_;
};
// The calling thread's desktop; not to be closed.
PlatformHandle threadDesktop();
// UTF-16 name into a zero-filled buffer; false on failure.
bool desktopName(PlatformHandle desktop, uint8_t name[desktopNameBytes]);

// ---- Keys -------------------------------------------------------------------

// True when the key is down now.
bool     asyncKeyDown(uint32_t vkey);
uint32_t mapVirtualKeyToScan(uint32_t vkey);

struct SynthKey {
    uint16_t vkey;
    uint16_t scanCode;
    bool     release;
};
// One batch of keyboard events: how many the system inserted.
uint32_t sendKeys(const SynthKey * keys, uint32_t count);

// ---- Low-level keyboard hook and processes -------------------------------------

enum : uint32_t {
    lowLevelInjected = 0x10
};

// The record a low-level keyboard hook receives through its lParam.
struct LowLevelKeyEvent {
    uint32_t  vkCode;
    uint32_t  scanCode;
    uint32_t  flags;
    uint32_t  time;
    uintptr_t extraInfo;
};

typedef intptr_t(KEYWATCH_CALLBACK * HookProcedure)(int32_t code, uintptr_t wParam, intptr_t lParam);
// A system-wide low-level keyboard hook owned by this module; null on failure.
PlatformHandle keyboardHookInstall(HookProcedure procedure);
bool           keyboardHookRemove(PlatformHandle hook);
intptr_t       hookCallNext(int32_t code, uintptr_t wParam, intptr_t lParam);

enum {
    imagePathUnits = 260
};
// Full image path (UTF-16, zero-filled) of a process; false when it cannot be read.
bool processImagePath(uint32_t processId, uint16_t path[imagePathUnits]);

} // namespace keywatch
