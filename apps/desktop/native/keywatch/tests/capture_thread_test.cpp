// startCapture and stopCapture with a real worker thread; every wait is bounded, and generous.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "worker_driver.h"

using namespace keywatch;

namespace {

// Live simulated objects: waitables, windows, classes, session and raw input registrations.
std::array<uint32_t, 5> counts() {
    std::array<uint32_t, 5> c;
    onDesktop([&](SimDesktop * d) {
        c = {d->liveWaitables, d->liveWindows, d->liveClasses, d->sessionRegistrations, d->registrationCount};
    });
    return c;
}

struct CaptureThread : ::testing::Test {
    void SetUp() override { simDesktopReset(); }
};

} // namespace

TEST_F(CaptureThread, StartStopAndRestartLeaveNothingBehind) {
    const auto     before = counts();
    CaptureState * state  = captureStateCreate();
    for (int cycle = 0; cycle < 200; cycle++) {
        startCapture(state);
        const CaptureStatus s = captureStatus(state);
        ASSERT_TRUE(s.running) << cycle;
        startCapture(state); // alive: nothing changes
        ASSERT_EQ(captureStatus(state).epoch, s.epoch);
        stopCapture(state);
        ASSERT_FALSE(captureStatus(state).running);
    }
    captureStateDestroy(state);
    EXPECT_EQ(counts(), before);
}

TEST_F(CaptureThread, StartFailuresAndTimeoutsAreNamed) {
    const auto     before = counts();
    CaptureState * state  = captureStateCreate();
    for (SimCall call : {simEventCreate, simThreadStart}) {
        onDesktop([&](SimDesktop * d) { d->failing = 1u << call; });
        startCapture(state);
        onDesktop([](SimDesktop * d) { d->failing = 0; });
        EXPECT_FALSE(captureStatus(state).running);
        EXPECT_STREQ(captureStatus(state).failure, call == simEventCreate ? "control-event-create" : "thread-create");
        stopCapture(state);
    }

    // Set-up slower than 500 ms: the worker is told to stop and ends by itself.
    onDesktop([](SimDesktop * d) { d->holdSetUp = true; });
    startCapture(state);
    EXPECT_STREQ(captureStatus(state).failure, "startup-timeout");
    onDesktop([](SimDesktop * d) { d->holdSetUp = false; });
    stopCapture(state);
    EXPECT_FALSE(captureStatus(state).running);

    // Teardown slower than 500 ms: "shutdown-timeout", then destruction waits.
    startCapture(state);
    onDesktop([](SimDesktop * d) { d->holdWindowDestroy = true; });
    const auto stopped = std::chrono::steady_clock::now();
    stopCapture(state);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5)) << "stop waits a bounded time";
    EXPECT_STREQ(captureStatus(state).failure, "shutdown-timeout");
    std::thread release([] { sleepMs(50), onDesktop([](SimDesktop * d) { d->holdWindowDestroy = false; }); });
    captureStateDestroy(state); // waits without limit
    release.join();
    EXPECT_EQ(counts(), before);
}
