// The record and probes run by the test thread (Probe), and the tracker thread itself (TrackerThread).
#include <atomic>
#include <string>

#include "test_support.h"

namespace appfocus {
namespace {

const platform::WindowHandle kEditorWindow = 0x10a0;
const platform::WindowHandle kShellWindow  = 0x20c0;
const uint32_t               kEditorPid    = 4100;
const uint32_t               kShellPid     = 5200;

// The editor, in front.
void addEditor() {
    sim::addApp(kEditorWindow, kEditorPid, u"C:\\Apps\\Editor.exe");
    sim::setForeground(kEditorWindow, false);
}
void addShell() { sim::addApp(kShellWindow, kShellPid, u"C:\\Windows\\explorer.exe"); }

// The editor's image path as "C:\ddd...\app.exe", units long.
void setPathOfUnits(uint32_t units) {
    std::u16string path = u"C:\\" + std::u16string(units - 11, u'd') + u"\\app.exe";
    sim::setImagePath(kEditorPid, path.data(), units);
}

AppIdentity identity(const char * name, uint32_t pid, uintptr_t window) {
    AppIdentity id = {};
    strcpy(id.name, name);
    id.processId    = pid;
    id.windowHandle = window;
    return id;
}

using Probe         = TrackerTest;
using TrackerThread = TrackerTest;

TEST_F(Probe, EpochStartsAtOneAndGrowsOnlyWhenStartReallyStarts) {
    ContextSnapshot s = snap();
    EXPECT_EQ(s.epoch, 1u);
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::Stopped);
    EXPECT_EQ(s.observedMs, 0);
    recheck(&tracker); // stopped: no effect
    EXPECT_EQ(snap().reason, SnapshotReason::Stopped);
    EXPECT_EQ(snap().observedMs, 0);
    start(&tracker);
    EXPECT_EQ(snap().epoch, 2u);
    start(&tracker); // already running
    EXPECT_EQ(snap().epoch, 2u);
    stop(&tracker);
    EXPECT_EQ(snap().epoch, 2u);
    start(&tracker);
    EXPECT_EQ(snap().epoch, 3u);
}

TEST_F(Probe, PendingFromStartOrRecheckUntilAProbeCompletes) {
    addEditor();
    startHeld();
    ContextSnapshot s = snap();
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 0); // no probe has begun
    resolveForeground(&tracker);
    s = snap();
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.reason, SnapshotReason::None);
    EXPECT_STREQ(s.identity.name, "Editor");
    EXPECT_EQ(s.identity.processId, kEditorPid);
    EXPECT_EQ(s.identity.windowHandle, kEditorWindow);
    EXPECT_EQ(s.changedMs, 1000);

    sim::setClockMs(1300);
    recheck(&tracker);
    s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 1300);
    EXPECT_EQ(s.changedMs, 1000); // kept while pending
    EXPECT_TRUE(identityEmpty(s.identity));
    resolveForeground(&tracker);
    EXPECT_EQ(snap().changedMs, 1000);
    EXPECT_EQ(snap().observedMs, 1300);
}

// changedMs moves when any part of the identity differs, or after a probe that found none.
TEST_F(Probe, ChangeTimeMovesOnlyWhenTheIdentityChanges) {
    const AppIdentity editor = identity("Editor", kEditorPid, kEditorWindow);
    const struct {
        const char * what;
        AppIdentity  next;
        bool         changes;
    } cases[] = {
        {"the same", editor, false},
        {"another window", identity("Editor", kEditorPid, kEditorWindow + 0x10), true},
        {"another process", identity("Editor", kEditorPid + 1, kEditorWindow), true},
        {"another name", identity("Editor2", kEditorPid, kEditorWindow), true},
    };
    startHeld();
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(completeProbe(&tracker, beginProbe(&tracker, 100), &editor));
        EXPECT_TRUE(completeProbe(&tracker, beginProbe(&tracker, 200), &c.next));
        EXPECT_EQ(snap().changedMs, c.changes ? 200 : 100);
        EXPECT_EQ(snap().observedMs, 200);
        completeProbe(&tracker, beginProbe(&tracker, 300), nullptr);
        EXPECT_EQ(snap().reason, SnapshotReason::Unavailable);
        EXPECT_EQ(snap().changedMs, 0);
    }
    EXPECT_TRUE(completeProbe(&tracker, beginProbe(&tracker, 400), &editor));
    EXPECT_EQ(snap().changedMs, 400) << "the same app after a failure is a change";
}

