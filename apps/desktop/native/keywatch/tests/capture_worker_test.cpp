// The capture worker, its poll and its input handler, run step by step on
// the test thread with both clocks set by hand.
#include <gtest/gtest.h>

#include <string.h>

#include "failures.h"
#include "send_keys.h"
#include "worker_driver.h"

using namespace keywatch;

namespace {

struct CaptureWorker : ::testing::Test {
    WorkerDriver w;
    void TearDown() override { w.finish(); }

    const char * lastReason() {
        const DrainCopy & c = w.drain();
        return c.frameCount > 0 ? c.frames[0].reason : nullptr;
    }
};

void expectFailure(const char * expected, const char * actual) {
    if (expected == nullptr) {
        EXPECT_EQ(actual, nullptr);
    } else {
        ASSERT_NE(actual, nullptr) << "expected " << expected;
        EXPECT_STREQ(actual, expected);
    }
}

} // namespace

TEST_F(CaptureWorker, ArmsAfterTwoNeutralSamplingsThenQueuesModifierChanges) {
    w.begin();
    ASSERT_TRUE(w.looping);
    const uint64_t startEpoch = w.state->epoch;
    w.advance(25.0);
    w.step(); // first neutral sampling
    w.advance(24.0);
    w.step(); // too soon for a sampling
    EXPECT_FALSE(w.armed());
    w.advance(1.0);
    w.step(); // 25 ms after the first sampling
    ASSERT_TRUE(w.armed());
    expectFailure(nullptr, w.failure());
    const DrainCopy & armedCopy = w.drain();
    EXPECT_EQ(armedCopy.epoch, startEpoch + 1);
    ASSERT_EQ(armedCopy.frameCount, 2u);
    EXPECT_EQ(armedCopy.frames[0].kind, (uint32_t) frameReset);
    EXPECT_STREQ(armedCopy.frames[0].reason, "backend");
    EXPECT_EQ(armedCopy.frames[1].kind, (uint32_t) frameSnapshot);
    EXPECT_EQ(armedCopy.frames[1].heldMask, 0);
    EXPECT_EQ(armedCopy.frames[1].otherInput, 0);
    // The arming time is the tick count mapped 32 ms back.
    EXPECT_DOUBLE_EQ(armedCopy.frames[1].sourceMs, w.nowMs - 32.0);

    w.advance(5.0);
    ASSERT_TRUE(w.key(0x1D, 0, 0xA2));      // left Control down
    ASSERT_TRUE(w.key(0x1E, 0, 0x41));      // A down
    ASSERT_TRUE(w.key(0x1E, 1, 0x41));      // A up
    ASSERT_TRUE(w.key(0x1D, 1, 0xA2, 0));   // left Control up
    w.step();
    const DrainCopy & c = w.drain();
    ASSERT_EQ(c.frameCount, 4u);
    const uint8_t keys[4]  = {KeyLeftControl, KeyOther, KeyOther, KeyLeftControl};
    const uint8_t downs[4] = {1, 1, 0, 0};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(c.frames[i].kind, (uint32_t) frameEvent);
        EXPECT_EQ(c.frames[i].sequence, (uint64_t) (3 + i));
        EXPECT_EQ(c.frames[i].keyId, keys[i]);
        EXPECT_EQ(c.frames[i].down, downs[i]);
        EXPECT_DOUBLE_EQ(c.frames[i].sourceMs, w.nowMs - 32.0);
    }
    EXPECT_TRUE(w.armed());
}

TEST_F(CaptureWorker, HeldKeyDelaysArmingAndMismatchDisarmsUntilReleased) {
    w.begin();
    w.setKeyDown(0x41, true);
    EXPECT_FALSE(w.arm());
    expectFailure("awaiting-neutral", w.failure());
    w.setKeyDown(0x41, false);
    w.advance(25.0);
    w.step(); // first neutral sampling after the release
    EXPECT_FALSE(w.armed());
    w.advance(25.0);
    w.step();
    ASSERT_TRUE(w.armed());

    // A press that raw input never delivered.
    w.setKeyDown(0xA0, true);
    w.advance(25.0);
    w.step(); // the disagreement is seen
    w.advance(24.0);
    w.step(); // too soon for a sampling
    EXPECT_TRUE(w.armed());
    w.advance(1.0);
    w.step(); // the same disagreement 25 ms later
    EXPECT_FALSE(w.armed());
    expectFailure("polling-mismatch", w.failure());
    EXPECT_STREQ(lastReason(), "incomplete");
    EXPECT_FALSE(w.arm());
    w.setKeyDown(0xA0, false);
    EXPECT_TRUE(w.arm());
}

