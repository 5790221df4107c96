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

// An exclusive lock that can be set up statically (process-wide locks) or
// with lockInit (locks inside allocated records). Any thread; never
// recursive; its operations cannot fail.
#if defined(_WIN32)
struct ExclusiveLock {
    void * srw; // a slim reader/writer lock, used exclusively; zero is its initial state
};
#define QUILLET_EXCLUSIVE_LOCK_INIT \
    { nullptr }
#else
struct ExclusiveLock {
    pthread_mutex_t mutex; // a default (non-recursive) mutex
};
#define QUILLET_EXCLUSIVE_LOCK_INIT \
    { PTHREAD_MUTEX_INITIALIZER }
#endif

void lockInit(ExclusiveLock * lock);
void lockDestroy(ExclusiveLock * lock);
void lockAcquire(ExclusiveLock * lock);
void lockRelease(ExclusiveLock * lock);

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
