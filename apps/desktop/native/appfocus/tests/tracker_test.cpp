// The image's base name (ImageBaseName); on the simulated platform, probes run by the test thread (Probe), the
// tracker thread stepped by it (TrackerThread), whole runs (TrackerRun), and host calls racing the tracker thread and
// a foreground switcher (TrackerRace).
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "sim.h"
#include "identity.h"
#include "tracker.h"

namespace appfocus {
namespace {

// The base-name rules on a path; "<rejected>" for a refusal.
std::string baseName(const std::u16string & path) {
    char name[nameBytes];
    memset(name, 0x55, sizeof(name)); // the terminator must be written
    std::u16string copy = path;
    if (!imageBaseName(copy.data(), static_cast<uint32_t>(copy.size()), name)) return "<rejected>";
    return std::string(name);
}

// Where the name lies and the ".exe" rule are tested with common/exe_name.
TEST(ImageBaseName, TakesTheLastBackslashPartWithoutExe) {
    const char16_t loneHigh[] = {u'C', u':', u'\\', 0xD83D, u'x', u'.', u'e', u'x', u'e'};
    const char16_t loneLow[]  = {u'a', 0xDE00};
    const struct {
        std::u16string path;
        std::string    name;
    } cases[] = {
        {u"C:\\Apps\\app", "app"},
        {u"C:\\Apps\\", "<rejected>"},
        {u"C:\\" + std::u16string(256, u'a') + u".exe", std::string(256, 'a')},
        {u"C:\\" + std::u16string(257, u'a'), "<rejected>"},
        {u"a" + std::u16string(128, u'\u00e9'), "<rejected>"}, // 257 bytes of UTF-8
        {u"C:\\\U0001F600.exe", "\xf0\x9f\x98\x80"},           // a surrogate pair
        {std::u16string(loneHigh, 9), "<rejected>"},
        {std::u16string(loneLow, 2), "<rejected>"},
        {u"C:\\a\u001fb.exe", "<rejected>"},
        {u"C:\\a\u007fb.exe", "<rejected>"},
        {std::u16string(u"C:\\a\0b.exe", 10), "<rejected>"},
        {u"C:\\a b~.exe", "a b~"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(baseName(c.path), c.name) << c.name;
    }
}

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        sim::setClockMs(1000);
    }
    void TearDown() override {
        sim::holdThreads(false);
        stop(&tracker);
        if (stepping) tearDownStepped();
        // What the stepped run left in this thread's queue must not reach the next test.
        while (platform::pumpMessage() != platform::PumpEmpty) {
        }
    }
    // A run whose tracker thread is this one, stepped by the test; waits return at once.
    bool setUpStepped() {
        sim::setInstantWaits(true);
        openRun(&tracker);
        stepping = true;
        return trackerSetUp(&tracker, &run);
    }
    bool step() { return trackerStep(&tracker, &run); }
    void tearDownStepped() {
        trackerTearDown(&tracker, &run);
        stepping = false;
    }
    // Running, with the tracker thread held at its start so that the test thread probes.
    void startHeld() {
        sim::holdThreads(true);
        start(&tracker);
    }
    ContextSnapshot snap() {
        ContextSnapshot s;
        double          clockMs;
        copySnapshot(&tracker, &s, &clockMs);
        return s;
    }

    ForegroundTracker tracker;
    TrackerRun        run      = {};
    bool              stepping = false;
};

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

using Probe      = TrackerTest;
using TrackerRun = TrackerTest;

// The tracker thread stepped by the test: set up, with the editor in front and the shell behind, one turn done.
struct TrackerThread : TrackerTest {
    void SetUp() override {
        TrackerTest::SetUp();
        addEditor();
        addShell();
        ASSERT_TRUE(setUpStepped());
        ASSERT_TRUE(step());
    }
};

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
    EXPECT_EQ(s.changedMs, 1000);

    sim::setClockMs(1300);
    recheck(&tracker);
    s = snap();
    EXPECT_EQ(s.reason, SnapshotReason::MetadataPending);
    EXPECT_EQ(s.observedMs, 1300);
    EXPECT_EQ(s.changedMs, 1000); // kept while pending
    EXPECT_TRUE(identityEqual(s.identity, AppIdentity{}));
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
        completeProbe(&tracker, beginProbe(&tracker, 300), nullptr);
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
    EXPECT_TRUE(identityEqual(snap().identity, AppIdentity{}));
}

TEST_F(Probe, UnusableOrUnstableForegroundIsUnavailable) {
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
        EXPECT_TRUE(identityEqual(s.identity, AppIdentity{}));
        EXPECT_EQ(sim::openProcessHandles(), 0);
    }
    addEditor();
    setPathOfUnits(1023); // the longest path the buffer takes
    resolveForeground(&tracker);
    EXPECT_STREQ(snap().identity.name, "app");
}

TEST_F(TrackerThread, StopQueuesTheQuitThatEndsTheTrackersWait) {
    ASSERT_EQ(sim::queuedMessages(), 0);
    stop(&tracker);
    EXPECT_EQ(sim::queuedMessages(), 1);
    EXPECT_FALSE(step());
    tearDownStepped();
    EXPECT_EQ(sim::activeHooks(), 0);
}

TEST_F(TrackerThread, RechecksWakeTheTrackerOnceAndItsNextTurnProbes) {
    ASSERT_EQ(snap().reason, SnapshotReason::None);
    sim::setClockMs(1100);
    recheck(&tracker);
    recheck(&tracker);
    EXPECT_EQ(sim::queuedMessages(), 1) << "one wake for the rechecks before a turn";
    ASSERT_TRUE(step());
    EXPECT_EQ(snap().reason, SnapshotReason::None);
    EXPECT_EQ(snap().observedMs, 1100);
}

