// The remote-keys monitor: client matching, the timer step and the hook
// procedure run step by step on a hand-set clock, then the thread itself
// (start, stop, a thread that does not answer) on the real clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "remote_keys.h"
#include "sim.h"
#include "sim_hooks.h"

using namespace keywatch;

namespace {

typedef std::chrono::steady_clock Clock;

constexpr uint32_t vkLControl = 0xA2, vkRShift = 0xA1, vkLShift = 0xA0, vkA = 0x41;

int32_t indexOf(const char16_t * text) {
    uint16_t path[imagePathUnits] = {0};
    for (uint32_t i = 0; text[i] != 0; i++) {
        path[i] = (uint16_t) text[i];
    }
    return remoteClientIndex(path);
}

WindowHandle window(uintptr_t n) { return reinterpret_cast<WindowHandle>(n); }

void front(WindowHandle w, uint32_t pid) {
    SimDesktop * d = simDesktopBegin();
    d->foreground        = w;
    d->foregroundThread  = w != nullptr ? 77 : 0;
    d->foregroundProcess = pid;
    simDesktopEnd();
}

void setTicks(uint64_t ms) {
    SimDesktop * d = simDesktopBegin();
    d->manualTicks = true;
    d->ticks       = ms;
    simDesktopEnd();
}

intptr_t press(uint32_t vkey, uint32_t flags = 0) { return simHookDeliver(0, messageKeyDown, vkey, flags); }
intptr_t release(uint32_t vkey) { return simHookDeliver(0, messageKeyUp, vkey, 0); }

// Process ids survive in the monitor's cache from test to test; every test
// takes fresh ones.
uint32_t freshPid() {
    static uint32_t next = 5000;
    return next += 10;
}

template <typename Condition> bool waitFor(Condition condition, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class MonitorStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        simDesktopReset();
        simHooksReset();
        monitorClear();
        clientPid = freshPid();
        otherPid  = clientPid + 1;
        simProcessSet(clientPid, u"C:\\Windows\\System32\\mstsc.exe");
        simProcessSet(otherPid, u"C:\\Windows\\notepad.exe");
        setTicks(100000);
    }
    void TearDown() override { monitorClear(); }

    void stepAt(uint64_t ms) {
        setTicks(ms);
        monitorTimerStep(&step);
    }

    MonitorStep step = {nullptr, 0, 0};
    uint32_t    clientPid = 0, otherPid = 0;
};

} // namespace

TEST(RemoteClients, BaseNameMatchesWithExeInAnyCase) {
    EXPECT_EQ(indexOf(u"C:\\Windows\\System32\\mstsc.exe"), 0);
    EXPECT_EQ(indexOf(u"D:\\tools\\MSTSC.EXE"), 0);
    EXPECT_EQ(indexOf(u"Mstsc.Exe"), 0);
    EXPECT_EQ(indexOf(u"C:\\Program Files\\Remote Desktop\\msrdc.exe"), 1);
    EXPECT_EQ(indexOf(u"C:\\x\\Windows365.exe"), 2);
    EXPECT_EQ(indexOf(u"C:\\x\\CDViewer.exe"), 3);
    EXPECT_EQ(indexOf(u"C:\\Citrix\\wfica32.exe"), 4);

    EXPECT_EQ(indexOf(u"C:\\Windows\\System32\\mstsc2.exe"), -1);
    EXPECT_EQ(indexOf(u"C:\\Windows\\System32\\mstsc"), -1);
    EXPECT_EQ(indexOf(u"C:\\Windows\\System32\\mstsc.com"), -1);
    EXPECT_EQ(indexOf(u"C:\\Windows\\System32\\mstsc.exe.bak"), -1);
    EXPECT_EQ(indexOf(u"C:\\mstsc.exe\\notepad.exe"), -1); // the folder does not count
    EXPECT_EQ(indexOf(u"C:\\x\\xmstsc.exe"), -1);
    EXPECT_EQ(indexOf(u""), -1);
}

TEST_F(MonitorStepTest, ActivatesAndClearsWithinOneStep) {
    front(window(0x10), clientPid);
    stepAt(100000);
    EXPECT_EQ(remoteKeysRead().client, 0);
    EXPECT_STREQ(remoteClientName(remoteKeysRead().client), "mstsc");

    // Right Shift pressed before left Control still reads in table order.
    EXPECT_EQ(press(vkRShift), simHookNextResult);
    EXPECT_EQ(press(vkLControl), simHookNextResult);
    EXPECT_EQ(remoteKeysRead().modifiers, 0x21u);
    EXPECT_FALSE(remoteKeysRead().other);
    press(vkA);
    EXPECT_TRUE(remoteKeysRead().other);
    release(vkA);
    EXPECT_FALSE(remoteKeysRead().other);
    release(vkRShift);
    EXPECT_EQ(remoteKeysRead().modifiers, 0x01u);
    press(vkA);

    // Another application in front: inactive, unhooked and cleared at the next step.
    front(window(0x20), otherPid);
    stepAt(100250);
    RemoteKeysState state = remoteKeysRead();
    EXPECT_EQ(state.client, -1);
    EXPECT_EQ(state.modifiers, 0u);
    EXPECT_FALSE(state.other);
    EXPECT_EQ(simHooksInstalled(), 0u);

    // Back in the client, nothing of the old keys is left.
    front(window(0x10), clientPid);
    stepAt(100500);
    state = remoteKeysRead();
    EXPECT_EQ(state.client, 0);
    EXPECT_EQ(state.modifiers, 0u);
    EXPECT_FALSE(state.other);
}