TEST_F(Probe, StaleCompletionsAreDropped) {
    const AppIdentity other = identity("Other", 9, 0x99);
    startHeld();
    ProbeToken token = beginProbe(&tracker, 1500);
    sim::setClockMs(1600);
    recheck(&tracker);
    EXPECT_FALSE(completeProbe(&tracker, token, &other));
    EXPECT_EQ(snap().reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(snap().observedMs, 1600);

    ProbeToken older = beginProbe(&tracker, 1700);
    ProbeToken newer = beginProbe(&tracker, 1800);
    EXPECT_FALSE(completeProbe(&tracker, older, &other));
    EXPECT_TRUE(completeProbe(&tracker, newer, &other));

    token = beginProbe(&tracker, 1900);
    sim::holdThreads(false);
    stop(&tracker);
    EXPECT_FALSE(completeProbe(&tracker, token, &other));
    ProbeToken late = beginProbe(&tracker, 2000); // a halted record opens nothing
    EXPECT_FALSE(completeProbe(&tracker, late, &other));
    EXPECT_EQ(snap().reason, SnapshotReason::Stopped);
    EXPECT_TRUE(identityEmpty(snap().identity));
}

TEST_F(Probe, UnusableOrUnstableForegroundIsUnavailable) {
    addEditor();
    addShell();
    startHeld();
    const struct {
        const char * what;
        void (*before)();
        void (*during)(void *); // while the image path is read
    } cases[] = {
        {"no foreground window", [] { sim::setForeground(0, false); }, nullptr},
        {"not a window", [] { sim::setForeground(0x7777, false); }, nullptr},
        {"exited process", [] { sim::setProcessExited(kEditorPid, true); }, nullptr},
        {"process cannot be opened", [] { sim::setOpenFails(kEditorPid, true); }, nullptr},
        {"path of 1024 units", [] { setPathOfUnits(1024); }, nullptr},
        {"empty path", [] { sim::setImagePath(kEditorPid, u"", 0); }, nullptr},
        {"another window in front", [] {}, [](void *) { sim::setForeground(kShellWindow, false); }},
        {"window moved to another process", [] {}, [](void *) { sim::addWindow(kEditorWindow, kShellPid); }},
        {"window destroyed", [] {}, [](void *) { sim::destroyWindow(kEditorWindow); }},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        addEditor();
        sim::setProcessExited(kEditorPid, false);
        sim::setOpenFails(kEditorPid, false);
        resolveForeground(&tracker);
        ASSERT_TRUE(snap().valid);
        c.before();
        sim::setImageQueryHook(c.during, nullptr);
        resolveForeground(&tracker);
        sim::setImageQueryHook(nullptr, nullptr);
        ContextSnapshot s = snap();
        EXPECT_EQ(s.reason, SnapshotReason::Unavailable);
        EXPECT_EQ(s.changedMs, 0);
        EXPECT_TRUE(identityEmpty(s.identity));
        EXPECT_EQ(sim::openProcessHandles(), 0);
    }
    addEditor();
    setPathOfUnits(1023); // the longest path the buffer takes
    resolveForeground(&tracker);
    EXPECT_STREQ(snap().identity.name, "app");
}

TEST_F(TrackerThread, StopReturnsPromptlyEvenWhenWaitsRunLong) {
    sim::setWaitMs(3000);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    auto began = std::chrono::steady_clock::now();
    stop(&tracker);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
    sim::ThreadCounts counts = sim::threadCounts();
    EXPECT_EQ(counts.running, 0u);
    EXPECT_EQ(counts.joined, counts.started);
    EXPECT_EQ(sim::activeHooks(), 0);
}

TEST_F(TrackerThread, RecheckResultArrivesWithoutWaitingForTheNextWake) {
    addEditor();
    sim::setWaitMs(3000);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    sim::setClockMs(1100);
    recheck(&tracker);
    EXPECT_TRUE(eventually([&] { return settled(); }, 1000));
    EXPECT_EQ(snap().observedMs, 1100);
}

TEST_F(TrackerThread, ADueProbeFollowsWithinAWaitAndNoneComesEarly) {
    addEditor();
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return settled(); }));
    const uint32_t queries = sim::imageQueries();
    sim::setClockMs(1499);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim::imageQueries(), queries);
    sim::setClockMs(1500);
    EXPECT_TRUE(eventually([&] { return snap().observedMs == 1500 && settled(); }, 600));
}

