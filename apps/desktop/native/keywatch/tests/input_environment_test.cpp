// The consistency poll and the message clock, stepped on the simulated desktop.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include "message_clock.h"
#include "module_clock.h"
#include "worker_driver.h"

using namespace keywatch;

using Poll = WorkerTest;

TEST_F(Poll, ArmsAfterTwoNeutralSamplings25msApart) {
    w.sample();
    w.advance(24.0);
    w.step(); // too soon for a sampling
    EXPECT_FALSE(w.armed());
    w.advance(1.0);
    w.step();
    ASSERT_TRUE(w.armed());
    EXPECT_STREQ(nullptr, w.failure());
    const DrainCopy & c = w.drain(); // the arming's epoch and frames: keywatch.node
    ASSERT_EQ(c.frameCount, 2u);
    EXPECT_DOUBLE_EQ(c.frames[1].sourceMs, w.nowMs - 32.0); // the tick mapped 32 ms back
}

// The 25 ms count from the end of the first sampling, which may itself take up to 20 ms.
TEST_F(Poll, ArmedItDisarmsOnlyOnTheSameDisagreeingSampleSeenAgain25msLater) {
    ASSERT_TRUE(w.arm());
    w.setKeyDown(0xA0, true); // left Shift, which raw input never saw
    w.duringSampling([](WorkerDriver * d) { d->advance(20.0); });
    w.sample();
    w.duringSampling(nullptr);
    w.advance(5.0);
    w.step(); // due 25 ms after the first sampling began, 5 ms after it ended
    EXPECT_TRUE(w.armed());
    w.setKeyDown(0xA1, true); // right Shift as well: another sample starts the watch anew
    w.sample();
    EXPECT_TRUE(w.armed());
    w.sample();
    EXPECT_STREQ("polling-mismatch", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "incomplete");
}

// Windows reports generic codes down with their sided keys: the same modifiers, not other keys.
TEST_F(Poll, HeldModifiersAgreeWithTheTableThroughTheirGenericCodes) {
    ASSERT_TRUE(w.arm());
    w.advance(1.0);
    ASSERT_TRUE(w.key(0x1D, 2, 0x11)); // right Control
    ASSERT_TRUE(w.key(0x38, 0, 0x12)); // left Alt
    ASSERT_TRUE(w.key(0x36, 0, 0x10)); // right Shift
    w.runFor(100.0);
    EXPECT_TRUE(w.armed());
    EXPECT_STREQ(nullptr, w.failure());
}

TEST_F(Poll, HeldKeyOrButtonRestartsTheNeutralWatch) {
    for (uint32_t code : {0x41u, 0xA0u, 0x01u, 0x06u}) { // a key, left Shift, the left and the fifth button
        w.sample();                                      // neutral
        w.setKeyDown(code, true);
        w.sample();
        w.setKeyDown(code, false);
        w.sample(); // neutral again: the watch starts afresh
        EXPECT_FALSE(w.armed()) << code;
        w.sample();
        EXPECT_TRUE(w.armed()) << code;
        w.restart();
    }
}

// What happens while the keys are read: time passing, the desktop changing, a message arriving.
TEST_F(Poll, ASamplingCountsOnlyWhenQuickQuietAndFollowedByAGoodCheck) {
    const char * const awaiting = "awaiting-neutral";
    const struct {
        void (*midSampling)(WorkerDriver *);
        const char * afterOne; // the failure after one sampling
        bool         arms;     // within six
    } cases[] = {
        {[](WorkerDriver * d) { d->advance(20.0); }, awaiting, true},
        {[](WorkerDriver * d) { d->advance(21.0); }, awaiting, false},
        {[](WorkerDriver * d) { simPostMessage(d->window(), messageUser, 0, 0); }, awaiting, false},
        {[](WorkerDriver *) { onDesktop([](SimDesktop * d) { d->layout = 0x04070407; }); }, "keyboard-layout-ambiguous",
         false},
    };
    for (const auto & k : cases) {
        SCOPED_TRACE(&k - cases);
        w.duringSampling(k.midSampling);
        w.sample();
        EXPECT_STREQ(k.afterOne, w.failure());
        for (int i = 0; i < 5; i++) {
            w.sample();
        }
        EXPECT_EQ(w.armed(), k.arms);
        w.duringSampling(nullptr);
        EXPECT_EQ(w.arm(), k.afterOne == awaiting) << "only those samplings were void";
        w.restart();
    }
}

// A poll put off because a message waits is no sampling: the next wake, however soon, samples.
TEST_F(Poll, APollPutOffForAWaitingMessageRunsOnTheNextWake) {
    w.sample(); // neutral: the watch starts
    w.advance(25.0);
    for (uint32_t i = 0; i <= 64; i++) { // one more than a wake dispatches
        ASSERT_TRUE(simPostMessage(w.window(), messageUser, 0, 0));
    }
    w.step();
    EXPECT_FALSE(w.armed());
    w.advance(1.0);
    w.step();
    EXPECT_TRUE(w.armed());
}