TEST_F(CaptureWorker, RecordBeforeTheFirstGoodPollIsStale) {
    w.begin();
    ASSERT_TRUE(w.key(0x1E, 0, 0x41));
    w.setKeyDown(0x41, false);
    w.step();
    expectFailure("input-availability-stale", w.failure());
    EXPECT_STREQ(lastReason(), "session");
    EXPECT_TRUE(w.arm()); // the rule for arming is unchanged
}

TEST_F(CaptureWorker, MessageTimesAreBoundedByAgeArmingAndWrapAround) {
    w.begin();
    ASSERT_TRUE(w.arm());
    const double armedAt = w.nowMs - 32.0;
    // Generated before the arming, dispatched after.
    w.advance(1.0);
    ASSERT_TRUE(w.key(0x1D, 0, 0xA2, 5));
    w.step();
    expectFailure("message-time-invalid", w.failure());
    EXPECT_STREQ(lastReason(), "stale");
    w.setKeyDown(0xA2, false);

    ASSERT_TRUE(w.arm());
    w.run_for(2000.0); // polls keep the clock continuous
    ASSERT_TRUE(w.armed());
    const uint64_t epoch = w.state->epoch;
    w.drain();
    ASSERT_TRUE(w.key(0x1D, 0, 0xA2, 2000)); // exactly 2000 ms old: accepted
    w.step();
    ASSERT_TRUE(w.armed());
    const DrainCopy & c = w.drain();
    ASSERT_EQ(c.frameCount, 1u);
    EXPECT_EQ(c.epoch, epoch);
    EXPECT_DOUBLE_EQ(c.frames[0].sourceMs, w.nowMs - 2000.0 - 32.0);
    EXPECT_GT(c.frames[0].sourceMs, armedAt);
    w.setKeyDown(0xA2, false);
    w.advance(1.0);
    ASSERT_TRUE(w.key(0x1D, 1, 0xA2, 2001));
    w.step();
    expectFailure("message-time-invalid", w.failure());
}

TEST_F(CaptureWorker, MessageTimeWrapsAroundThe32BitTick) {
    w.startTicks = 0xFFFFFF00u;
    w.begin();
    ASSERT_TRUE(w.arm());
    w.run_for(300.0);
    ASSERT_GT(w.ticks, 0xFFFFFFFFull);
    w.drain();
    ASSERT_TRUE(w.key(0x1D, 0, 0xA2, 100)); // its 32-bit time is before the wrap
    w.step();
    ASSERT_TRUE(w.armed());
    const DrainCopy & c = w.drain();
    ASSERT_EQ(c.frameCount, 1u);
    EXPECT_DOUBLE_EQ(c.frames[0].sourceMs, w.nowMs - 100.0 - 32.0);
}

TEST_F(CaptureWorker, ClockDriftDisarms) {
    w.begin();
    ASSERT_TRUE(w.arm());
    w.nowMs += 40.0; // module clock jumps ahead of the tick count
    w.advance(25.0);
    w.step();
    expectFailure("message-clock-discontinuity", w.failure());
    EXPECT_STREQ(lastReason(), "stale");
    EXPECT_TRUE(w.arm()); // calibrated afresh
}

TEST_F(CaptureWorker, EnvironmentChangesDisarmOnceAndReArm) {
    w.begin();
    ASSERT_TRUE(w.arm());
    SimDesktop * d = simDesktopBegin();
    d->layout = 0x04070407;
    simDesktopEnd();
    w.advance(25.0);
    w.step();
    expectFailure("keyboard-layout-ambiguous", w.failure());
    EXPECT_STREQ(lastReason(), "session");
    const uint64_t epoch = w.state->epoch;
    w.run_for(100.0);
    EXPECT_EQ(w.state->epoch, epoch) << "a standing failure costs one epoch";
    d = simDesktopBegin();
    d->layout = 0x04090409;
    simDesktopEnd();
    ASSERT_TRUE(w.arm());

    // A secure desktop takes the input.
    d = simDesktopBegin();
    memcpy(d->inputDesktopName, u"Winlogon", sizeof(u"Winlogon"));
    simDesktopEnd();
    w.advance(25.0);
    w.step();
    expectFailure("input-desktop-unavailable", w.failure());
    simDesktopBegin()->remoteSession = true;
    simDesktopEnd();
    w.advance(25.0);
    w.step();
    expectFailure("remote-session-unsupported", w.failure());
}

TEST_F(CaptureWorker, LockAndUnlockGoThroughSessionFailures) {
    w.begin();
    ASSERT_TRUE(w.arm());
    ASSERT_TRUE(simPostMessage(w.window(), messageSessionChange, 7, 0)); // lock
    w.step();
    expectFailure("session-changed", w.failure());
    EXPECT_STREQ(lastReason(), "session");
    w.advance(25.0);
    w.step();
    expectFailure("session-inactive", w.failure());
    EXPECT_FALSE(w.arm());
    ASSERT_TRUE(simPostMessage(w.window(), messageSessionChange, 8, 0)); // unlock
    w.step();
    expectFailure("session-changed", w.failure());
    EXPECT_TRUE(w.arm());
}

