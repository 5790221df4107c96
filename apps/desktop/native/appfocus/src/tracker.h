// The foreground tracker: a record published under a lock by a tracker
// thread that follows the foreground window, and the operations the host
// thread uses to start, stop, nudge and copy it.
#pragma once

#include <stdint.h>

#include <atomic>

#include "platform.h"

namespace appfocus {

const size_t nameBytes = 257; // 256 bytes of UTF-8 plus the terminator

// Compared field by field; the zero-filled buffers make that string equality.
struct AppIdentity {
    char      name[nameBytes];
    char      bundleId[nameBytes]; // never filled on Windows
    uint32_t  processId;
    uintptr_t windowHandle;
};

enum class SnapshotReason : uint32_t {
    None            = 0,
    Unavailable     = 1,
    MetadataPending = 2,
    Stopped         = 3,
    HelperFault     = 4,
};

struct ContextSnapshot {
    uint64_t       epoch;      // run counter; each real start adds one
    bool           running;    // from start until stop or a hook fault
    bool           valid;      // identity holds a resolved application
    SnapshotReason reason;     // why not valid; None when valid
    double         observedMs; // when the latest probe or recheck began
    double         changedMs;  // when the current identity was first seen; 0 if none
    AppIdentity    identity;   // empty unless valid
};

struct ProbeToken {
    uint64_t sequence;
    double   startMs;
};

enum class HaltKind : uint32_t {
    Stopped     = 0,
    HelperFault = 1
};

struct ForegroundTracker {
    quillet::ExclusiveLock  lock;            // guards the next three fields
    ContextSnapshot         published;       // what copySnapshot returns
    AppIdentity             lastIdentity;    // last successful probe, for change detection
    uint64_t                probeSequence;   // bumped by whatever makes probes in flight stale
    std::atomic<bool>       stopRequested;   // true while not running or stopping
    std::atomic<bool>       recheckPending;  // asks the tracker thread for a probe now
    std::atomic<uintptr_t>  trackedWindow;   // foreground window of the latest probe
    std::atomic<uint32_t>   trackerThreadId; // target of posted messages; 0 when none
    quillet::Thread         thread;          // joinable until start or stop joins it
    quillet::ThreadAffinity hostThread;      // the thread that made the record (checked builds)
    quillet::ThreadAffinity trackerThread;   // the tracker from its set-up to its tear-down (checked builds)

    ForegroundTracker();
    ~ForegroundTracker();
    ForegroundTracker(const ForegroundTracker &)             = delete;
    ForegroundTracker & operator=(const ForegroundTracker &) = delete;
};

bool identityEqual(const AppIdentity & a, const AppIdentity & b);

// Milliseconds with fraction from the performance counter.
double monotonicMs();

// Host thread.
void start(ForegroundTracker * tracker);
void stop(ForegroundTracker * tracker); // never on the tracker thread: it joins
void recheck(ForegroundTracker * tracker);
void copySnapshot(ForegroundTracker * tracker, ContextSnapshot * out, double * clockMs);

// Probe sequencing, shared by the host and tracker threads.
ProbeToken beginProbe(ForegroundTracker * tracker, double nowMs);
// identity may be null. Returns false when the probe was stale and dropped.
bool completeProbe(ForegroundTracker * tracker, ProbeToken token, const AppIdentity * identity);
void publishHalt(ForegroundTracker * tracker, HaltKind kind);

// What the tracker thread keeps from one step to the next.
struct TrackerRun {
    platform::HookHandle foregroundHook; // 0 when not installed
    platform::HookHandle destroyHook;    // 0 when not installed
    double               lastProbeMs;    // when the latest probe of this run began; 0 before the first
};

// Host thread: a fresh run (the next epoch, pending) for a tracker that is
// not running, without a thread; start() is this and the thread.
void openRun(ForegroundTracker * tracker);

// The tracker thread, in three parts so that a test can step it on its own
// thread: trackerMain is set-up, steps until one returns false, tear-down.
// Set-up takes the calling thread's queue and installs the hooks: false when
// the run ends at once (a hook fault, published). A step pumps at most 64
// messages, probes when asked or due, then waits for messages up to 25 ms:
// false once the run is to end. Tear-down removes the hooks (publishing a
// fault when that fails) and releases the thread's id.
bool trackerSetUp(ForegroundTracker * tracker, TrackerRun * run);
bool trackerStep(ForegroundTracker * tracker, TrackerRun * run);
void trackerTearDown(ForegroundTracker * tracker, TrackerRun * run);
void trackerMain(ForegroundTracker * tracker);
void onWinEvent(platform::HookHandle hook, uint32_t event, platform::WindowHandle window, int32_t objectId,
                int32_t childId, uint32_t eventThread, uint32_t eventTime);

} // namespace appfocus
