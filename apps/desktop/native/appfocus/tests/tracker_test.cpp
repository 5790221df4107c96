#include <string>

#include "tests/test_support.h"

namespace appfocus {
namespace {

const platform::WindowHandle kEditorWindow = 0x10a0;
const platform::WindowHandle kEditorPalette = 0x10b0;
const platform::WindowHandle kShellWindow = 0x20c0;
const uint32_t kEditorPid = 4100;
const uint32_t kShellPid = 5200;

void addEditor() { sim::addApp(kEditorWindow, kEditorPid, u"C:\\Apps\\Editor.exe"); }
void addShell() { sim::addApp(kShellWindow, kShellPid, u"C:\\Windows\\explorer.exe"); }

TEST_F(TrackerTest, BeforeStartTheRecordIsStoppedAtEpochOne) {
    ContextSnapshot s = snap();
    EXPECT_EQ(s.epoch, 1u);
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.valid);
    EXPECT_EQ(s.reason, SnapshotReason::Stopped);
    EXPECT_EQ(s.observedMs, 0);
    EXPECT_EQ(s.changedMs, 0);
    EXPECT_TRUE(identityEmpty(s.identity));
}

TEST_F(TrackerTest, EpochGrowsOnlyWhenStartReallyStarts) {
    start(&tracker);
    EXPECT_EQ(snap().epoch, 2u);
    start(&tracker);  // already running
    EXPECT_EQ(snap().epoch, 2u);
    stop(&tracker);
    EXPECT_EQ(snap().epoch, 2u);
    start(&tracker);
    EXPECT_EQ(snap().epoch, 3u);
    stop(&tracker);
    start(&tracker);
    EXPECT_EQ(snap().epoch, 4u);
}

TEST_F(TrackerTest, PendingAfterStartAndAfterRecheckUntilAProbeCompletes) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    startHeld();
    ContextSnapshot s = snap();
    EXPECT_TRUE(s.running);
    EXPECT_FALSE(s.valid);
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 0);  // no probe has begun
    EXPECT_TRUE(identityEmpty(s.identity));

    sim::setClockMs(1234.5);
    recheck(&tracker);
    s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 1234.5);

    resolveForeground(&tracker);
    s = snap();
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.reason, SnapshotReason::None);
    EXPECT_STREQ(s.identity.name, "Editor");
    EXPECT_EQ(s.changedMs, 1234.5);

    // A recheck while running: pending at once with the call's time, the
    // change time kept while pending.
    sim::setClockMs(1300);
    recheck(&tracker);
    s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 1300);
    EXPECT_EQ(s.changedMs, 1234.5);
    EXPECT_TRUE(identityEmpty(s.identity));

    // The thread's first turn answers the pending recheck with the same
    // application, so the change time stays.
    sim::holdThreads(false);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    s = snap();
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.observedMs, 1300);
    EXPECT_EQ(s.changedMs, 1234.5);
}

TEST_F(TrackerTest, RecheckOnAStoppedTrackerChangesNothing) {
    ContextSnapshot before = snap();
    recheck(&tracker);
    ContextSnapshot after = snap();
    EXPECT_EQ(memcmp(&before, &after, sizeof(before)), 0);
}

TEST_F(TrackerTest, ChangedMsKeptOverEqualProbesAndResetByAFailedOne) {
    addEditor();
    sim::addWindow(kEditorPalette, kEditorPid);
    sim::setForeground(kEditorWindow, false);
    startHeld();

    resolveForeground(&tracker);
    ContextSnapshot s = snap();
    ASSERT_TRUE(s.valid);
    EXPECT_STREQ(s.identity.name, "Editor");
    EXPECT_STREQ(s.identity.bundleId, "");
    EXPECT_EQ(s.identity.processId, kEditorPid);
    EXPECT_EQ(s.identity.windowHandle, kEditorWindow);
    EXPECT_EQ(s.observedMs, 1000);
    EXPECT_EQ(s.changedMs, 1000);

    sim::setClockMs(1100);
    resolveForeground(&tracker);
    s = snap();
    EXPECT_EQ(s.observedMs, 1100);
    EXPECT_EQ(s.changedMs, 1000);

    // Another window of the same process is a change.
    sim::setClockMs(1200);
    sim::setForeground(kEditorPalette, false);
    resolveForeground(&tracker);
    EXPECT_EQ(snap().changedMs, 1200);

    sim::setClockMs(1300);
    sim::setOpenFails(kEditorPid, true);
    resolveForeground(&tracker);
    s = snap();
    EXPECT_FALSE(s.valid);
    EXPECT_EQ(s.reason, SnapshotReason::Unavailable);
    EXPECT_EQ(s.observedMs, 1300);
    EXPECT_EQ(s.changedMs, 0);
    EXPECT_TRUE(identityEmpty(s.identity));

    // The same application again after a failure counts as a change.
    sim::setClockMs(1400);
    sim::setOpenFails(kEditorPid, false);
    resolveForeground(&tracker);
    s = snap();
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.changedMs, 1400);
    EXPECT_EQ(sim::openProcessHandles(), 0);
}