TEST_F(CaptureWorker, DeviceNoticesReplaceTheFailureOnce) {
    w.begin();
    const uint64_t epoch = w.state->epoch;
    ASSERT_TRUE(simPostMessage(w.window(), messageInputDeviceChange, 1, 0));
    w.step();
    expectFailure("device-arrived", w.failure());
    ASSERT_TRUE(simPostMessage(w.window(), messageInputDeviceChange, 1, 0));
    w.step();
    EXPECT_EQ(w.state->epoch, epoch + 1);
    ASSERT_TRUE(simPostMessage(w.window(), messageInputDeviceChange, 2, 0));
    w.step();
    expectFailure("device-removed", w.failure());
    EXPECT_STREQ(lastReason(), "incomplete");
}

TEST_F(CaptureWorker, PointerRecords) {
    w.begin();
    ASSERT_TRUE(w.arm());
    w.drain();
    w.advance(1.0);
    ASSERT_TRUE(simPostRawMouse(w.window(), 7, 0x0000, (uint32_t) w.ticks)); // movement only
    ASSERT_TRUE(simPostRawMouse(w.window(), 7, 0x0001, (uint32_t) w.ticks)); // left down
    ASSERT_TRUE(simPostRawMouse(w.window(), 7, 0x0002, (uint32_t) w.ticks)); // left up
    w.step();
    const DrainCopy & c = w.drain();
    ASSERT_EQ(c.frameCount, 2u);
    EXPECT_EQ(c.frames[0].keyId, KeyOther);
    EXPECT_EQ(c.frames[0].down, 1);
    EXPECT_EQ(c.frames[1].down, 0);
    ASSERT_TRUE(simPostRawMouse(w.window(), 7, 0x0030, (uint32_t) w.ticks)); // button 2 down and up
    w.step();
    expectFailure("mouse-transition-ambiguous", w.failure());
}

TEST_F(CaptureWorker, InjectedKeysHaveNoDeviceAndDisarm) {
    // Windows delivers sendKeys' own keystrokes as raw input without a device
    // handle, so a capture that is armed refuses them.
    w.begin();
    ASSERT_TRUE(w.arm());
    EXPECT_EQ(sendCommand("paste", 5), sendSent);
    w.step();
    expectFailure("raw-device-ambiguous", w.failure());
    EXPECT_STREQ(lastReason(), "incomplete");
}

TEST_F(CaptureWorker, MalformedRecordsDisarmWithTheirFailure) {
    struct Case {
        const char * failure;
        uint32_t     type;
        uint32_t     size;
        uint32_t     message;
    } cases[] = {
        {"raw-keyboard-message", 1, 40, messageKeyUp}, // a press sent as a key-up
        {"raw-keyboard-size", 1, 39, messageKeyDown},
        {"raw-mouse-size", 0, 47, 0},
        {"raw-type-unsupported", 2, 40, 0},
        {"raw-input-read", 1, 23, messageKeyDown},
    };
    for (const Case & k : cases) {
        w.begin();
        ASSERT_TRUE(w.arm()) << k.failure;
        uint8_t record[48] = {0};
        memcpy(record, &k.type, 4);
        record[24] = 0x1E;
        record[30] = 0x41;
        memcpy(record + 32, &k.message, 4);
        record[28] = 0x01; // a button, for the mouse case
        ASSERT_TRUE(simPostRawRecord(w.window(), record, k.size, (uint32_t) w.ticks));
        w.step();
        expectFailure(k.failure, w.failure());
        w.finish();
    }
}

TEST_F(CaptureWorker, QuitAndStopsEndTheWorkerWithTheRightFinalFailure) {
    // WM_QUIT, armed: like a stop, failure null, final reset "shutdown".
    w.begin();
    ASSERT_TRUE(w.arm());
    ASSERT_TRUE(threadMessagePost(currentThreadId(), messageQuit, 0, 0));
    EXPECT_FALSE(w.step());
    w.tearDown();
    expectFailure(nullptr, w.failure());
    EXPECT_STREQ(lastReason(), "shutdown");
    EXPECT_FALSE(w.state->running);
    w.finish();

    // Stop while waiting for a neutral keyboard: null.
    w.begin();
    eventSet(w.state->stopEvent);
    EXPECT_FALSE(w.step());
    w.tearDown();
    expectFailure(nullptr, w.failure());
    w.finish();
    SimDesktop * d = simDesktopBegin();
    EXPECT_EQ(d->registrationCount, 0u);
    EXPECT_EQ(d->sessionRegistrations, 0u);
    simDesktopEnd();

    // Stop while disarmed by something else: kept.
    w.begin();
    ASSERT_TRUE(simPostMessage(w.window(), messageInputDeviceChange, 2, 0));
    w.step();
    eventSet(w.state->stopEvent);
    EXPECT_FALSE(w.step());
    w.tearDown();
    expectFailure("device-removed", w.failure());
    w.finish();
}

