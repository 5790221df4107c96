// The capture worker's set-up, loop, window procedure and teardown, stepped on the test thread.
#include <gtest/gtest.h>

#include "send_keys.h"
#include "worker_driver.h"

using namespace keywatch;

using Worker = WorkerTest;

// Disconnect, logoff and lock inactivate; connect, logon and unlock activate; every code disarms.
TEST_F(Worker, SessionNoticesSetTheSessionStateByTheirCode) {
    for (uintptr_t code = 1; code <= 9; code++) {
        SCOPED_TRACE(code);
        const bool inactivates = code == 2 || code == 4 || code == 6 || code == 7;
        const bool activates   = code == 1 || code == 5 || code == 8;
        for (bool fromInactive : {false, true}) {
            w.restart();
            ASSERT_TRUE(w.arm());
            ASSERT_TRUE(!fromInactive || w.notice(messageSessionChange, 7));
            ASSERT_TRUE(w.notice(messageSessionChange, code));
            EXPECT_STREQ("session-changed", w.failure());
            EXPECT_STREQ(w.drain().frames[0].reason, "session");
            const bool inactive = inactivates || (fromInactive && !activates);
            EXPECT_EQ(w.arm(), !inactive);
            EXPECT_STREQ(inactive ? "session-inactive" : nullptr, w.failure());
        }
    }
}

// A device notice replaces the failure once; sendKeys' own keystrokes arrive as raw input without a device handle.
TEST_F(Worker, DeviceNoticesAndInjectedKeysDisarmAsIncomplete) {
    const uint64_t epoch = w.state->epoch;
    ASSERT_TRUE(w.notice(messageInputDeviceChange, 1));
    EXPECT_STREQ("device-arrived", w.failure());
    ASSERT_TRUE(w.notice(messageInputDeviceChange, 1));
    EXPECT_EQ(w.state->epoch, epoch + 1);
    ASSERT_TRUE(w.notice(messageInputDeviceChange, 2));
    EXPECT_STREQ("device-removed", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "incomplete");
    ASSERT_TRUE(w.arm());
    EXPECT_EQ(sendCommand("paste", 5), sendSent);
    w.step();
    EXPECT_STREQ("raw-device-ambiguous", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "incomplete");
}

TEST_F(Worker, AWakeDispatchesAtMost64Messages) {
    ASSERT_TRUE(w.arm());
    w.drain();
    w.advance(1.0);
    for (int i = 0; i < 100; i++) {
        ASSERT_TRUE(w.button(i % 2 == 0 ? 0x0001 : 0x0002));
    }
    w.step();
    EXPECT_EQ(w.drain().frameCount, 64u);
    w.step();
    EXPECT_EQ(w.drain().frameCount, 36u);
}

TEST_F(Worker, QuitOrDestroyEndsTheLoopAndTheFinalFailureDependsOnWhy) {
    const struct {
        uint32_t     ender; // message that ends the loop; 0: the stop event
        bool         armFirst, removedFirst;
        const char * final;
    } cases[] = {
        {messageQuit, true, false, nullptr},
        {messageDestroy, true, false, nullptr},
        {0, false, false, nullptr}, // still awaiting a neutral keyboard
        {0, false, true, "device-removed"},
    };
    for (const auto & k : cases) {
        w.restart();
        ASSERT_TRUE(!k.armFirst || w.arm());
        ASSERT_TRUE(!k.removedFirst || w.notice(messageInputDeviceChange, 2));
        if (k.ender == 0) {
            eventSet(w.state->stopEvent);
        } else {
            ASSERT_TRUE(k.ender == messageQuit ? threadMessagePost(currentThreadId(), messageQuit, 0, 0)
                                               : simPostMessage(w.window(), k.ender, 0, 0));
        }
        EXPECT_FALSE(w.step());
        w.tearDown();
        EXPECT_STREQ(k.final, w.failure());
        onDesktop([](SimDesktop * d) { EXPECT_EQ(d->registrationCount + d->sessionRegistrations, 0u); });
    }
}

TEST_F(Worker, EverySetUpAndTeardownFailureIsNamed) {
    const uint32_t readFails = 1u << 31, owned = 1u << 30; // the registrations cannot be read; another owns them
    static const struct Case {
        const char * failure;
        uint32_t     setUp, later; // calls that fail during set-up; in the loop or at teardown
    } cases[] = {
        {"window-class-register", 1u << simClassRegister, 0},
        {"message-window-create", 1u << simWindowCreate, 0},
        {"raw-owner-inspection", readFails, 0},
        {"raw-input-already-owned", owned, 0},
        {"raw-registration", 1u << simRawRegister, 0},
        {"session-notification-register", 1u << simSessionRegister, 0},
        {"message-wait", 0, 1u << simMessageWait},
        {"session-notification-remove", 0, 1u << simSessionUnregister},
        {"raw-owner-inspection", 0, readFails},
        {"raw-unregistration", 0, 1u << simRawUnregister},
        {"message-window-destroy", 0, 1u << simWindowDestroy},
        {"window-class-unregister", 0, 1u << simClassUnregister},
        // The last failing teardown step wins.
        {"window-class-unregister", 0, (1u << simSessionUnregister) | (1u << simClassUnregister)},
    };
    static uint32_t failing;
    const auto      fail = [](SimDesktop * d) {
        d->failing               = failing & ~(3u << 30);
        d->registrationReadFails = (failing >> 31) != 0;
        if ((failing >> 30) & 1) { // Poll.EveryCheckNamesItsFailure pins that teardown leaves another's alone
            d->registrations[0]  = {1, 6, 0x2100, reinterpret_cast<WindowHandle>(0x9990)};
            d->registrationCount = 1;
        }
    };
    for (const Case & k : cases) {
        SCOPED_TRACE(k.failure);
        failing = k.setUp;
        w.restart(fail);
        EXPECT_EQ(w.looping, k.setUp == 0);
        EXPECT_EQ(w.state->running != 0, k.setUp == 0);
        if (k.setUp != 0) {
            EXPECT_STREQ(k.failure, w.failure());
            EXPECT_STREQ(w.drain().frames[0].reason, "backend");
        }
        failing = k.later;
        onDesktop(fail);
        if (k.setUp == 0) {
            if (k.later != (1u << simMessageWait)) {
                eventSet(w.state->stopEvent);
            }
            EXPECT_FALSE(w.step());
        }
        w.tearDown();
        EXPECT_STREQ(k.failure, w.failure());
        EXPECT_STREQ(w.drain().frames[0].reason, "shutdown");
    }
}