TEST_F(TrackerThread, EventsProbeAtOnceButOnlyForTheForegroundOrTheTrackedWindow) {
    addEditor();
    addShell();
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return snap().valid; }));
    sim::setForeground(kShellWindow, true);
    ASSERT_TRUE(eventually([&] { return snap().identity.processId == kShellPid; }));
    const uint32_t queries = sim::imageQueries();
    sim::raiseWinEvent(platform::eventObjectDestroy, kEditorWindow, 0);
    sim::raiseWinEvent(platform::eventObjectDestroy, kShellWindow, -4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim::imageQueries(), queries);
    sim::destroyWindow(kShellWindow);
    EXPECT_TRUE(eventually([&] { return snap().reason == SnapshotReason::Unavailable; }));
}

// A flood of messages does not hold up the stop flag or the probe schedule.
TEST_F(TrackerThread, ATurnHandlesAtMost64Messages) {
    static std::atomic<int> stage{0};
    static std::atomic<int> queuedAtProbe{-1};
    stage         = 0;
    queuedAtProbe = -1;
    sim::setImageQueryHook(
        [](void *) {
            if (stage.fetch_add(1) == 0) {
                while (stage.load() < 2) std::this_thread::yield(); // the first probe waits for the flood
            } else if (queuedAtProbe.load() < 0) {
                queuedAtProbe = sim::queuedMessages();
            }
        },
        nullptr);
    addEditor();
    addShell();
    start(&tracker);
    ASSERT_TRUE(eventually([] { return stage.load() == 1; }));
    sim::setForeground(kShellWindow, true);
    for (int i = 0; i < 199; i++) sim::raiseWinEvent(platform::eventObjectDestroy, 0x5555, 0);
    stage = 2;
    ASSERT_TRUE(eventually([] { return queuedAtProbe.load() >= 0; }));
    EXPECT_GE(queuedAtProbe.load(), 200 - 64);
    sim::setImageQueryHook(nullptr, nullptr);
}

TEST_F(TrackerThread, HookFaultsAndAFailedThreadStartEndTheRunUntilStartRetries) {
    sim::setHookInstallFails(platform::eventObjectDestroy, true);
    start(&tracker);
    ASSERT_TRUE(eventually([&] { return !snap().running; }));
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    ASSERT_TRUE(eventually([] { return sim::threadCounts().running == 0; }));
    EXPECT_EQ(sim::activeHooks(), 0) << "the hook that did install is removed";
    sim::setHookInstallFails(platform::eventObjectDestroy, false);
    const sim::ThreadCounts before = sim::threadCounts();
    start(&tracker); // joins the faulted thread
    EXPECT_EQ(sim::threadCounts().joined, before.joined + 1);
    EXPECT_EQ(snap().epoch, 3u);
    ASSERT_TRUE(eventually([] { return sim::activeHooks() == 2; }));

    sim::setUnhookFails(true);
    stop(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault) << "a failed unhook outranks the stop";
    sim::setUnhookFails(false);

    sim::failNextThreadStart();
    start(&tracker);
    ContextSnapshot s = snap();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::HelperFault);
    EXPECT_EQ(s.epoch, 4u);
    recheck(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    stop(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::Stopped);
    start(&tracker);
    EXPECT_TRUE(snap().running);
    EXPECT_EQ(snap().epoch, 5u);
}

} // namespace
} // namespace appfocus
