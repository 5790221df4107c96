// The lock and thread on Windows.
#include "threads.h"

#include <windows.h>
#include <process.h>

namespace quillet {

static_assert(sizeof(ExclusiveLock::srw) == sizeof(SRWLOCK), "ExclusiveLock holds an SRWLOCK");

static SRWLOCK * srw(ExclusiveLock * lock) { return reinterpret_cast<SRWLOCK *>(&lock->srw); }

void lockInit(ExclusiveLock * lock) {
    InitializeSRWLock(srw(lock));
#if QUILLET_THREAD_CHECKS
    lock->owner = 0;
#endif
}
void lockDestroy(ExclusiveLock *) {} // slim locks own no resources
void lockAcquire(ExclusiveLock * lock) {
#if QUILLET_THREAD_CHECKS
    lockNoteAcquiring(lock);
#endif
    AcquireSRWLockExclusive(srw(lock));
#if QUILLET_THREAD_CHECKS
    lockNoteOwner(lock, true);
#endif
}
void lockRelease(ExclusiveLock * lock) {
#if QUILLET_THREAD_CHECKS
    lockNoteOwner(lock, false);
#endif
    ReleaseSRWLockExclusive(srw(lock));
}

bool threadStart(Thread * thread, ThreadMain main, void * argument) {
    thread->main     = main;
    thread->argument = argument;
    unsigned id      = 0;
    // The runtime's thread start keeps the C runtime's per-thread state right,
    // which a bare CreateThread does not.
    const uintptr_t handle =
        _beginthreadex(nullptr, 0, reinterpret_cast<_beginthreadex_proc_type>(main), argument, 0, &id);
    thread->native   = handle;
    thread->id       = handle != 0 ? id : 0;
    thread->joinable = handle != 0;
    return thread->joinable;
}

void threadJoin(Thread * thread) {
    HANDLE handle = reinterpret_cast<HANDLE>(thread->native);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    thread->native   = 0;
    thread->joinable = false;
}

void threadRelease(Thread * thread) {
    CloseHandle(reinterpret_cast<HANDLE>(thread->native));
    thread->native   = 0;
    thread->joinable = false;
}

} // namespace quillet
