// The frame queue: resets, arming, pushes and drains, on a hand-set clock; then a pusher against a drainer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "failures.h"
#include "worker_driver.h"

using namespace keywatch;

namespace {

const DecodedKey lctrlDown = {KeyLeftControl, 0x1D, true, false, nullptr};
const DecodedKey lctrlUp   = {KeyLeftControl, 0x1D, false, false, nullptr};

struct FrameQueue : ::testing::Test {
    void SetUp() override { setManualClockMs(5000.0); }
    void TearDown() override { captureStateDestroy(state); }

    void arm(double at) {
        {
            ScopedLock held(&state->lock);
            armCapture(state, at, 0, false);
        }
        down = true;
    }

    // n changes of the held state: left Control down, up, down, ...
    void pushToggles(int n) {
        for (int i = 0; i < n; i++, down = !down) {
            pushTransition(state, 1, down ? lctrlDown : lctrlUp, 6000.0);
        }
    }
    const DrainCopy & drain() {
        drainCapture(state, &copy);
        return copy;
    }

    CaptureState * state = captureStateCreate();
    bool           down  = true;
    DrainCopy      copy;
};

} // namespace

// PushAndDrainConcurrently pins the numbering within epochs and across drains.
TEST_F(FrameQueue, PushesOnlyWhileArmedAndOnlyChanges) {
    pushToggles(1);
    EXPECT_EQ(state->frameCount, 0u);
    arm(10.0);
    pushTransition(state, 1, lctrlDown, 11.0);
    pushTransition(state, 1, lctrlDown, 12.0); // auto-repeat: HeldKeys.* pins which transitions change
    pushTransition(state, 1, lctrlUp, 14.0);
    drain();
    EXPECT_EQ(copy.frameCount, 4u); // reset, snapshot, press, release; event fields: InputHandler.*, keywatch.node
}

TEST_F(FrameQueue, OverflowAfter254EventsOrAfter256FromADrain) {
    arm(10.0);
    pushToggles(254);
    EXPECT_EQ(state->armed.load(), 1);
    setManualClockMs(7777.0);
    pushToggles(1);
    drain();
    EXPECT_EQ(copy.epoch, 2u);
    EXPECT_STREQ(copy.failure, "native-queue-overflow");
    ASSERT_EQ(copy.frameCount, 1u);
    EXPECT_STREQ(copy.frames[0].reason, "overflow");
    EXPECT_EQ(copy.frames[0].sourceMs, 7777.0);
    EXPECT_EQ(state->held.heldCount, 0u) << "the reset emptied the held table";

    arm(20.0);
    drain();
    pushToggles(256);
    EXPECT_EQ(state->epoch, 3u);
    pushToggles(1);
    EXPECT_EQ(state->epoch, 4u);
}

TEST_F(FrameQueue, ResetOnceSkipsOnlyTheSameStandingFailureWhileDisarmed) {
    resetCaptureOnce(state, failure::deviceArrived, reason::incomplete);
    EXPECT_EQ(state->epoch, 1u);
    char sameText[]        = "device-arrived"; // compared by text, not address
    state->mismatchPending = 1;
    resetCaptureOnce(state, sameText, reason::incomplete);
    EXPECT_EQ(state->epoch, 1u);
    EXPECT_EQ(state->mismatchPending, 0);
    resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
    EXPECT_EQ(state->epoch, 2u);
    arm(30.0);
    resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
    EXPECT_EQ(state->epoch, 4u);

    setManualClockMs(4321.0);
    failCapture(state, failure::threadCreate);
    drain();
    EXPECT_STREQ(copy.frames[0].reason, "backend");
    EXPECT_EQ(copy.frames[0].sourceMs, 4321.0);
}

// A worker-like pusher against a JS-like drainer: the locking under TSan, and no frame lost or misnumbered.
TEST_F(FrameQueue, PushAndDrainConcurrently) {
    std::atomic<bool> done{false};
    std::thread       pusher([&] {
        for (int i = 0, next = 0; i < 200000; i++, next ^= 1) {
            if (state->armed.load(std::memory_order_relaxed) == 0) { // the worker's early filter
                arm((double) i);
                next = 0; // the arming cleared the held table
            }
            pushTransition(state, 42, next == 0 ? lctrlDown : lctrlUp, (double) i);
        }
        done = true;
    });
    uint64_t          epoch = 0, nextSequence = 1, drains = 0;
    bool              expectDown = true;
    for (bool last = false; !last; drains++) {
        last = done.load();
        drainCapture(state, &copy);
        for (uint64_t i = 0; i < copy.frameCount; i++) {
            const CaptureFrame & f = copy.frames[i];
            if (copy.epoch != epoch) { // a new epoch begins with its reset frame
                ASSERT_EQ(i, 0u);
                epoch = copy.epoch, nextSequence = 1, expectDown = true;
            }
            ASSERT_EQ(f.sequence, nextSequence++);
            if (f.kind == frameEvent) {
                ASSERT_EQ(f.down != 0, expectDown);
                expectDown = !expectDown;
            }
        }
    }
    pusher.join();
    EXPECT_GT(drains, 1u);
    EXPECT_EQ(epoch, state->epoch);
}
