// The capture worker's set-up, loop, window procedure and teardown, stepped on the test thread.
#include <gtest/gtest.h>

#include <string.h>

#include "send_keys.h"
#include "worker_driver.h"

using namespace keywatch;

namespace {

struct Worker : ::testing::Test {
    WorkerDriver w;
    void TearDown() override { w.finish(); }
    bool notice(uint32_t message, uintptr_t wParam) {
        const bool posted = simPostMessage(w.window(), message, wParam, 0);
        w.step();
        return posted;
    }
};

} // namespace

// Disconnect, logoff and lock inactivate; connect, logon and unlock activate; every code disarms.
TEST_F(Worker, SessionNoticesSetTheSessionStateByTheirCode) {
    for (uintptr_t code = 1; code <= 9; code++) {
        SCOPED_TRACE(code);
        const bool inactivates = code == 2 || code == 4 || code == 6 || code == 7;
        const bool activates   = code == 1 || code == 5 || code == 8;
        for (bool fromInactive : {false, true}) {
            w.begin();
            ASSERT_TRUE(w.arm());
            if (fromInactive) {
                ASSERT_TRUE(notice(messageSessionChange, 7));
            }
            ASSERT_TRUE(notice(messageSessionChange, code));
            expectFailure("session-changed", w.failure());
            EXPECT_STREQ(w.drain().frames[0].reason, "session");
            const bool inactive = inactivates || (fromInactive && !activates);
            EXPECT_EQ(w.arm(), !inactive);
            expectFailure(inactive ? "session-inactive" : nullptr, w.failure());
            w.finish();
        }
    }
}

TEST_F(Worker, DeviceNoticesReplaceTheFailureOnce) {
    w.begin();
    const uint64_t epoch = w.state->epoch;
    ASSERT_TRUE(notice(messageInputDeviceChange, 1));
    expectFailure("device-arrived", w.failure());
    ASSERT_TRUE(notice(messageInputDeviceChange, 1));
    EXPECT_EQ(w.state->epoch, epoch + 1);
    ASSERT_TRUE(notice(messageInputDeviceChange, 2));
    expectFailure("device-removed", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "incomplete");
}

TEST_F(Worker, AWakeDispatchesAtMost64Messages) {
    w.begin();
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

TEST_F(Worker, InjectedKeysHaveNoDeviceAndDisarm) {
    // sendKeys' own keystrokes arrive as raw input without a device handle.
    w.begin();
    ASSERT_TRUE(w.arm());
    w.drain();
    EXPECT_EQ(sendCommand("paste", 5), sendSent);
    w.step();
    expectFailure("raw-device-ambiguous", w.failure());
    EXPECT_STREQ(w.drain().frames[0].reason, "incomplete");
}

TEST_F(Worker, QuitOrDestroyEndsTheLoopAndTheFinalFailureDependsOnWhy) {
    struct Case {
        const char * before; // a notice that disarms first, or null
        uint32_t     ender;  // message that ends the loop; 0: the stop event
        bool         armFirst;
        const char * final;
    } cases[] = {
        {nullptr, messageQuit, true, nullptr},
        {nullptr, messageDestroy, true, nullptr},
        {nullptr, 0, false, nullptr}, // still awaiting a neutral keyboard
        {"device-removed", 0, false, "device-removed"},
    };
    for (const Case & k : cases) {
        w.begin();
        if (k.armFirst) {
            ASSERT_TRUE(w.arm());
        }
        if (k.before != nullptr) {
            ASSERT_TRUE(notice(messageInputDeviceChange, 2));
        }
        if (k.ender == messageQuit) {
            ASSERT_TRUE(threadMessagePost(currentThreadId(), messageQuit, 0, 0));
        } else if (k.ender != 0) {
            ASSERT_TRUE(simPostMessage(w.window(), k.ender, 0, 0));
        } else {
            eventSet(w.state->stopEvent);
        }
        EXPECT_FALSE(w.step());
        w.tearDown();
        expectFailure(k.final, w.failure());
        EXPECT_STREQ(w.drain().frames[0].reason, "shutdown");
        EXPECT_FALSE(w.state->running);
        onDesktop([](SimDesktop * d) { EXPECT_EQ(d->registrationCount + d->sessionRegistrations, 0u); });
        w.finish();
    }
}

TEST_F(Worker, SetUpRefusesToShareRawInputAndLeavesTheOwnerAlone) {
    static const RawInputRegistration other = {1, 6, 0x2100, reinterpret_cast<WindowHandle>(0x9990)};
    w.begin([](SimDesktop * d) {
        d->registrations[0]  = other;
        d->registrationCount = 1;
    });
    EXPECT_FALSE(w.looping);
    expectFailure("raw-input-already-owned", w.failure());
    w.tearDown();
    SimDesktop * d = simDesktopBegin();
    ASSERT_EQ(d->registrationCount, 1u);
    EXPECT_EQ(d->registrations[0].target, other.target);
    simDesktopEnd();
}

TEST_F(Worker, EverySetUpAndTeardownFailureIsNamed) {
    static const struct Case {
        const char * failure;
        uint32_t     setUpCalls;    // fail during set-up
        bool         setUpReadFails;
        uint32_t     laterCalls;    // fail in the loop or at teardown
        bool         laterReadFails;
    } cases[] = {
        {"window-class-register", 1u << simClassRegister, false, 0, false},
        {"message-window-create", 1u << simWindowCreate, false, 0, false},
        {"raw-owner-inspection", 0, true, 0, false},
        {"raw-registration", 1u << simRawRegister, false, 0, false},
        {"session-notification-register", 1u << simSessionRegister, false, 0, false},
        {"message-wait", 0, false, 1u << simMessageWait, false},
        {"session-notification-remove", 0, false, 1u << simSessionUnregister, false},
        {"raw-owner-inspection", 0, false, 0, true},
        {"raw-unregistration", 0, false, 1u << simRawUnregister, false},
        {"message-window-destroy", 0, false, 1u << simWindowDestroy, false},
        {"window-class-unregister", 0, false, 1u << simClassUnregister, false},
        // The last failing teardown step wins.
        {"window-class-unregister", 0, false, (1u << simSessionUnregister) | (1u << simClassUnregister), false},
    };
    static const Case * current;
    for (const Case & k : cases) {
        SCOPED_TRACE(k.failure);
        current = &k;
        w.begin([](SimDesktop * d) {
            d->failing               = current->setUpCalls;
            d->registrationReadFails = current->setUpReadFails;
        });
        const bool setUpFails = k.setUpCalls != 0 || k.setUpReadFails;
        EXPECT_EQ(w.looping, !setUpFails);
        EXPECT_EQ(w.state->running != 0, !setUpFails);
        if (setUpFails) {
            expectFailure(k.failure, w.failure());
            EXPECT_STREQ(w.drain().frames[0].reason, "backend");
        }
        SimDesktop * d = simDesktopBegin();
        d->failing               = k.laterCalls;
        d->registrationReadFails = k.laterReadFails;
        simDesktopEnd();
        if (!setUpFails) {
            if (k.laterCalls != (1u << simMessageWait)) {
                eventSet(w.state->stopEvent);
            }
            EXPECT_FALSE(w.step());
        }
        w.tearDown();
        expectFailure(k.failure, w.failure());
        EXPECT_STREQ(w.drain().frames[0].reason, "shutdown");
        w.finish();
    }
}
