// A worker-like pusher against a JS-like drainer: the locking under TSan, and no frame lost or misnumbered.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "frame_queue.h"
#include "manual_clock.h"

using namespace keywatch;

TEST(FrameQueueThreads, PushAndDrainConcurrently) {
    CaptureState * state = captureStateCreate();
    const DecodedKey keys[2] = {{KeyRightShift, 0x36, true, false, nullptr}, {KeyRightShift, 0x36, false, false, nullptr}};
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        for (int i = 0, next = 0; i < 200000; i++, next ^= 1) {
            if (state->armed.load(std::memory_order_relaxed) == 0) { // the worker's early filter
                lockAcquire(&state->lock);
                armCapture(state, (double) i, 0, false);
                lockRelease(&state->lock);
                next = 0; // the arming cleared the held table
            }
            pushTransition(state, 42, keys[next], (double) i);
        }
        done = true;
    });
    static DrainCopy copy;
    uint64_t epoch = 0, nextSequence = 1, drains = 0;
    bool expectDown = true;
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
    captureStateDestroy(state);
}