TEST_F(CaptureWorker, OwnershipIsCheckedAtSetUpAndByThePoll) {
    static const RawInputRegistration other = {1, 6, 0x2100, reinterpret_cast<WindowHandle>(0x9990)};
    w.begin([](SimDesktop * d) {
        d->registrations[0]    = other;
        d->registrationCount   = 1;
    });
    EXPECT_FALSE(w.looping);
    expectFailure("raw-input-already-owned", w.failure());
    EXPECT_STREQ(lastReason(), "backend");
    w.tearDown();
    SimDesktop * d = simDesktopBegin();
    ASSERT_EQ(d->registrationCount, 1u);
    EXPECT_EQ(d->registrations[0].target, other.target) << "the other receiver is left alone";
    simDesktopEnd();
    w.finish();

    w.begin();
    ASSERT_TRUE(w.arm());
    d = simDesktopBegin();
    for (uint32_t i = 0; i < d->registrationCount; i++) {
        if (d->registrations[i].usage == 6) {
            d->registrations[i].target = other.target;
        }
    }
    simDesktopEnd();
    w.advance(25.0);
    w.step();
    expectFailure("raw-input-ownership-lost", w.failure());
    EXPECT_FALSE(w.step()) << "the poll stops the worker";
    w.tearDown();
    expectFailure("raw-input-ownership-lost", w.failure());
    d = simDesktopBegin();
    ASSERT_EQ(d->registrationCount, 1u) << "only the mouse record pointed at us";
    EXPECT_EQ(d->registrations[0].usage, 6);
    simDesktopEnd();
    w.finish();
}

TEST_F(CaptureWorker, EverySetUpAndTeardownFailureIsNamed) {
    struct Case {
        const char * failure;
        uint32_t     setUpCalls;   // fail during set-up
        bool         readFails;    // registrations unreadable at set-up
        uint32_t     teardownCalls;
        bool         teardownReadFails;
    } cases[] = {
        {"window-class-register", 1u << simClassRegister, false, 0, false},
        {"message-window-create", 1u << simWindowCreate, false, 0, false},
        {"raw-owner-inspection", 0, true, 0, false},
        {"raw-registration", 1u << simRawRegister, false, 0, false},
        {"session-notification-register", 1u << simSessionRegister, false, 0, false},
        {"session-notification-remove", 0, false, 1u << simSessionUnregister, false},
        {"raw-owner-inspection", 0, false, 0, true},
        {"raw-unregistration", 0, false, 1u << simRawUnregister, false},
        {"message-window-destroy", 0, false, 1u << simWindowDestroy, false},
        {"window-class-unregister", 0, false, 1u << simClassUnregister, false},
        // The last failing teardown step wins.
        {"window-class-unregister", 0, false, (1u << simSessionUnregister) | (1u << simClassUnregister), false},
        {"message-wait", 0, false, 0, false},
    };
    for (const Case & k : cases) {
        SCOPED_TRACE(k.failure);
        static Case current;
        current = k;
        w.begin([](SimDesktop * d) {
            d->failing              = current.setUpCalls;
            d->registrationReadFails = current.readFails;
        });
        const bool setUpFails = k.setUpCalls != 0 || k.readFails;
        EXPECT_EQ(w.looping, !setUpFails);
        EXPECT_EQ(w.state->running != 0, !setUpFails);
        if (setUpFails) {
            expectFailure(k.failure, w.failure());
            EXPECT_STREQ(lastReason(), "backend");
        }
        SimDesktop * d = simDesktopBegin();
        d->failing               = k.teardownCalls;
        d->registrationReadFails = k.teardownReadFails;
        if (strcmp(k.failure, "message-wait") == 0) {
            d->failing = 1u << simMessageWait;
        }
        simDesktopEnd();
        if (!setUpFails) {
            if (strcmp(k.failure, "message-wait") != 0) {
                eventSet(w.state->stopEvent);
            }
            EXPECT_FALSE(w.step());
        }
        w.tearDown();
        expectFailure(k.failure, w.failure());
        EXPECT_STREQ(lastReason(), "shutdown");
        d = simDesktopBegin();
        d->failing = 0;
        d->registrationReadFails = false;
        d->registrationCount = 0;
        simDesktopEnd();
        w.finish();
    }
}