TEST_F(MonitorStepTest, NoForegroundOrNoOwnerIsNoClient) {
    front(window(0x10), clientPid);
    stepAt(100000);
    ASSERT_EQ(remoteKeysRead().client, 0);
    front(nullptr, 0);
    stepAt(100250);
    EXPECT_EQ(remoteKeysRead().client, -1);
    EXPECT_EQ(simHooksInstalled(), 0u);

    front(window(0x10), clientPid);
    stepAt(100500);
    ASSERT_EQ(remoteKeysRead().client, 0);
    front(window(0x10), 0); // the window's owner reads as process 0
    stepAt(100750);
    EXPECT_EQ(remoteKeysRead().client, -1);
}

TEST_F(MonitorStepTest, InstallScheduleKeepsTheTwoNewestHooks) {
    front(window(0x10), clientPid);
    const uint64_t t0 = 100000;
    PlatformHandle before[2], after[2];
    uint32_t rotations = 0;
    for (uint64_t t = t0; t < t0 + 5000; t += 250) {
        monitorHookSlots(before);
        const uint32_t installs = simHookInstalls();
        stepAt(t);
        monitorHookSlots(after);
        if (simHookInstalls() != installs) {
            EXPECT_NE(after[0], before[0]);
            EXPECT_EQ(after[1], before[0]); // the previous newest moves down
            rotations++;
        } else {
            EXPECT_EQ(after[0], before[0]);
            EXPECT_EQ(after[1], before[1]);
        }
        EXPECT_LE(simHooksInstalled(), 2u);
        EXPECT_EQ(remoteKeysRead().client, 0);
    }
    // Every step for the first 2000 ms (8), then at +2750, +3750, +4750.
    EXPECT_EQ(rotations, 11u);
    EXPECT_EQ(simHookInstalls(), 11u);
    EXPECT_EQ(simHookRemovals(), 9u);
    EXPECT_EQ(simHooksInstalled(), 2u);

    // Another window of the same client restarts the eager period.
    front(window(0x11), clientPid);
    for (uint64_t t = t0 + 5000; t < t0 + 7000; t += 250) {
        stepAt(t);
    }
    EXPECT_EQ(simHookInstalls(), 19u);
    EXPECT_EQ(simHooksInstalled(), 2u);
}

TEST_F(MonitorStepTest, FailedInstallsKeepWhatIsThere) {
    front(window(0x10), clientPid);
    simHookInstallFails(true);
    stepAt(100000);
    EXPECT_EQ(remoteKeysRead().client, -1); // no hook, no activity
    simHookInstallFails(false);
    stepAt(100250);
    EXPECT_EQ(remoteKeysRead().client, 0);

    PlatformHandle slots[2];
    monitorHookSlots(slots);
    const PlatformHandle held = slots[0];
    simHookInstallFails(true);
    stepAt(100500);
    monitorHookSlots(slots);
    EXPECT_EQ(slots[0], held);
    EXPECT_EQ(remoteKeysRead().client, 0);
}

TEST_F(MonitorStepTest, HookRecordsOnlyPhysicalActionEvents) {
    front(window(0x10), clientPid);
    stepAt(100000);
    const uint32_t passed = simHookPassedOn();

    EXPECT_EQ(press(vkLShift, lowLevelInjected), simHookNextResult); // typed by sendKeys
    EXPECT_EQ(press(vkA, lowLevelInjected | 0x01), simHookNextResult);
    EXPECT_EQ(simHookDeliver(3, messageKeyDown, vkLShift, 0), simHookNextResult); // not HC_ACTION
    EXPECT_EQ(press(0x1A2), simHookNextResult); // beyond the key range
    RemoteKeysState state = remoteKeysRead();
    EXPECT_EQ(state.modifiers, 0u);
    EXPECT_FALSE(state.other);

    // System key messages count; any other message is a release.
    simHookDeliver(0, messageSysKeyDown, 0xA4, 0);
    simHookDeliver(0, messageSysKeyDown, 0xFF, 0);
    state = remoteKeysRead();
    EXPECT_EQ(state.modifiers, 0x04u);
    EXPECT_TRUE(state.other);
    simHookDeliver(0, messageSysKeyUp, 0xA4, 0);
    simHookDeliver(0, 0x0999, 0xFF, 0);
    state = remoteKeysRead();
    EXPECT_EQ(state.modifiers, 0u);
    EXPECT_FALSE(state.other);

    EXPECT_EQ(simHookPassedOn(), passed + 8); // every event passed on
}

