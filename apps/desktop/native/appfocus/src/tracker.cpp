#include "tracker.h"

#include <string.h>

#include "identity.h"

namespace appfocus {
namespace {

const uint32_t trackerWaitMs      = 25;
const int      maxMessagesPerTurn = 64;
const double   probeIntervalMs    = 500.0;

// The tracker this thread serves: WinEvent callbacks carry no context.
thread_local ForegroundTracker * currentTracker = nullptr;

void clearIdentity(AppIdentity * identity) { memset(identity, 0, sizeof(*identity)); }

uint32_t QUILLET_THREAD_CALL trackerEntry(void * arg) {
    trackerMain(static_cast<ForegroundTracker *>(arg));
    return 0;
}

} // namespace

ForegroundTracker::ForegroundTracker() :
    probeSequence(0), stopRequested(true), recheckPending(true), trackedWindow(0), trackerThreadId(0) {
    quillet::lockInit(&lock);
    memset(&published, 0, sizeof(published));
    published.epoch  = 1;
    published.reason = SnapshotReason::Stopped;
    clearIdentity(&lastIdentity);
    memset(&thread, 0, sizeof(thread));
    quillet::affinityBind(&hostThread);
    trackerThread.thread = 0;
}

ForegroundTracker::~ForegroundTracker() { quillet::lockDestroy(&lock); }

bool identityEqual(const AppIdentity & a, const AppIdentity & b) {
    return a.processId == b.processId && a.windowHandle == b.windowHandle && memcmp(a.name, b.name, nameBytes) == 0 &&
           memcmp(a.bundleId, b.bundleId, nameBytes) == 0;
}

double monotonicMs() {
    // Read once; a function-local static is initialised thread-safely.
    static const double frequency = static_cast<double>(platform::performanceFrequency());
    return static_cast<double>(platform::performanceCounter()) * 1000.0 / frequency;
}

ProbeToken beginProbe(ForegroundTracker * t, double nowMs) {
    quillet::ScopedLock held(&t->lock);
    // A halted record keeps its reason; the unchanged sequence is one that a
    // completion can only match while not running, so it is discarded.
    if (!t->published.running) return ProbeToken{t->probeSequence, nowMs};
    t->probeSequence++;
    t->published.observedMs = nowMs;
    t->published.valid      = false;
    t->published.reason     = SnapshotReason::MetadataPending;
    clearIdentity(&t->published.identity);
    return ProbeToken{t->probeSequence, nowMs};
}

bool completeProbe(ForegroundTracker * t, ProbeToken token, const AppIdentity * identity) {
    quillet::ScopedLock held(&t->lock);
    ContextSnapshot &   p = t->published;
    if (!p.running || t->probeSequence != token.sequence) return false;
    p.observedMs = token.startMs;
    if (identity && identity->processId != 0 && identity->name[0] != '\0') {
        p.valid  = true;
        p.reason = SnapshotReason::None;
        if (!identityEqual(*identity, t->lastIdentity) || p.changedMs == 0) {
            p.changedMs = token.startMs;
        }
        t->lastIdentity = *identity;
        p.identity      = *identity;
    } else {
        p.valid  = false;
        p.reason = SnapshotReason::Unavailable;
        clearIdentity(&t->lastIdentity);
        clearIdentity(&p.identity);
        p.changedMs = 0;
    }
    return true;
}

void publishHalt(ForegroundTracker * t, HaltKind kind) {
    quillet::ScopedLock held(&t->lock);
    ContextSnapshot &   p = t->published;
    t->probeSequence++;
    p.running = false;
    p.valid   = false;
    p.reason  = kind == HaltKind::Stopped ? SnapshotReason::Stopped : SnapshotReason::HelperFault;
    clearIdentity(&t->lastIdentity);
    clearIdentity(&p.identity);
    p.changedMs = 0;
}

void start(ForegroundTracker * t) {
    quillet::affinityCheck(&t->hostThread, "start");
    if (!t->stopRequested.load()) return; // already running: the epoch stays
    // After a hook fault the thread ended by itself and is still joinable.
    if (t->thread.joinable) platform::joinThread(&t->thread);
    openRun(t);
    if (!platform::startThread(&t->thread, trackerEntry, t)) {
        // No thread: end the run the way a hook fault does, so the host sees
        // running false with "helper-fault" and may call start again.
        t->stopRequested.exchange(true);
        publishHalt(t, HaltKind::HelperFault);
    }
}

void openRun(ForegroundTracker * t) {
    quillet::affinityCheck(&t->hostThread, "openRun");
    {
        quillet::ScopedLock held(&t->lock);
        ContextSnapshot &   p     = t->published;
        uint64_t            epoch = p.epoch + 1;
        memset(&p, 0, sizeof(p));
        p.epoch   = epoch;
        p.running = true;
        p.reason  = SnapshotReason::MetadataPending;
        clearIdentity(&t->lastIdentity);
        t->probeSequence++;
    }
    t->stopRequested.exchange(false);
    t->recheckPending.exchange(true);
    t->trackedWindow.exchange(0);
}

void stop(ForegroundTracker * t) {
    quillet::affinityCheck(&t->hostThread, "stop");
    if (t->thread.joinable) quillet::affinityCheckNot(&t->trackerThread, "stop"); // it would join itself
    t->stopRequested.exchange(true);
    publishHalt(t, HaltKind::Stopped);
    uint32_t threadId = t->trackerThreadId.load();
    if (threadId != 0) platform::postQuit(threadId);
    // Waits for a probe in progress and the hook removal.
    if (t->thread.joinable) platform::joinThread(&t->thread);
}

void recheck(ForegroundTracker * t) {
    if (t->stopRequested.load()) return;
    // Never completed: this only marks the record pending and makes the probe
    // in flight stale.
    beginProbe(t, monotonicMs());
    bool     wasPending = t->recheckPending.exchange(true);
    uint32_t threadId   = t->trackerThreadId.load();
    if (threadId != 0 && !wasPending) platform::postWake(threadId);
}

void copySnapshot(ForegroundTracker * t, ContextSnapshot * out, double * clockMs) {
    {
        quillet::ScopedLock held(&t->lock);
        *out = t->published;
    }
    *clockMs = monotonicMs();
}

void onWinEvent(platform::HookHandle, uint32_t event, platform::WindowHandle window, int32_t objectId, int32_t,
                uint32_t, uint32_t) {
    ForegroundTracker * t = currentTracker;
    if (!t || t->stopRequested.load()) return;
    if (event == platform::eventSystemForeground) {
        recheck(t);
    } else if (event == platform::eventObjectDestroy && objectId == platform::objectIdWindow &&
               window == t->trackedWindow.load()) {
        recheck(t); // the foreground window itself went away
    }
}

bool trackerSetUp(ForegroundTracker * t, TrackerRun * run) {
    quillet::affinityBind(&t->trackerThread);
    currentTracker = t;
    // Own a queue before anybody can post to this thread's id.
    platform::createMessageQueue();
    t->trackerThreadId.exchange(platform::currentThreadId());
    run->foregroundHook = platform::setWinEventHook(platform::eventSystemForeground, onWinEvent);
    run->destroyHook    = platform::setWinEventHook(platform::eventObjectDestroy, onWinEvent);
    run->lastProbeMs    = 0;
    if (run->foregroundHook == 0 || run->destroyHook == 0) {
        publishHalt(t, HaltKind::HelperFault);
        t->stopRequested.exchange(true);
        return false;
    }
    return true;
}

bool trackerStep(ForegroundTracker * t, TrackerRun * run) {
    quillet::affinityCheck(&t->trackerThread, "trackerStep");
    if (t->stopRequested.load()) return false;
    for (int i = 0; i < maxMessagesPerTurn; i++) {
        platform::PumpResult r = platform::pumpMessage();
        if (r == platform::PumpEmpty) break;
        if (r == platform::PumpQuit) {
            t->stopRequested.exchange(true);
            break;
        }
    }
    if (t->stopRequested.load()) return false;
    double nowMs = monotonicMs();
    bool   asked = t->recheckPending.exchange(false);
    if (asked || nowMs - run->lastProbeMs >= probeIntervalMs) {
        resolveForeground(t);
        run->lastProbeMs = nowMs;
    }
    platform::waitForMessages(trackerWaitMs);
    return true;
}

void trackerTearDown(ForegroundTracker * t, TrackerRun * run) {
    quillet::affinityCheck(&t->trackerThread, "trackerTearDown");
    bool unhooked = true;
    if (run->foregroundHook != 0 && !platform::unhookWinEvent(run->foregroundHook)) unhooked = false;
    if (run->destroyHook != 0 && !platform::unhookWinEvent(run->destroyHook)) unhooked = false;
    if (!unhooked) publishHalt(t, HaltKind::HelperFault);
    t->trackerThreadId.exchange(0);
    currentTracker = nullptr;
    quillet::affinityUnbind(&t->trackerThread);
}

void trackerMain(ForegroundTracker * t) {
    TrackerRun run;
    if (trackerSetUp(t, &run)) {
        while (trackerStep(t, &run)) {
        }
    }
    trackerTearDown(t, &run);
}

} // namespace appfocus
