// The platform seam's threads, events and waits on Linux: real ones over
// pthreads, behaving as Windows handles do (events and threads are both
// waitable; a closed thread handle lets the thread run on).
#include "platform.h"
#include "sim.h"
#include "sim_internal.h"

#include <atomic>
#include <errno.h>
#include <new>
#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

namespace keywatch {

// Events and threads share one waitable object, as handles do on Windows.
struct SimWaitable {
    pthread_mutex_t mutex;
    pthread_cond_t  changed;
    bool            signalled; // event set, or thread ended
    bool            isThread;
    bool            closed;   // thread handle closed while the thread ran
    quillet::Thread thread;   // the running thread, when isThread
    uint32_t        threadId; // what messages to the thread are posted to, when isThread
    ThreadMain      main;     // what the thread runs
    void *          argument; // handed to main
};

static SimWaitable * newWaitable(bool isThread) {
    if (simCallFails(isThread ? simThreadStart : simEventCreate)) {
        return nullptr;
    }
    SimWaitable * w = new (std::nothrow) SimWaitable;
    if (w == nullptr) {
        return nullptr;
    }
    simCountWaitable(1);
    pthread_mutex_init(&w->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&w->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    w->signalled = false;
    w->isThread  = isThread;
    w->threadId  = 0;
    w->closed    = false;
    w->main      = nullptr;
    w->argument  = nullptr;
    return w;
}

static void signalWaitable(SimWaitable * w) {
    pthread_mutex_lock(&w->mutex);
    w->signalled = true;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->mutex);
}

PlatformHandle eventCreate() { return newWaitable(false); }

bool eventSet(PlatformHandle event) {
    signalWaitable(static_cast<SimWaitable *>(event));
    return true;
}

uint32_t handleWait(PlatformHandle handle, uint32_t timeoutMs) {
    SimWaitable * w = static_cast<SimWaitable *>(handle);
    if (w == nullptr) {
        return 0xFFFFFFFFu;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long) (timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&w->mutex);
    while (!w->signalled && timeoutMs != 0) {
        if (timeoutMs == waitInfinite) {
            pthread_cond_wait(&w->changed, &w->mutex);
        } else if (pthread_cond_timedwait(&w->changed, &w->mutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool signalled = w->signalled;
    pthread_mutex_unlock(&w->mutex);
    return signalled ? waitSignalled : waitTimeout;
}

static void destroyWaitable(SimWaitable * w);

void handleClose(PlatformHandle handle) {
    SimWaitable * w = static_cast<SimWaitable *>(handle);
    if (w == nullptr) {
        return;
    }
    if (w->isThread) {
        // Closing a thread handle does not end the thread; only a thread
        // that has ended can take its record with it.
        pthread_mutex_lock(&w->mutex);
        const bool ended = w->signalled;
        if (!ended) {
            // Released under the lock: once it is dropped the thread may end
            // and free the record at any moment.
            w->closed = true;
            quillet::threadRelease(&w->thread);
        }
        pthread_mutex_unlock(&w->mutex);
        if (!ended) {
            return; // the running thread frees the record when it ends
        }
        quillet::threadJoin(&w->thread);
    }
    destroyWaitable(w);
}

static void destroyWaitable(SimWaitable * w) {
    pthread_cond_destroy(&w->changed);
    pthread_mutex_destroy(&w->mutex);
    delete w;
    simCountWaitable(-1);
}

// A started thread knows itself by the id threadStart handed out, so that
// messages posted to that id reach its queue. Like Windows ids they are never
// 0 and never reused while the process runs; counting from 2^30 keeps them
// apart from the kernel's ids, which other threads use.
static thread_local uint32_t startedThreadId = 0;
static std::atomic<uint32_t> nextThreadId{0x40000000u};

static uint32_t threadEntry(void * argument) {
    SimWaitable * w = static_cast<SimWaitable *>(argument);
    startedThreadId = w->threadId;
    w->main(w->argument);
    pthread_mutex_lock(&w->mutex);
    w->signalled        = true;
    const bool orphaned = w->closed;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->mutex);
    if (orphaned) {
        destroyWaitable(w); // its handle is gone and it was released
    }
    return 0;
}

PlatformHandle threadStart(ThreadMain main, void * argument, uint32_t * threadId) {
    SimWaitable * w = newWaitable(true);
    if (threadId != nullptr) {
        *threadId = 0;
    }
    if (w == nullptr) {
        return nullptr;
    }
    w->main     = main;
    w->argument = argument;
    w->threadId = nextThreadId.fetch_add(4);
    if (!quillet::threadStart(&w->thread, threadEntry, w)) {
        w->isThread = false;
        handleClose(w);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = w->threadId;
    }
    return w;
}

uint32_t currentThreadId() { return startedThreadId != 0 ? startedThreadId : (uint32_t) syscall(SYS_gettid); }
bool     threadPriorityTimeCritical() { return true; } // scheduling classes are not simulated
void     sleepMs(uint32_t ms) { usleep((useconds_t) ms * 1000u); }

} // namespace keywatch