TEST_F(TrackerThread, ADueProbeFollowsWithinAWaitAndNoneComesEarly) {
    EXPECT_LE(sim::lastWaitMs(), 25u) << "a probe falls due at most one wait before the tracker looks";
    const uint32_t queries = sim::imageQueries();
    sim::setClockMs(1499);
    ASSERT_TRUE(step());
    EXPECT_EQ(sim::imageQueries(), queries);
    sim::setClockMs(1500);
    ASSERT_TRUE(step());
    EXPECT_EQ(snap().observedMs, 1500);
}

TEST_F(TrackerThread, EventsProbeAtOnceButOnlyForTheForegroundOrTheTrackedWindow) {
    ASSERT_TRUE(snap().valid);
    sim::setForeground(kShellWindow, true);
    ASSERT_TRUE(step());
    ASSERT_EQ(snap().identity.processId, kShellPid);
    const uint32_t queries = sim::imageQueries();
    sim::raiseWinEvent(platform::eventObjectDestroy, kEditorWindow, 0);
    sim::raiseWinEvent(platform::eventObjectDestroy, kShellWindow, -4);
    ASSERT_TRUE(step());
    EXPECT_EQ(sim::imageQueries(), queries);
    sim::destroyWindow(kShellWindow);
    ASSERT_TRUE(step());
    EXPECT_EQ(snap().reason, SnapshotReason::Unavailable);
}

// A flood of messages does not hold up the stop flag or the probe schedule.
TEST_F(TrackerThread, ATurnHandlesAtMost64Messages) {
    for (int i = 0; i < 200; i++) sim::raiseWinEvent(platform::eventObjectDestroy, 0x5555, 0);
    sim::setClockMs(1500);
    ASSERT_TRUE(step());
    EXPECT_EQ(sim::queuedMessages(), 200 - 64);
    EXPECT_EQ(snap().observedMs, 1500);
}

TEST_F(TrackerRun, HookFaultsAndAFailedThreadStartEndTheRunUntilStartRetries) {
    sim::setHookInstallFails(platform::eventObjectDestroy, true);
    EXPECT_FALSE(setUpStepped());
    EXPECT_FALSE(snap().running);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    tearDownStepped();
    EXPECT_EQ(sim::activeHooks(), 0) << "the hook that did install is removed";
    sim::setInstantWaits(false);

    start(&tracker); // a thread that faults and ends by itself
    sim::awaitThreadsEnded();
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    sim::setHookInstallFails(platform::eventObjectDestroy, false);
    const sim::ThreadCounts before = sim::threadCounts();
    start(&tracker); // joins the faulted thread
    EXPECT_EQ(sim::threadCounts().joined, before.joined + 1);
    EXPECT_EQ(snap().epoch, 4u);

    sim::setUnhookFails(true);
    stop(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault) << "a failed unhook outranks the stop";
    sim::setUnhookFails(false);

    sim::failNextThreadStart();
    start(&tracker);
    ContextSnapshot s = snap();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.reason, SnapshotReason::HelperFault);
    EXPECT_EQ(s.epoch, 5u);
    recheck(&tracker);
    EXPECT_EQ(snap().reason, SnapshotReason::HelperFault);
    stop(&tracker);
    start(&tracker);
    EXPECT_TRUE(snap().running);
    EXPECT_EQ(snap().epoch, 6u);
}

// Host calls racing the tracker thread and a foreground switcher: the race check under TSan, whole records always.
class TrackerRace : public TrackerTest {
protected:
    void SetUp() override {
        sim::reset(); // real clock: the poll runs too
        sim::addApp(0xa0, 11, u"C:\\A\\alpha.exe");
        sim::addApp(0xb0, 22, u"C:\\B\\beta.exe");
        switcher = std::thread([this] {
            for (int i = 0; !done.load(); i++) {
                sim::setForeground(i % 2 ? 0xa0 : 0xb0, true);
                if (i % 7 == 0) sim::raiseWinEvent(platform::eventObjectDestroy, 0xa0, 0);
                std::this_thread::yield();
            }
        });
    }
    void TearDown() override {
        done.store(true);
        switcher.join();
        TrackerTest::TearDown();
    }
    void expectWhole(const ContextSnapshot & s) {
        if (s.valid) {
            const AppIdentity & id = s.identity;
            EXPECT_TRUE((strcmp(id.name, "alpha") == 0 && id.processId == 11 && id.windowHandle == 0xa0) ||
                        (strcmp(id.name, "beta") == 0 && id.processId == 22 && id.windowHandle == 0xb0));
            EXPECT_EQ(s.reason, SnapshotReason::None);
            EXPECT_GT(s.changedMs, 0);
            EXPECT_LE(s.changedMs, s.observedMs);
        } else {
            EXPECT_TRUE(identityEqual(s.identity, AppIdentity{}));
            EXPECT_NE(s.reason, SnapshotReason::None);
        }
    }
    std::atomic<bool> done{false};
    std::thread       switcher;
};

TEST_F(TrackerRace, SnapshotRecheckStopAndStartWhileTheTrackerProbes) {
    for (int round = 0; round < 20; round++) {
        start(&tracker);
        for (int i = 0; i < 40; i++) {
            ContextSnapshot s = snap();
            EXPECT_EQ(s.epoch, 2u + round);
            expectWhole(s);
            if (i % 4 == 0) recheck(&tracker);
            std::this_thread::yield();
        }
        stop(&tracker);
        EXPECT_EQ(snap().reason, SnapshotReason::Stopped);
    }
    EXPECT_EQ(sim::threadCounts().running, 0u);
}

} // namespace
} // namespace appfocus
