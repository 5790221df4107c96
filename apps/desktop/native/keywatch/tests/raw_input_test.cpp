// The raw input handler, fed records through the worker's window on the simulated desktop.
#include <gtest/gtest.h>

#include <string.h>

#include "worker_driver.h"

using namespace keywatch;

using InputHandler = WorkerTest;

TEST_F(InputHandler, MovementAndWheelRecordsChangeNothingAndKeysRestartTheNeutralWatch) {
    ASSERT_TRUE(w.button(0x0000)); // before any sampling: would be stale
    ASSERT_TRUE(w.button(0x0400)); // a wheel turn
    w.step();
    EXPECT_STREQ("awaiting-neutral", w.failure());
    w.sample();
    ASSERT_TRUE(w.button(0x0000)); // between the two neutral samplings
    w.step();
    w.sample();
    EXPECT_TRUE(w.armed());

    w.restart();
    w.sample();
    ASSERT_TRUE(w.key(0x1E, 0, 0x41));
    ASSERT_TRUE(w.key(0x1E, 1, 0x41));
    w.step(); // not a sampling: too soon
    w.sample();
    EXPECT_FALSE(w.armed());
    w.sample();
    EXPECT_TRUE(w.armed());
}

TEST_F(InputHandler, RecordsNeedAFitEnvironmentASamplingWithin100msAndAnActiveSession) {
    // Poll.EveryCheck* pins each check; here, that a record runs them before any sampling.
    ASSERT_TRUE(w.arm());
    w.advance(1.0);
    onDesktop([](SimDesktop * d) { d->layout = 0x04070407; });
    EXPECT_STREQ("keyboard-layout-ambiguous", w.afterKey(0x1D, 0, 0x11));
    ASSERT_EQ(w.drain().frameCount, 1u);
    EXPECT_STREQ(w.copy.frames[0].reason, "session");
    w.restart();
    for (double sinceSampling : {100.0, 101.0}) {
        ASSERT_TRUE(w.arm());
        w.advance(sinceSampling); // no step: no sampling
        EXPECT_STREQ(sinceSampling <= 100.0 ? nullptr : "input-availability-stale", w.afterKey(0x1D, 0, 0x11));
        w.restart();
    }
    // A record before the first sampling is stale too; arming is unaffected.
    EXPECT_STREQ("input-availability-stale", w.afterKey(0x1E, 0, 0x41));
    w.setKeyDown(0x41, false);
    EXPECT_TRUE(w.arm());
    // So is any record while the session is locked.
    ASSERT_TRUE(w.notice(messageSessionChange, 7));
    EXPECT_STREQ("input-availability-stale", w.afterKey(0x1E, 0, 0x41));
}

TEST_F(InputHandler, MessageTimesAreBoundedByAgeAndArmingAndNeverGoBack) {
    ASSERT_TRUE(w.arm());
    w.advance(1.0);
    EXPECT_STREQ("message-time-invalid", w.afterKey(0x1D, 0, 0x11, 5)); // generated before the arming
    EXPECT_STREQ(w.drain().frames[0].reason, "stale");

    for (uint32_t age : {2000u, 2001u}) {
        w.restart();
        ASSERT_TRUE(w.arm());
        w.runFor(2100.0); // the arming is older than the record, whose 32-bit time is from before the wrap
        w.drain();
        EXPECT_STREQ(age <= 2000 ? nullptr : "message-time-invalid", w.afterKey(0x1D, 0, 0x11, age));
        if (age <= 2000) {
            ASSERT_EQ(w.drain().frameCount, 1u);
            EXPECT_DOUBLE_EQ(w.copy.frames[0].sourceMs, w.nowMs - 2000.0 - 32.0);
        }
    }
    // Frame times never go back.
    w.setKeyDown(0xA2, false);
    ASSERT_TRUE(w.arm());
    w.advance(10.0);
    EXPECT_STREQ(nullptr, w.afterKey(0x1E, 0, 0x41, 2)); // from after the wrap
    EXPECT_STREQ("message-time-invalid", w.afterKey(0x30, 0, 0x42, 5));
}

TEST_F(InputHandler, FiveButtonsAreOtherKeysAndDownWithUpIsAmbiguous) {
    for (uint16_t n = 0; n < 5; n++) {
        ASSERT_TRUE(w.arm());
        w.drain();
        w.advance(1.0);
        ASSERT_TRUE(w.button((uint16_t) (1u << (2 * n))));
        ASSERT_TRUE(w.button((uint16_t) (2u << (2 * n))));
        w.step();
        const DrainCopy & c = w.drain();
        ASSERT_EQ(c.frameCount, 2u) << "button " << n;
        EXPECT_EQ(c.frames[0].keyId, KeyOther);
        EXPECT_EQ(c.frames[0].down - c.frames[1].down, 1);
        ASSERT_TRUE(w.button((uint16_t) (3u << (2 * n))));
        w.step();
        EXPECT_STREQ("mouse-transition-ambiguous", w.failure());
        w.restart();
    }
}

TEST_F(InputHandler, MalformedRecordsDisarmWithTheirFailure) {
    const struct {
        const char * failure;
        uint32_t     type, size, message;
        uint16_t     flags;
    } cases[] = {
        {"raw-keyboard-message", 1, 40, messageKeyUp, 0},      // a press sent as a key-up
        {"raw-keyboard-message", 1, 40, messageSysKeyDown, 1}, // a release sent as a key-down
        {"raw-keyboard-size", 1, 39, messageKeyDown, 0},
        {"raw-mouse-size", 0, 47, 0, 0},
        {"raw-type-unsupported", 2, 40, 0, 0},
        {"raw-input-read", 1, 23, messageKeyDown, 0},
    };
    for (const auto & k : cases) {
        ASSERT_TRUE(w.arm()) << k.failure;
        uint8_t record[48] = {0};
        memcpy(record, &k.type, 4);
        record[24] = 0x1E;
        memcpy(record + 26, &k.flags, 2);
        record[28] = 0x01; // a button, for the mouse case
        record[30] = 0x41;
        memcpy(record + 32, &k.message, 4);
        ASSERT_TRUE(simPostRawRecord(w.window(), record, k.size, (uint32_t) w.ticks));
        w.step();
        EXPECT_STREQ(k.failure, w.failure());
        w.restart();
    }
}
