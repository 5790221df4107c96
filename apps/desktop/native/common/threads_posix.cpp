// The lock and thread over pthreads, for the simulated builds.
#include "threads.h"

#include <stdlib.h>

namespace quillet {

// A default mutex fails only when corrupted or misused; nothing can recover.
void lockInit(ExclusiveLock * lock) {
    pthread_mutex_init(&lock->mutex, nullptr);
#if QUILLET_THREAD_CHECKS
    lock->owner = 0;
#endif
}
void lockDestroy(ExclusiveLock * lock) { pthread_mutex_destroy(&lock->mutex); }
void lockAcquire(ExclusiveLock * lock) {
#if QUILLET_THREAD_CHECKS
    lockNoteAcquiring(lock);
#endif
    if (pthread_mutex_lock(&lock->mutex) != 0) {
        abort();
    }
#if QUILLET_THREAD_CHECKS
    lockNoteOwner(lock, true);
#endif
}
void lockRelease(ExclusiveLock * lock) {
#if QUILLET_THREAD_CHECKS
    lockNoteOwner(lock, false);
#endif
    if (pthread_mutex_unlock(&lock->mutex) != 0) {
        abort();
    }
}

static void * threadEntry(void * record) {
    Thread * thread = static_cast<Thread *>(record);
    thread->main(thread->argument);
    return nullptr;
}

bool threadStart(Thread * thread, ThreadMain main, void * argument) {
    thread->main     = main;
    thread->argument = argument;
    thread->id       = 0;
    pthread_t handle;
    thread->joinable = pthread_create(&handle, nullptr, threadEntry, thread) == 0;
    thread->native   = thread->joinable ? static_cast<uintptr_t>(handle) : 0;
    return thread->joinable;
}

void threadJoin(Thread * thread) {
    pthread_join(static_cast<pthread_t>(thread->native), nullptr);
    thread->native   = 0;
    thread->joinable = false;
}

void threadRelease(Thread * thread) {
    pthread_detach(static_cast<pthread_t>(thread->native));
    thread->native   = 0;
    thread->joinable = false;
}

} // namespace quillet
