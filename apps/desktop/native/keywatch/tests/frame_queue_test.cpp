#include <gtest/gtest.h>

#include <string.h>

#include "capture_state.h"
#include "failures.h"
#include "frame_queue.h"
#include "manual_clock.h"

using namespace keywatch;

namespace {

const DecodedKey lctrlDown = {KeyLeftControl, 0x1D, true, false, nullptr};
const DecodedKey lctrlUp   = {KeyLeftControl, 0x1D, false, false, nullptr};

void expectDefault(const CaptureFrame & f) {
    EXPECT_EQ(f.kind, (uint32_t) frameReset);
    EXPECT_EQ(f.sequence, 0u);
    EXPECT_EQ(f.sourceMs, 0.0);
    EXPECT_EQ(f.keyId, KeyOther);
    EXPECT_EQ(f.down, 0);
    EXPECT_EQ(f.heldMask, 0);
    EXPECT_EQ(f.otherInput, 0);
    EXPECT_STREQ(f.reason, "backend");
}

class FrameQueue : public testing::Test {
  protected:
    void SetUp() override {
        setManualClockMs(5000.0);
        state = captureStateCreate();
        ASSERT_NE(state, nullptr);
    }
    void TearDown() override { captureStateDestroy(state); }

    void arm(double at) {
        lockAcquire(&state->lock);
        armCapture(state, at, 0, false);
        lockRelease(&state->lock);
    }
    // n changes of the held state: left Control down, up, down, ...
    void pushToggles(int n, double at = 6000.0) {
        for (int i = 0; i < n; i++) {
            pushTransition(state, 1, toggleDown ? lctrlDown : lctrlUp, at);
            toggleDown = !toggleDown;
        }
    }
    DrainCopy drain() {
        DrainCopy copy;
        drainCapture(state, &copy);
        return copy;
    }

    CaptureState * state = nullptr;
    bool toggleDown = true;
};

} // namespace

TEST_F(FrameQueue, StartsEmptyAtEpochZero) {
    EXPECT_EQ(state->epoch, 0u);
    EXPECT_EQ(state->frameCount, 0u);
    EXPECT_EQ(state->failure, nullptr);
    EXPECT_EQ(state->armed.load(), 0);
    EXPECT_EQ(state->clock.lastMessageMs, -1.0);
    for (const CaptureFrame & f : state->frames) expectDefault(f);
    const DrainCopy copy = drain();
    EXPECT_EQ(copy.epoch, 0u);
    EXPECT_EQ(copy.frameCount, 0u);
    EXPECT_FALSE(copy.running);
    EXPECT_EQ(copy.failure, nullptr);
    EXPECT_EQ(copy.clockMs, 5000.0);
}

TEST_F(FrameQueue, ResetVoidsEverythingAndStartsAnEpoch) {
    arm(100.0);
    pushToggles(3);
    state->mismatchPending = 1;
    lockAcquire(&state->lock);
    resetCapture(state, failure::sessionChanged, reason::session, 200.0);
    lockRelease(&state->lock);

    EXPECT_EQ(state->epoch, 2u);
    EXPECT_EQ(state->armed.load(), 0);
    EXPECT_EQ(state->mismatchPending, 0);
    EXPECT_EQ(state->held.heldCount, 0u);
    EXPECT_STREQ(state->failure, "session-changed");
    const DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 1u);
    EXPECT_EQ(copy.frames[0].kind, (uint32_t) frameReset);
    EXPECT_EQ(copy.frames[0].sequence, 1u);
    EXPECT_EQ(copy.frames[0].sourceMs, 200.0);
    EXPECT_STREQ(copy.frames[0].reason, "session");
    EXPECT_STREQ(copy.failure, "session-changed");
    // The drain leaves every slot default, also those the reset left stale.
    for (const CaptureFrame & f : state->frames) expectDefault(f);
}

TEST_F(FrameQueue, ArmingQueuesResetAndEmptySnapshot) {
    state->failure = failure::awaitingNeutral;
    state->mismatchPending = 1;
    arm(123.5);
    EXPECT_EQ(state->epoch, 1u);
    EXPECT_EQ(state->armed.load(), 1);
    EXPECT_EQ(state->failure, nullptr);
    EXPECT_EQ(state->mismatchPending, 0);
    const DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 2u);
    EXPECT_EQ(copy.frames[0].kind, (uint32_t) frameReset);
    EXPECT_EQ(copy.frames[0].sequence, 1u);
    EXPECT_STREQ(copy.frames[0].reason, "backend");
    EXPECT_EQ(copy.frames[1].kind, (uint32_t) frameSnapshot);
    EXPECT_EQ(copy.frames[1].sequence, 2u);
    EXPECT_EQ(copy.frames[1].sourceMs, 123.5);
    EXPECT_EQ(copy.frames[1].heldMask, 0);
    EXPECT_EQ(copy.frames[1].otherInput, 0);
}