TEST_F(TrackerTest, StaleCompletionAfterRecheckIsDropped) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    startHeld();
    resolveForeground(&tracker);

    ProbeToken token = beginProbe(&tracker, 1500);
    sim::setClockMs(1600);
    recheck(&tracker);
    AppIdentity other;
    memset(&other, 0, sizeof(other));
    strcpy(other.name, "Other");
    other.processId = 9;
    other.windowHandle = 0x99;
    EXPECT_FALSE(completeProbe(&tracker, token, &other));
    ContextSnapshot s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 1600);
    EXPECT_TRUE(identityEmpty(s.identity));
    EXPECT_EQ(s.changedMs, 1000);

    // A newer probe makes the older one stale as well.
    ProbeToken older = beginProbe(&tracker, 1700);
    ProbeToken newer = beginProbe(&tracker, 1800);
    EXPECT_FALSE(completeProbe(&tracker, older, nullptr));
    EXPECT_TRUE(completeProbe(&tracker, newer, &other));
    EXPECT_STREQ(snap().identity.name, "Other");
}

TEST_F(TrackerTest, StaleCompletionAfterStopIsDropped) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    startHeld();
    resolveForeground(&tracker);
    ProbeToken token = beginProbe(&tracker, 1500);
    sim::holdThreads(false);
    stop(&tracker);

    AppIdentity editor = snap().identity;
    strcpy(editor.name, "Editor");
    editor.processId = kEditorPid;
    EXPECT_FALSE(completeProbe(&tracker, token, &editor));
    ContextSnapshot s = snap();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::Stopped);
    EXPECT_EQ(s.changedMs, 0);
    EXPECT_TRUE(identityEmpty(s.identity));

    // A probe begun on a halted record opens nothing.
    ProbeToken late = beginProbe(&tracker, 1600);
    EXPECT_EQ(snap().observedMs, s.observedMs);
    EXPECT_FALSE(completeProbe(&tracker, late, &editor));
}

TEST_F(TrackerTest, UnusableForegroundIsUnavailable) {
    addEditor();
    startHeld();
    struct Case {
        const char *what;
        void (*arrange)();
    } cases[] = {
        {"no foreground window", [] { sim::setForeground(0, false); }},
        {"not a window", [] { sim::setForeground(0x7777, false); }},
        {"exited process", [] { sim::setProcessExited(kEditorPid, true); }},
        {"process cannot be opened", [] { sim::setOpenFails(kEditorPid, true); }},
        {"path of 1024 units",
         [] {
             std::u16string path = u"C:\\" + std::u16string(1013, u'd') + u"\\app.exe";
             ASSERT_EQ(path.size(), 1024u);
             sim::setImagePath(kEditorPid, path.data(), 1024);
         }},
        {"empty path", [] { sim::setImagePath(kEditorPid, u"", 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::setForeground(kEditorWindow, false);
        sim::setProcessExited(kEditorPid, false);
        sim::setOpenFails(kEditorPid, false);
        sim::addProcess(kEditorPid, u"C:\\Apps\\Editor.exe");
        resolveForeground(&tracker);
        ASSERT_TRUE(snap().valid);
        c.arrange();
        resolveForeground(&tracker);
        ContextSnapshot s = snap();
        EXPECT_FALSE(s.valid);
        EXPECT_EQ(s.reason, SnapshotReason::Unavailable);
        EXPECT_EQ(s.changedMs, 0);
        EXPECT_TRUE(identityEmpty(s.identity));
        EXPECT_EQ(sim::openProcessHandles(), 0);
    }

    // The longest path the buffer takes still resolves.
    std::u16string path = u"C:\\" + std::u16string(1012, u'd') + u"\\app.exe";
    ASSERT_EQ(path.size(), 1023u);
    sim::setImagePath(kEditorPid, path.data(), 1023);
    resolveForeground(&tracker);
    EXPECT_STREQ(snap().identity.name, "app");
}

// Changes the world in the middle of a probe, while the path is read.
TEST_F(TrackerTest, ForegroundThatChangesDuringTheProbeIsUnavailable) {
    addEditor();
    addShell();
    startHeld();
    struct Case {
        const char *what;
        void (*during)(void *);
    } cases[] = {
        {"another window in front", [](void *) { sim::setForeground(kShellWindow, false); }},
        {"window moved to another process", [](void *) { sim::addWindow(kEditorWindow, kShellPid); }},
        {"window destroyed", [](void *) { sim::destroyWindow(kEditorWindow); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::addWindow(kEditorWindow, kEditorPid);
        sim::setForeground(kEditorWindow, false);
        sim::setImageQueryHook(c.during, nullptr);
        resolveForeground(&tracker);
        sim::setImageQueryHook(nullptr, nullptr);
        EXPECT_EQ(snap().reason, SnapshotReason::Unavailable);
    }
}

TEST_F(TrackerTest, RecheckDuringTheProbeWinsOverIt) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    startHeld();
    sim::setImageQueryHook([](void *t) {
        sim::setClockMs(2000);
        recheck(static_cast<ForegroundTracker *>(t));
    }, &tracker);
    resolveForeground(&tracker);
    sim::setImageQueryHook(nullptr, nullptr);
    ContextSnapshot s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 2000);
}

TEST_F(TrackerTest, HookInstallFailureFaultsUntilStopAndStartRetries) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    sim::setHookInstallFails(platform::kEventObjectDestroy, true);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return !snap().running; }));
    ContextSnapshot s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::HelperFault);
    EXPECT_EQ(s.epoch, 2u);
    // The foreground hook that did install was removed as the thread ended.
    ASSERT_TRUE(eventually([] { return sim::threadCounts().running == 0; }));
    EXPECT_EQ(sim::activeHooks(), 0);

    stop(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::Stopped);

    sim::setHookInstallFails(platform::kEventObjectDestroy, false);
    start(&tracker);
    EXPECT_EQ(snap().epoch, 3u);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    EXPECT_TRUE(snap().valid);
    EXPECT_EQ(sim::activeHooks(), 2);
}

