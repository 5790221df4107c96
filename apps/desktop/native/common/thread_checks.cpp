// The thread-affinity checks of test and debug builds (threads.h).
#include "threads.h"

#if QUILLET_THREAD_CHECKS

#include <stdio.h>
#include <stdlib.h>

namespace quillet {

uintptr_t threadKey() {
    // Every live thread has its own copy, so its address tells threads apart.
    static thread_local char marker;
    return reinterpret_cast<uintptr_t>(&marker);
}

static void violated(const char * what, const char * rule) {
    fprintf(stderr, "thread check failed: %s %s\n", what, rule);
    fflush(stderr);
    abort();
}

void affinityBind(ThreadAffinity * affinity) { __atomic_store_n(&affinity->thread, threadKey(), __ATOMIC_RELAXED); }

void affinityUnbind(ThreadAffinity * affinity) { __atomic_store_n(&affinity->thread, 0, __ATOMIC_RELAXED); }

void affinityCheck(const ThreadAffinity * affinity, const char * what) {
    const uintptr_t bound = __atomic_load_n(&affinity->thread, __ATOMIC_RELAXED);
    if (bound != 0 && bound != threadKey()) {
        violated(what, "called off the thread it belongs to");
    }
}

void affinityCheckNot(const ThreadAffinity * affinity, const char * what) {
    if (__atomic_load_n(&affinity->thread, __ATOMIC_RELAXED) == threadKey()) {
        violated(what, "called on the thread it must not run on");
    }
}

void lockCheckHeld(const ExclusiveLock * lock, const char * what) {
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != threadKey()) {
        violated(what, "called without holding the lock");
    }
}

void lockNoteAcquiring(ExclusiveLock * lock) {
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == threadKey()) {
        violated("lockAcquire", "called by the thread that holds the lock");
    }
}

void lockNoteOwner(ExclusiveLock * lock, bool held) {
    __atomic_store_n(&lock->owner, held ? threadKey() : 0, __ATOMIC_RELAXED);
}

} // namespace quillet

#endif