// Environment failures stand while the worker goes on; ownership failures stop the worker.
TEST_F(Poll, EveryCheckNamesItsFailure) {
    const struct {
        const char * failure;
        void (*unfit)(SimDesktop *);
        int left; // registrations after teardown, only others'; -1: the worker goes on
    } cases[] = {
        {"remote-session-unsupported", [](SimDesktop * d) { d->remoteSession = true; }, -1},
        {"foreground-input-unavailable", [](SimDesktop * d) { d->foreground = nullptr; }, -1},
        {"foreground-input-unavailable", [](SimDesktop * d) { d->foregroundThread = 0; }, -1},
        {"keyboard-layout-ambiguous", [](SimDesktop * d) { d->layout = 0x04070407; }, -1},
        {"session-state-unavailable", [](SimDesktop * d) { d->sessionQueryFails = true; }, -1},
        {"session-inactive", [](SimDesktop * d) { d->connectState = 4; }, -1},
        {"session-inactive", [](SimDesktop * d) { d->connectStateBytes = 8; }, -1},
        {"session-protocol-unavailable", [](SimDesktop * d) { d->protocolQueryFails = true; }, -1},
        {"remote-session-unsupported", [](SimDesktop * d) { d->clientProtocol = 2; }, -1},
        {"remote-session-unsupported", [](SimDesktop * d) { d->clientProtocolBytes = 4; }, -1},
        {"input-desktop-unavailable", [](SimDesktop * d) { d->inputDesktopAvailable = false; }, -1},
        {"input-desktop-unavailable", [](SimDesktop * d) { memcpy(d->inputDesktopName, u"Winlogon", 18); }, -1},
        {"input-desktop-unavailable", [](SimDesktop * d) { memcpy(d->threadDesktopName, u"Other", 12); }, -1},
        {"input-desktop-unavailable", // the same desktop, but not the default one
         [](SimDesktop * d) { memcpy(d->inputDesktopName, u"Other", 12), memcpy(d->threadDesktopName, u"Other", 12); },
         -1},
        {"raw-owner-inspection", [](SimDesktop * d) { d->registrationReadFails = true; }, 2},
        {"raw-input-ownership-lost", [](SimDesktop * d) { d->registrations[0].target = nullptr; }, 1},
        {"raw-input-ownership-lost", [](SimDesktop * d) { d->registrations[1].flags = rawFlagInputSink; }, 0},
        {"raw-input-ownership-lost", [](SimDesktop * d) { d->registrationCount = 1; }, 0},
    };
    for (const auto & k : cases) {
        SCOPED_TRACE(k.failure);
        ASSERT_TRUE(w.arm());
        onDesktop(k.unfit);
        w.sample();
        EXPECT_STREQ(k.failure, w.failure());
        EXPECT_STREQ(w.drain().frames[0].reason, k.left < 0 ? "session" : "backend");
        if (k.left < 0) {
            const uint64_t epoch = w.state->epoch;
            w.runFor(100.0);
            EXPECT_EQ(w.state->epoch, epoch) << "a standing failure costs one epoch";
        } else {
            EXPECT_FALSE(w.step()) << "the poll stops the worker";
            w.tearDown();
            onDesktop([&](SimDesktop * d) { EXPECT_EQ(d->registrationCount, (uint32_t) k.left); });
        }
        w.restart();
    }
}

TEST_F(Poll, ClockDriftDisarmsAndTheNextArmingRecalibrates) {
    ASSERT_TRUE(w.arm());
    w.nowMs += 40.0; // the module clock runs ahead of the tick count
    w.sample();
    EXPECT_STREQ("message-clock-discontinuity", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "stale");
    EXPECT_TRUE(w.arm());
}

// ---- The message clock ------------------------------------------------------------

TEST(MessageClock, ContinuousOnlyWhileBothClocksMoveForwardTogether) {
    const struct {
        double tickStep, clockStep;
        bool   continuous;
    } cases[] = {
        {0, 0, true},    {2000, 2000, true}, {2001, 1970, false}, {1970, 2001, false}, {10, 42, true},  {42, 10, true},
        {10, 43, false}, {43, 10, false},    {-1, 0, false},      {0, -1, false},      {0, NAN, false},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(testing::Message() << c.tickStep << " " << c.clockStep);
        MessageClock   clock = {5000.0 - 100000.0 - 32.0, 5000.0, -1.0, 100000, true};
        const uint64_t tick  = (uint64_t) (100000 + c.tickStep);
        EXPECT_EQ(messageClockContinuous(&clock, tick, 5000.0 + c.clockStep), c.continuous);
        if (c.continuous) {
            // The readings are recorded: the next limit counts from them.
            EXPECT_TRUE(messageClockContinuous(&clock, tick + 1500, 5000.0 + c.clockStep + 1500));
        }
    }
    MessageClock uncalibrated = {-100032.0, 0.0, -1.0, 0, false};
    EXPECT_FALSE(messageClockContinuous(&uncalibrated, 100000, 0.0));
}

TEST(MessageClock, CalibrationNeedsTwoCloseSaneReadings) {
    static double spreadMs;
    const struct {
        double clockMs, spread;
        bool   calibrates;
    } cases[] = {{5000, 0, true}, {5000, 2.0, true}, {5000, 2.5, false}, {31, 0, false}, {32, 0, true}};
    for (const auto & c : cases) {
        simDesktopReset();
        onDesktop([](SimDesktop * d) {
            d->manualTicks = true, d->ticks = 777;
            d->onTickRead = [] { setManualClockMs(moduleClockMs() + spreadMs); };
        });
        spreadMs = c.spread;
        setManualClockMs(c.clockMs);
        MessageClock clock = {0, 0, 5.0, 0, false};
        EXPECT_EQ(calibrateMessageClock(&clock), c.calibrates) << c.clockMs << " " << c.spread;
        EXPECT_EQ(clock.lastMessageMs, c.calibrates ? -1.0 : 5.0); // the rest: Poll.* and InputHandler.* times
    }
    simDesktopReset();
}