TEST_F(MonitorStepTest, ProcessImageReadOnlyWhenThePidChanges) {
    front(window(0x10), clientPid);
    const uint32_t lookups = simProcessLookups();
    for (uint64_t t = 100000; t < 101000; t += 250) {
        stepAt(t);
    }
    EXPECT_EQ(simProcessLookups(), lookups + 1);

    // An unreadable process is not asked again while it stays in front.
    const uint32_t hidden = otherPid + 2;
    simProcessSet(hidden, nullptr);
    front(window(0x30), hidden);
    stepAt(101000);
    stepAt(101250);
    EXPECT_EQ(remoteKeysRead().client, -1);
    EXPECT_EQ(simProcessLookups(), lookups + 2);

    // A change of process asks again, also for one seen before.
    front(window(0x10), clientPid);
    stepAt(101500);
    EXPECT_EQ(remoteKeysRead().client, 0);
    EXPECT_EQ(simProcessLookups(), lookups + 3);
}

// ---- The thread -----------------------------------------------------------------

class MonitorThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        simDesktopReset(); // real ticks
        simHooksReset();
        clientPid = freshPid();
        simProcessSet(clientPid, u"C:\\Windows\\System32\\mstsc.exe");
        simProcessSet(clientPid + 1, u"C:\\Windows\\System32\\mstsc.exe");
    }
    void TearDown() override {
        simProcessStall(false);
        remoteKeysStop();
    }
    uint32_t clientPid = 0;
};

TEST_F(MonitorThreadTest, StartTwiceRunsOneThreadAndStopEndsIt) {
    front(window(0x10), clientPid);
    remoteKeysStart();
    const uint32_t id = monitorThreadIdHeld();
    EXPECT_NE(id, 0u);
    remoteKeysStart();
    EXPECT_EQ(monitorThreadIdHeld(), id);
    // A second thread would install its own hooks beside the first one's.
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }, 600));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(simHookInstalls(), simHookRemovals() + simHooksInstalled());
    EXPECT_LE(simHooksInstalled(), 2u);

    const auto started = Clock::now();
    remoteKeysStop();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(monitorThreadIdHeld(), 0u);
    EXPECT_EQ(simHooksInstalled(), 0u); // the thread unhooked on its way out
    EXPECT_EQ(remoteKeysRead().client, -1);
}

TEST_F(MonitorThreadTest, StopWithoutStartDoesNothing) {
    const auto started = Clock::now();
    remoteKeysStop();
    remoteKeysStop();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_EQ(monitorThreadIdHeld(), 0u);
}

TEST_F(MonitorThreadTest, FollowsTheForegroundOnItsTimer) {
    front(window(0x10), clientPid);
    remoteKeysStart();
    // One timer step (250 ms) and some slack for a loaded machine.
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }, 600));
    press(vkLControl);
    EXPECT_EQ(remoteKeysRead().modifiers, 0x01u);

    front(window(0x20), clientPid + 100); // unknown process: no client
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == -1; }, 600));
    EXPECT_TRUE(waitFor([] { return simHooksInstalled() == 0; }, 100));

    front(window(0x10), clientPid);
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }, 600));
    EXPECT_EQ(remoteKeysRead().modifiers, 0u);
}

TEST_F(MonitorThreadTest, StopGivesUpOnAThreadThatDoesNotAnswer) {
    front(window(0x10), clientPid);
    remoteKeysStart();
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }, 600));
    const uint32_t stranded = monitorThreadIdHeld();

    // Another client process in front; the thread hangs reading its image,
    // and its queue fills up so that every quit post fails.
    simProcessStall(true);
    front(window(0x11), clientPid + 1);
    ASSERT_TRUE(waitFor([] { return simProcessParked() == 1; }, 600));
    for (int i = 0; i < 100000 && threadMessagePost(stranded, messageUser, 0, 0); i++) {
    }

    const auto started = Clock::now();
    remoteKeysStop();
    const auto took = Clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(2400)); // 50 posts 10 ms apart, then 2000 ms
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_EQ(monitorThreadIdHeld(), 0u); // the handle is gone

    // Let the stranded thread go and end it; it unhooks on its way out.
    simProcessStall(false);
    ASSERT_TRUE(waitFor([&] { return threadMessagePost(stranded, monitorQuitMessage, 0, 0); }, 2000));
    EXPECT_TRUE(waitFor([] { return simHooksInstalled() == 0; }, 2000));
}
