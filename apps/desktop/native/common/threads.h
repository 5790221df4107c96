// The lock and the joinable thread both modules use: Win32 on Windows
// (threads_win32.cpp), pthreads elsewhere for the simulated builds
// (threads_posix.cpp). Plain records and free functions, and a scoped guard
// for the lock; nothing allocates.
#pragma once

#include <stdint.h>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(_WIN32)
#define QUILLET_THREAD_CALL __stdcall
#else
#define QUILLET_THREAD_CALL
#endif

namespace quillet {

#if QUILLET_THREAD_CHECKS
#define QUILLET_LOCK_OWNER_INIT , 0
#else
#define QUILLET_LOCK_OWNER_INIT
#endif

// An exclusive lock that can be set up statically (process-wide locks) or
// with lockInit (locks inside allocated records). Any thread; never
// recursive; its operations cannot fail.
#if defined(_WIN32)
struct ExclusiveLock {
    void * srw; // a slim reader/writer lock, used exclusively; zero is its initial state
#if QUILLET_THREAD_CHECKS
    uintptr_t owner; // threadKey() of the holder, 0 when free (checked builds)
#endif
};
#define QUILLET_EXCLUSIVE_LOCK_INIT \
    { nullptr QUILLET_LOCK_OWNER_INIT }
#else
struct ExclusiveLock {
    pthread_mutex_t mutex; // a default (non-recursive) mutex
#if QUILLET_THREAD_CHECKS
    uintptr_t       owner; // threadKey() of the holder, 0 when free (checked builds)
#endif
};
#define QUILLET_EXCLUSIVE_LOCK_INIT \
    { PTHREAD_MUTEX_INITIALIZER QUILLET_LOCK_OWNER_INIT }
#endif

void lockInit(ExclusiveLock * lock);
void lockDestroy(ExclusiveLock * lock);
void lockAcquire(ExclusiveLock * lock);
void lockRelease(ExclusiveLock * lock);

// ---- Thread-affinity checks ----------------------------------------------
// Where a header says which thread runs a function ("JS thread", "worker
// only", "caller holds lock"), the function checks it in test and debug
// builds (QUILLET_THREAD_CHECKS): a violation prints what was called and
// aborts. Elsewhere the checks compile to nothing. Acquiring a lock the
// calling thread already holds aborts there too, instead of deadlocking.

// A thread's binding: set once on the thread that owns what it guards.
struct ThreadAffinity {
    uintptr_t thread; // threadKey() of the bound thread; 0 while unbound
};

#if QUILLET_THREAD_CHECKS
// Nonzero, distinct for every live thread.
uintptr_t threadKey();
void      affinityBind(ThreadAffinity * affinity);
void      affinityUnbind(ThreadAffinity * affinity);
// what names the function for the message.
void affinityCheck(const ThreadAffinity * affinity, const char * what);
void affinityCheckNot(const ThreadAffinity * affinity, const char * what);
void lockCheckHeld(const ExclusiveLock * lock, const char * what);
// For the lock's own implementations: before acquiring, and after each change of holder.
void lockNoteAcquiring(ExclusiveLock * lock);
void lockNoteOwner(ExclusiveLock * lock, bool held);
#else
inline void affinityBind(ThreadAffinity *) {}
inline void affinityUnbind(ThreadAffinity *) {}
inline void affinityCheck(const ThreadAffinity *, const char *) {}
inline void affinityCheckNot(const ThreadAffinity *, const char *) {}
inline void lockCheckHeld(const ExclusiveLock *, const char *) {}
#endif

// Holds a lock from its construction to the end of its scope, so that every
// way out of the scope releases it.
class ScopedLock {
public:
    explicit ScopedLock(ExclusiveLock * lock) : lock_(lock) { lockAcquire(lock_); }
    ~ScopedLock() { lockRelease(lock_); }
    ScopedLock(const ScopedLock &)             = delete;
    ScopedLock & operator=(const ScopedLock &) = delete;

private:
    ExclusiveLock * lock_;
};

typedef uint32_t(QUILLET_THREAD_CALL * ThreadMain)(void * argument);

// One thread, joined or released exactly once, by one thread other than itself.
struct Thread {
    uintptr_t  native;   // the thread's handle (Windows) or pthread_t; meaningful while joinable
    uint32_t   id;       // the system's thread id on Windows; 0 elsewhere, where none fits 32 bits
    bool       joinable; // started and neither joined nor released yet
    ThreadMain main;     // what the thread runs
    void *     argument; // handed to main
};

// Runs main(argument) on a new thread with the default stack. False when no
// thread could be started; *thread is then not joinable. Elsewhere than on
// Windows the new thread reads main and argument from the record, so it must
// stay in place until the thread has begun (joining or releasing it is enough).
bool threadStart(Thread * thread, ThreadMain main, void * argument);
// Waits for the thread to end and frees what the system holds for it.
void threadJoin(Thread * thread);
// Lets the thread run on unjoined; the system frees it when it ends.
void threadRelease(Thread * thread);

} // namespace quillet
