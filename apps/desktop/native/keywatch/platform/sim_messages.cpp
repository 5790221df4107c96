// Thread message queues and windowless timers for simulated threads that own
// no window (the remote-keys monitor). Weak, so that a fuller simulation that
// also routes messages to windows takes precedence when one is linked in.
#include "platform.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#define KEYWATCH_SIM_WEAK __attribute__((weak))

namespace keywatch {

namespace {

struct Queue {
    bool          used;
    uint32_t      threadId;
    ThreadMessage ring[64];
    uint32_t      head;
    uint32_t      count;
    uint32_t      timerPeriodMs; // 0: no timer
    uint64_t      timerDueMs;
};

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t  changed;
pthread_once_t  changedOnce = PTHREAD_ONCE_INIT;
Queue           queues[16];

void initChanged() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);
}

void lock() {
    pthread_once(&changedOnce, initChanged);
    pthread_mutex_lock(&mutex);
}
void unlock() { pthread_mutex_unlock(&mutex); }

uint64_t realMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u;
}

// The queue goes with its thread, as on Windows.
struct QueueOwner {
    Queue * queue = nullptr;
    ~QueueOwner() {
        if (queue != nullptr) {
            lock();
            queue->used = false;
            unlock();
        }
    }
};
thread_local QueueOwner owner;

} // namespace

KEYWATCH_SIM_WEAK void messageQueueEnsure() {
    if (owner.queue != nullptr) {
        return;
    }
    lock();
    for (Queue & queue : queues) {
        if (!queue.used) {
            memset(&queue, 0, sizeof(queue));
            queue.used     = true;
            queue.threadId = currentThreadId();
            owner.queue    = &queue;
            break;
        }
    }
    unlock();
}

KEYWATCH_SIM_WEAK int32_t messageGet(ThreadMessage * message) {
    messageQueueEnsure();
    Queue * queue = owner.queue;
    if (queue == nullptr) {
        return -1;
    }
    lock();
    for (;;) {
        if (queue->count > 0) {
            *message    = queue->ring[queue->head];
            queue->head = (queue->head + 1) % 64;
            queue->count--;
            break;
        }
        const uint64_t now = realMs();
        if (queue->timerPeriodMs != 0 && now >= queue->timerDueMs) {
            // Like the system, a late timer fires once, not once per missed period.
            queue->timerDueMs = now + queue->timerPeriodMs;
            memset(message, 0, sizeof(*message));
            message->message = messageTimer;
            break;
        }
        if (queue->timerPeriodMs == 0) {
            pthread_cond_wait(&changed, &mutex);
        } else {
            timespec deadline;
            deadline.tv_sec  = (time_t) (queue->timerDueMs / 1000u);
            deadline.tv_nsec = (long) (queue->timerDueMs % 1000u) * 1000000L;
            pthread_cond_timedwait(&changed, &mutex, &deadline);
        }
    }
    unlock();
    return message->message == messageQuit ? 0 : 1;
}

KEYWATCH_SIM_WEAK void messageDispatch(const ThreadMessage *) {} // no windows here

// Fails, as on Windows, for a thread without a queue or with a full one.
KEYWATCH_SIM_WEAK bool threadMessagePost(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    lock();
    Queue * target = nullptr;
    for (Queue & queue : queues) {
        if (queue.used && queue.threadId == threadId) {
            target = &queue;
        }
    }
    const bool posted = target != nullptr && target->count < 64;
    if (posted) {
        target->ring[(target->head + target->count) % 64] = ThreadMessage{nullptr, message, wParam, lParam, 0, 0, 0};
        target->count++;
        pthread_cond_broadcast(&changed);
    }
    unlock();
    return posted;
}

KEYWATCH_SIM_WEAK uintptr_t threadTimerStart(uint32_t periodMs) {
    messageQueueEnsure();
    if (owner.queue == nullptr || periodMs == 0) {
        return 0;
    }
    lock();
    owner.queue->timerPeriodMs = periodMs;
    owner.queue->timerDueMs    = realMs() + periodMs;
    unlock();
    return 1;
}

KEYWATCH_SIM_WEAK bool threadTimerStop(uintptr_t timer) {
    if (owner.queue == nullptr || timer != 1) {
        return false;
    }
    lock();
    owner.queue->timerPeriodMs = 0;
    unlock();
    return true;
}

} // namespace keywatch