TEST_F(TrackerTest, FaultedThreadIsJoinedByTheNextStart) {
    sim::setHookInstallFails(platform::kEventSystemForeground, true);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return snap().reason == SnapshotReason::HelperFault; }));
    sim::setHookInstallFails(platform::kEventSystemForeground, false);
    sim::ThreadCounts before = sim::threadCounts();
    start(&tracker);
    sim::ThreadCounts after = sim::threadCounts();
    EXPECT_EQ(after.joined, before.joined + 1);
    EXPECT_EQ(after.started, before.started + 1);
    EXPECT_TRUE(snap().running);
}

TEST_F(TrackerTest, UnhookFailureAtThreadEndFaultsEvenAfterStop) {
    start(&tracker);
    ASSERT_TRUE(eventually([] { return sim::activeHooks() == 2; }));
    sim::setUnhookFails(true);
    stop(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    EXPECT_FALSE(snap().running);
    sim::setUnhookFails(false);
}

TEST_F(TrackerTest, ThreadThatCannotBeCreatedLeavesAFaultedStoppedRecord) {
    sim::failNextThreadStart();
    start(&tracker);
    ContextSnapshot s = snap();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::HelperFault);
    EXPECT_EQ(s.epoch, 2u);
    EXPECT_FALSE(tracker.thread.joinable);
    EXPECT_TRUE(tracker.stopRequested.load());

    recheck(&tracker);  // no effect on a halted record
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);

    start(&tracker);
    EXPECT_TRUE(snap().running);
    EXPECT_EQ(snap().epoch, 3u);
}

TEST_F(TrackerTest, StopJoinsTheThreadAndKeepsObservedMs) {
    addEditor();
    sim::setForeground(kEditorWindow, false);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    double observed = snap().observedMs;
    stop(&tracker);
    sim::ThreadCounts counts = sim::threadCounts();
    EXPECT_EQ(counts.running, 0u);
    EXPECT_EQ(counts.joined, counts.started);
    EXPECT_EQ(tracker.trackerThreadId.load(), 0u);
    EXPECT_FALSE(tracker.thread.joinable);
    EXPECT_EQ(sim::activeHooks(), 0);
    ContextSnapshot s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::Stopped);
    EXPECT_EQ(s.changedMs, 0);
    EXPECT_EQ(s.observedMs, observed);
}

TEST_F(TrackerTest, EventsAndThePollDriveProbes) {
    addEditor();
    addShell();
    sim::setForeground(kEditorWindow, false);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return snap().valid; }));

    // A foreground change probes at once, though the frozen clock never
    // reaches the poll interval.
    sim::setForeground(kShellWindow, true);
    ASSERT_TRUE(eventually([&] { return snap().identity.processId == kShellPid; }));
    EXPECT_STREQ(snap().identity.name, "explorer");

    // Destroy events of other windows, or of a window's parts, are ignored.
    uint32_t queries = sim::imageQueries();
    sim::raiseWinEvent(platform::kEventObjectDestroy, kEditorWindow, 0);
    sim::raiseWinEvent(platform::kEventObjectDestroy, kShellWindow, -4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim::imageQueries(), queries);

    // The tracked window going away does probe.
    sim::destroyWindow(kShellWindow);
    ASSERT_TRUE(eventually([&] { return snap().reason == SnapshotReason::Unavailable; }));

    // The poll: nothing before 500 ms since the last probe, a probe at 500.
    sim::setForeground(kEditorWindow, false);
    queries = sim::imageQueries();
    sim::setClockMs(1499);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(snap().reason, SnapshotReason::Unavailable);
    sim::setClockMs(1500);
    ASSERT_TRUE(eventually([&] { return snap().valid; }));
    EXPECT_EQ(snap().observedMs, 1500);
    EXPECT_GT(sim::imageQueries(), queries);
}

TEST(MonotonicClock, IsCounterTimesThousandOverFrequency) {
    sim::setClockMs(1234.5);
    EXPECT_DOUBLE_EQ(monotonicMs(), 1234.5);
    sim::useRealClock();
    double a = monotonicMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double b = monotonicMs();
    EXPECT_GT(a, 0);
    EXPECT_GE(b - a, 5.0);
}

}  // namespace
}  // namespace appfocus