TEST_F(FrameQueue, PushesOnlyWhileArmedAndOnlyChanges) {
    pushToggles(1);
    EXPECT_EQ(state->frameCount, 0u);
    EXPECT_EQ(state->held.heldCount, 0u);

    arm(10.0);
    toggleDown = true;
    pushTransition(state, 1, lctrlDown, 11.0);
    pushTransition(state, 1, lctrlDown, 12.0); // auto-repeat
    DecodedKey artefact = lctrlUp;
    artefact.ignore = true;
    pushTransition(state, 1, artefact, 13.0);
    pushTransition(state, 1, lctrlUp, 14.0);
    const DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 4u);
    EXPECT_EQ(copy.frames[2].kind, (uint32_t) frameEvent);
    EXPECT_EQ(copy.frames[2].sequence, 3u);
    EXPECT_EQ(copy.frames[2].keyId, KeyLeftControl);
    EXPECT_EQ(copy.frames[2].down, 1);
    EXPECT_EQ(copy.frames[2].sourceMs, 11.0);
    EXPECT_EQ(copy.frames[3].sequence, 4u);
    EXPECT_EQ(copy.frames[3].down, 0);
    EXPECT_EQ(copy.frames[3].sourceMs, 14.0);
}

TEST_F(FrameQueue, SequencesContinueAcrossDrains) {
    arm(10.0);
    uint64_t expected = 1;
    for (int batch = 0; batch < 5; batch++) {
        pushToggles(7 + batch);
        const DrainCopy copy = drain();
        EXPECT_EQ(copy.epoch, 1u);
        for (uint64_t i = 0; i < copy.frameCount; i++) {
            EXPECT_EQ(copy.frames[i].sequence, expected++) << "batch " << batch;
        }
    }
    const DrainCopy empty = drain();
    EXPECT_EQ(empty.frameCount, 0u);
    EXPECT_EQ(empty.epoch, 1u);
    EXPECT_EQ(state->frameCount, 0u);
    EXPECT_EQ(state->lastSequence, expected - 1);
}

TEST_F(FrameQueue, OverflowAfterArmingAndAfterDrain) {
    arm(10.0);
    pushToggles(254);
    EXPECT_EQ(state->frameCount, 256u);
    EXPECT_EQ(state->armed.load(), 1);
    setManualClockMs(7777.0);
    pushToggles(1);
    EXPECT_EQ(state->epoch, 2u);
    EXPECT_EQ(state->armed.load(), 0);
    DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 1u);
    EXPECT_STREQ(copy.frames[0].reason, "overflow");
    EXPECT_EQ(copy.frames[0].sourceMs, 7777.0);
    EXPECT_STREQ(copy.failure, "native-queue-overflow");

    // After a drain all 256 slots take events.
    arm(20.0);
    toggleDown = true;
    drain();
    pushToggles(256);
    EXPECT_EQ(state->frameCount, 256u);
    EXPECT_EQ(state->epoch, 3u);
    pushToggles(1);
    EXPECT_EQ(state->epoch, 4u);
    EXPECT_EQ(state->frameCount, 1u);
}

TEST_F(FrameQueue, TransitionFailureDisarmsWithIncomplete) {
    arm(10.0);
    pushTransition(state, 1, lctrlDown, 11.0);
    pushTransition(state, 1, lctrlUp, 12.0);
    pushTransition(state, 1, lctrlUp, 13.0); // its press is gone
    EXPECT_EQ(state->epoch, 2u);
    EXPECT_STREQ(state->failure, "unmatched-release");
    const DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 1u);
    EXPECT_STREQ(copy.frames[0].reason, "incomplete");

    arm(20.0);
    pushTransition(state, 0, lctrlDown, 21.0);
    EXPECT_STREQ(state->failure, "raw-device-ambiguous");
    EXPECT_EQ(state->held.heldCount, 0u);
}

TEST_F(FrameQueue, ResetOnceSkipsAStandingFailure) {
    // Before any failure stands, the first notice always resets.
    resetCaptureOnce(state, failure::deviceArrived, reason::incomplete);
    EXPECT_EQ(state->epoch, 1u);

    // The same text at another address counts as the same failure.
    char sameText[32];
    strcpy(sameText, "device-arrived");
    state->mismatchPending = 1;
    resetCaptureOnce(state, sameText, reason::incomplete);
    EXPECT_EQ(state->epoch, 1u);
    EXPECT_EQ(state->mismatchPending, 0);
    EXPECT_EQ(state->frameCount, 1u);

    resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
    EXPECT_EQ(state->epoch, 2u);
    EXPECT_STREQ(state->failure, "device-removed");

    // Armed, the failure stands no longer: the same notice resets again.
    arm(30.0);
    resetCaptureOnce(state, failure::deviceRemoved, reason::incomplete);
    EXPECT_EQ(state->epoch, 4u);
}

TEST_F(FrameQueue, FailCaptureUsesBackendReasonAndNow) {
    setManualClockMs(4321.0);
    failCapture(state, failure::threadCreate);
    const DrainCopy copy = drain();
    ASSERT_EQ(copy.frameCount, 1u);
    EXPECT_STREQ(copy.frames[0].reason, "backend");
    EXPECT_EQ(copy.frames[0].sourceMs, 4321.0);
    EXPECT_STREQ(copy.failure, "thread-create");
    EXPECT_EQ(copy.epoch, 1u);
}
