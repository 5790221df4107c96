// The remote-keys monitor stepped on a hand-set clock, then its thread on the real clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "remote_keys.h"
#include "sim_hooks.h"
#include "worker_driver.h"

using namespace keywatch;

namespace {

typedef std::chrono::steady_clock Clock;

WindowHandle window(uintptr_t n) { return reinterpret_cast<WindowHandle>(n); }

void front(WindowHandle w, uint32_t pid) {
    onDesktop([&](SimDesktop * d) { d->foreground = w, d->foregroundThread = w ? 77 : 0, d->foregroundProcess = pid; });
}

intptr_t press(uint32_t vkey, uint32_t flags = 0) { return simHookDeliver(0, messageKeyDown, vkey, flags); }

// The monitor's image cache outlives a test: each test takes fresh process ids.
uint32_t freshPid() {
    static uint32_t next = 5000;
    return next += 10;
}

template <typename Condition>
bool waitFor(Condition condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(20); // a loaded machine is slow
    bool       met      = condition();
    for (; !met && Clock::now() < deadline; met = condition()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return met;
}

struct Monitor : ::testing::Test {
    void SetUp() override {
        simDesktopReset();
        simHooksReset();
        monitorClear();
        clientPid = freshPid();
        simProcessSet(clientPid, u"C:\\Windows\\System32\\mstsc.exe");
        simProcessSet(clientPid + 1, u"C:\\Windows\\notepad.exe");
        simProcessSet(clientPid + 2, u"C:\\Windows\\System32\\mstsc.exe");
    }
    void TearDown() override {
        simProcessStall(false);
        remoteKeysStop();
    }
    void stepAt(uint64_t ms) {
        onDesktop([&](SimDesktop * d) { d->manualTicks = true, d->ticks = ms; });
        monitorTimerStep(&step);
    }
    MonitorStep step      = {nullptr, 0, 0};
    uint32_t    clientPid = 0;
};

} // namespace

TEST(RemoteClients, BaseNameMatchesWithExeInAnyCase) {
    const struct {
        const char16_t * path;
        int32_t          index;
    } cases[] = {
        {u"C:\\Windows\\System32\\mstsc.exe", 0},
        {u"D:\\tools\\MSTSC.EXE", 0},
        {u"C:\\Citrix\\WFica32.exe", 4},
        {u"C:\\x\\mstsc2.exe", -1},
        {u"C:\\x\\mstsc", -1},
        {u"C:\\x\\xmstsc.exe", -1},
        {u"C:\\x\\mst.exe", -1}, // a client's name begins with it
    };
    for (const auto & c : cases) {
        uint16_t path[imagePathUnits] = {0};
        for (uint32_t i = 0; c.path[i] != 0; i++) {
            path[i] = (uint16_t) c.path[i];
        }
        EXPECT_EQ(remoteClientIndex(path), c.index) << c.index;
    }
}

TEST_F(Monitor, HookIsRenewedEveryStepFor2sThenEverySecondKeepingTheTwoNewest) {
    front(window(0x10), clientPid);
    PlatformHandle before[2], after[2];
    for (uint64_t t = 100000; t < 105000; t += 250) {
        monitorHookSlots(before);
        stepAt(t);
        monitorHookSlots(after);
        if (after[0] != before[0]) {
            EXPECT_EQ(after[1], before[0]); // the previous newest moves down
        }
        EXPECT_LE(simHooksInstalled(), 2u);
    }
    // Every step for the first 2000 ms (8), then at +2750, +3750, +4750.
    EXPECT_EQ(simHookInstalls(), 11u);
    EXPECT_EQ(simHookRemovals(), 9u);
    front(window(0x11), clientPid); // another window of the client restarts the eager period
    for (uint64_t t = 105000; t < 107000; t += 250) {
        stepAt(t);
    }
    EXPECT_EQ(simHookInstalls(), 19u);

    simHookInstallFails(true);
    monitorHookSlots(before);
    stepAt(107000);
    monitorHookSlots(after);
    EXPECT_EQ(after[0], before[0]) << "a failed install keeps what is there";
    EXPECT_EQ(remoteKeysRead().client, 0);
    monitorClear();
    stepAt(107250);
    EXPECT_EQ(remoteKeysRead().client, -1) << "no hook, no activity";
}

// Physical action events only, all passed on; anything but a client in front clears state and hook in a step.
TEST_F(Monitor, HookRecordsWhileAClientIsInFront) {
    front(window(0x10), clientPid);
    stepAt(100000);
    const uint32_t passed = simHookPassedOn();
    press(0xA0, lowLevelInjected);              // typed by sendKeys
    simHookDeliver(3, messageKeyDown, 0xA0, 0); // not an action
    press(0x1A2);                               // beyond the key range
    EXPECT_FALSE(remoteKeysRead().other);
    EXPECT_EQ(press(0xA1), simHookNextResult); // right Shift before left Control
    simHookDeliver(0, messageSysKeyDown, 0xA2, 0);
    simHookDeliver(0, messageSysKeyDown, 0xFF, 0);
    EXPECT_EQ(remoteKeysRead().modifiers, 0x21u); // table order
    EXPECT_TRUE(remoteKeysRead().other);
    simHookDeliver(0, messageSysKeyUp, 0xA2, 0);
    simHookDeliver(0, messageKeyUp, 0xA1, 0);
    simHookDeliver(0, 0x0999, 0xFF, 0); // any other message is a release
    EXPECT_EQ(remoteKeysRead().modifiers, 0u);
    EXPECT_FALSE(remoteKeysRead().other);
    EXPECT_EQ(simHookPassedOn(), passed + 9);
    // Keys held as the client leaves are released elsewhere, unseen: none shows as held on its return.
    const struct {
        WindowHandle window;
        uint32_t     pid;
    } elsewhere[] = {{window(0x20), clientPid + 1}, {nullptr, 0}, {window(0x10), 0}};
    uint64_t t    = 100000;
    for (const auto & other : elsewhere) {
        press(0xA2);
        press(0x41);
        front(other.window, other.pid);
        stepAt(t += 250);
        EXPECT_EQ(remoteKeysRead().client, -1);
        EXPECT_EQ(simHooksInstalled(), 0u);
        front(window(0x10), clientPid);
        stepAt(t += 250);
        ASSERT_EQ(remoteKeysRead().client, 0);
        EXPECT_EQ(remoteKeysRead().modifiers, 0u);
        EXPECT_FALSE(remoteKeysRead().other);
    }
}

TEST_F(Monitor, ProcessImageIsReadOnlyWhenThePidChanges) {
    front(window(0x10), clientPid);
    const uint32_t lookups = simProcessLookups();
    for (uint64_t t = 100000; t < 101000; t += 250) {
        stepAt(t);
    }
    EXPECT_EQ(simProcessLookups(), lookups + 1);
    simProcessSet(clientPid + 3, nullptr); // cannot be read: not asked again while in front
    front(window(0x30), clientPid + 3);
    stepAt(101000);
    stepAt(101250);
    EXPECT_EQ(simProcessLookups(), lookups + 2);
    front(window(0x10), clientPid);
    stepAt(101500);
    EXPECT_EQ(remoteKeysRead().client, 0);
    EXPECT_EQ(simProcessLookups(), lookups + 3);
}

TEST_F(Monitor, ThreadFollowsTheForegroundAndStopEndsItOrGivesUpOnIt) {
    simDesktopReset(); // real ticks
    remoteKeysStop();  // without a start: nothing
    front(window(0x10), clientPid);
    remoteKeysStart();
    const uint32_t id = monitorThreadIdHeld();
    remoteKeysStart();
    EXPECT_EQ(monitorThreadIdHeld(), id) << "one thread";
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }));
    front(window(0x20), clientPid + 1);
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == -1; }));
    front(window(0x10), clientPid);
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }));
    remoteKeysStop();
    EXPECT_EQ(monitorThreadIdHeld(), 0u);
    EXPECT_EQ(simHooksInstalled(), 0u) << "the thread unhooked on its way out";

    remoteKeysStart();
    ASSERT_TRUE(waitFor([] { return remoteKeysRead().client == 0; }));
    const uint32_t stranded = monitorThreadIdHeld();
    // The thread hangs reading another client's image, with a queue too full for a quit.
    simProcessStall(true);
    front(window(0x11), clientPid + 2);
    ASSERT_TRUE(waitFor([] { return simProcessParked() == 1; }));
    for (int i = 0; i < 100000 && threadMessagePost(stranded, messageUser, 0, 0); i++) {
    }
    const auto started = Clock::now();
    remoteKeysStop();
    const auto took = Clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(2400)); // 50 posts 10 ms apart, then 2000 ms
    EXPECT_LT(took, std::chrono::milliseconds(8000));
    EXPECT_EQ(monitorThreadIdHeld(), 0u);
    simProcessStall(false);
    ASSERT_TRUE(waitFor([&] { return threadMessagePost(stranded, monitorQuitMessage, 0, 0); }));
    EXPECT_TRUE(waitFor([] { return simHooksInstalled() == 0; }));
}
