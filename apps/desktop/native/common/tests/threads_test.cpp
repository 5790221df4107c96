// The thread checks of test builds: each stated rule, broken, aborts the process.
#include <gtest/gtest.h>

#include "threads.h"

namespace quillet {
namespace {

uint32_t QUILLET_THREAD_CALL checkFromAnotherThread(void * affinity) {
    affinityCheck(static_cast<ThreadAffinity *>(affinity), "checkFromAnotherThread");
    return 0;
}

TEST(ThreadChecks, ALockNotHeldATakenTwiceLockAndTheWrongThreadAbort) {
    ExclusiveLock lock = QUILLET_EXCLUSIVE_LOCK_INIT;
    {
        ScopedLock held(&lock);
        lockCheckHeld(&lock, "held");
    }
    EXPECT_DEATH(lockCheckHeld(&lock, "resetCapture"), "resetCapture called without holding the lock");
    EXPECT_DEATH(
        {
            ScopedLock held(&lock);
            lockAcquire(&lock);
        },
        "called by the thread that holds the lock");

    ThreadAffinity affinity = {0};
    affinityBind(&affinity);
    affinityCheck(&affinity, "here");
    EXPECT_DEATH(
        {
            Thread thread;
            threadStart(&thread, checkFromAnotherThread, &affinity);
            threadJoin(&thread);
        },
        "checkFromAnotherThread called off the thread it belongs to");
    EXPECT_DEATH(affinityCheckNot(&affinity, "stop"), "stop called on the thread it must not run on");
}

} // namespace
} // namespace quillet
