// One thread pushes transitions the way the capture worker does, another
// drains the way the JS thread does. Run under ThreadSanitizer this checks the
// locking; in every build it checks that no frame is lost, duplicated or
// misnumbered while the two race.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "capture_state.h"
#include "frame_queue.h"
#include "manual_clock.h"

using namespace keywatch;

TEST(FrameQueueThreads, PushAndDrainConcurrently) {
    CaptureState * state = captureStateCreate();
    ASSERT_NE(state, nullptr);
    const DecodedKey down = {KeyRightShift, 0x36, true, false, nullptr};
    const DecodedKey up   = {KeyRightShift, 0x36, false, false, nullptr};
    const int pushes = 200000;

    std::atomic<bool> done{false};
    std::atomic<bool> drainerReady{false};
    std::atomic<uint64_t> finalEpochPushes{0};
    std::atomic<uint64_t> armings{0};

    std::thread pusher([&] {
        while (!drainerReady.load()) {
            std::this_thread::yield();
        }
        bool nextDown = true;
        uint64_t sinceArm = 0;
        for (int i = 0; i < pushes; i++) {
            // The worker's early filter reads armed without the lock.
            if (state->armed.load(std::memory_order_relaxed) == 0) {
                lockAcquire(&state->lock);
                armCapture(state, (double) i, 0, false);
                lockRelease(&state->lock);
                armings++;
                nextDown = true; // arming cleared the held table
                sinceArm = 0;
            }
            pushTransition(state, 42, nextDown ? down : up, (double) i);
            nextDown = !nextDown;
            sinceArm++;
        }
        finalEpochPushes = sinceArm;
        done = true;
    });

    uint64_t epoch = 0, nextSequence = 1, eventsThisEpoch = 0;
    bool expectDown = true;
    static DrainCopy copy;
    auto check = [&]() {
        drainCapture(state, &copy);
        for (uint64_t i = 0; i < copy.frameCount; i++) {
            const CaptureFrame & f = copy.frames[i];
            if (copy.epoch != epoch) {
                // A new epoch must begin at its reset frame.
                ASSERT_EQ(i, 0u);
                ASSERT_EQ(f.kind, (uint32_t) frameReset);
                ASSERT_EQ(f.sequence, 1u);
                epoch = copy.epoch;
                nextSequence = 1;
                eventsThisEpoch = 0;
                expectDown = true;
            }
            ASSERT_EQ(f.sequence, nextSequence++);
            if (f.kind == frameEvent) {
                ASSERT_EQ(f.down != 0, expectDown);
                expectDown = !expectDown;
                eventsThisEpoch++;
            }
        }
    };
    uint64_t drains = 0;
    drainerReady = true;
    while (!done.load()) {
        check();
        drains++;
        if (testing::Test::HasFatalFailure()) break;
    }
    pusher.join();
    check();

    EXPECT_GE(armings.load(), 1u);
    EXPECT_GT(drains, 1u) << "the two threads never overlapped";
    EXPECT_EQ(epoch, state->epoch);
    // The last epoch ended without overflow: every push in it made a frame.
    if (state->armed.load() != 0) {
        EXPECT_EQ(eventsThisEpoch, finalEpochPushes.load());
    }
    captureStateDestroy(state);
}
