// The capture worker stepped on the test thread with both clocks set by hand, so timing rules hit exactly.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include "capture_worker.h"
#include "frame_queue.h"
#include "sim.h"

namespace keywatch {

// Unit tests run the core on a module clock they set by hand (manual_clock.cpp).
void setManualClockMs(double ms);

template <typename Change>
void onDesktop(Change change) {
    change(simDesktopBegin());
    simDesktopEnd();
}

struct WorkerDriver {
    CaptureState * state    = nullptr;
    WorkerRun      run      = {};
    bool           looping  = false; // the worker's loop has not ended
    bool           tornDown = false;
    double         nowMs    = 0.0;
    uint64_t       ticks    = 0;
    DrainCopy      copy     = {};

    // A fresh desktop and record; `configure` may change the desktop before set-up.
    void begin(void (*configure)(SimDesktop *) = nullptr) {
        simDesktopReset();
        nowMs = 5000.0;
        ticks = 0xFFFFFF00u; // 256 ms before the 32-bit message time wraps: longer runs straddle it
        setManualClockMs(nowMs);
        onDesktop([&](SimDesktop * d) {
            d->manualTicks  = true;
            d->ticks        = ticks;
            d->instantWaits = true;
            if (configure != nullptr) {
                configure(d);
            }
        });
        tornDown          = false;
        state             = captureStateCreate();
        state->stopEvent  = eventCreate();
        state->readyEvent = eventCreate();
        {
            ScopedLock held(&state->lock);
            resetCapture(state, "awaiting-neutral", "backend", nowMs);
        }
        looping = workerSetUp(state, &run);
    }
    void advance(double ms) {
        nowMs += ms;
        ticks += (uint64_t) ms;
        setManualClockMs(nowMs);
        onDesktop([&](SimDesktop * d) { d->ticks = ticks; });
    }
    // One worker step; false once the loop has ended.
    bool step() { return looping = looping && workerStep(state, &run); }
    // One step 25 ms after the last: a sampling, when the poll is due.
    void sample() {
        advance(25.0);
        step();
    }
    void runFor(double ms) {
        for (double passed = 0.0; passed < ms; passed += 5.0) {
            advance(5.0), step();
        }
    }
    // `during` runs on this driver inside every sampling, which reads the left button once; null for none.
    void duringSampling(void (*during)(WorkerDriver *)) {
        static void (*hook)(WorkerDriver *);
        static WorkerDriver * self; // the desktop's read hook takes no context
        hook = during, self = this;
        onDesktop([](SimDesktop * d) {
            d->onKeyRead = [](uint32_t vkey) {
                if (vkey == 1 && hook != nullptr) {
                    hook(self);
                }
            };
        });
    }
    // The two samplings that arm a neutral capture; true when armed.
    bool         arm() { return sample(), sample(), armed(); }
    WindowHandle window() const { return simWindowOf(state); }
    void         setKeyDown(uint32_t vkey, bool down) {
                onDesktop([&](SimDesktop * d) { d->keyDown[vkey & 0xFF] = down; });
    }
    // A record ageMs old with the generic vkey raw input reports; the sided physical key follows it.
    bool key(uint16_t makeCode, uint16_t flags, uint16_t vkey, uint32_t ageMs = 0, uintptr_t device = 1) {
        const bool e0 = (flags & 2) != 0, release = (flags & 1) != 0;
        const bool right = vkey == 0x10 ? makeCode == 0x36 : e0; // Shift's sides differ by scan code
        setKeyDown(vkey >= 0x10 && vkey <= 0x12 ? 0xA0 + 2 * (vkey - 0x10) + right : vkey, !release);
        return simPostRawKeyboard(window(), device, makeCode, flags, vkey, release ? messageKeyUp : messageKeyDown,
                                  (uint32_t) (ticks - ageMs));
    }
    // One key record, stepped: the failure it leaves.
    const char * afterKey(uint16_t makeCode, uint16_t flags, uint16_t vkey, uint32_t ageMs = 0) {
        EXPECT_TRUE(key(makeCode, flags, vkey, ageMs));
        step();
        return failure();
    }
    bool button(uint16_t buttonFlags) { return simPostRawMouse(window(), 7, buttonFlags, (uint32_t) ticks); }
    // A notice to the worker's window, handled.
    bool notice(uint32_t message, uintptr_t code) { return simPostMessage(window(), message, code, 0) && step(); }
    const DrainCopy & drain() {
        drainCapture(state, &copy);
        return copy;
    }
    bool         armed() const { return state->armed.load() != 0; }
    const char * failure() { return captureStatus(state).failure; }
    void         tearDown() {
                if (!tornDown) {
                    workerTearDown(state, &run);
                    tornDown = true;
        }
    }
    void finish() {
        if (state != nullptr) {
            tearDown();
            captureStateDestroy(state);
            state = nullptr;
        }
    }
    void restart(void (*configure)(SimDesktop *) = nullptr) { finish(), begin(configure); }
    ~WorkerDriver() { finish(); }
};

// Tests of one worker, begun on a fresh desktop.
struct WorkerTest : ::testing::Test {
    WorkerDriver w;
    void         SetUp() override { w.begin(); }
};

} // namespace keywatch
