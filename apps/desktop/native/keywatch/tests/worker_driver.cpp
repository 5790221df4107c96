#include "worker_driver.h"

#include <gtest/gtest.h>

#include "manual_clock.h"

namespace keywatch {

void WorkerDriver::begin(void (*configure)(SimDesktop *)) {
    simDesktopReset();
    nowMs = 5000.0;
    ticks = startTicks;
    setManualClockMs(nowMs);
    SimDesktop * d = simDesktopBegin();
    d->manualTicks  = true;
    d->ticks        = ticks;
    d->instantWaits = true;
    if (configure != nullptr) {
        configure(d);
    }
    simDesktopEnd();
    tornDown = false;
    delete copy;
    copy  = new DrainCopy;
    state = captureStateCreate();
    state->stopEvent  = eventCreate();
    state->readyEvent = eventCreate();
    lockAcquire(&state->lock);
    resetCapture(state, "awaiting-neutral", "backend", nowMs);
    lockRelease(&state->lock);
    looping = workerSetUp(state, &run);
}

void WorkerDriver::advance(double ms) {
    nowMs += ms;
    ticks += (uint64_t) ms;
    setManualClockMs(nowMs);
    SimDesktop * d = simDesktopBegin();
    d->ticks = ticks;
    simDesktopEnd();
}

bool WorkerDriver::step() {
    looping = looping && workerStep(state, &run);
    return looping;
}

void WorkerDriver::runFor(double ms) {
    for (double passed = 0.0; passed < ms; passed += 5.0) {
        advance(5.0);
        step();
    }
}

bool WorkerDriver::arm() {
    sample();
    sample();
    return armed();
}

WindowHandle WorkerDriver::window() const { return simWindowOf(state); }

void WorkerDriver::setKeyDown(uint32_t vkey, bool down) {
    SimDesktop * d = simDesktopBegin();
    d->keyDown[vkey & 0xFF] = down;
    simDesktopEnd();
}

// Raw input names Shift, Control and Alt by their generic codes; the
// physical key is the sided one that the scan code tells.
static uint32_t physicalKey(uint16_t makeCode, uint16_t flags, uint16_t vkey) {
    const bool e0 = (flags & 2) != 0;
    switch (vkey) {
        case 0x10: return makeCode == 0x36 ? 0xA1 : 0xA0;
        case 0x11: return e0 ? 0xA3 : 0xA2;
        case 0x12: return e0 ? 0xA5 : 0xA4;
        default:   return vkey;
    }
}

bool WorkerDriver::key(uint16_t makeCode, uint16_t flags, uint16_t vkey, uint32_t ageMs, uintptr_t device) {
    const bool release = (flags & 1) != 0;
    setKeyDown(physicalKey(makeCode, flags, vkey), !release);
    return simPostRawKeyboard(window(), device, makeCode, flags, vkey, release ? messageKeyUp : messageKeyDown,
                              (uint32_t) (ticks - ageMs));
}

bool WorkerDriver::button(uint16_t buttonFlags, uintptr_t device) {
    return simPostRawMouse(window(), device, buttonFlags, (uint32_t) ticks);
}

const DrainCopy & WorkerDriver::drain() {
    drainCapture(state, copy);
    return *copy;
}

const char * WorkerDriver::failure() { return captureStatus(state).failure; }

void WorkerDriver::tearDown() {
    if (!tornDown) {
        workerTearDown(state, &run);
        tornDown = true;
    }
}

void WorkerDriver::finish() {
    if (state != nullptr) {
        tearDown();
        captureStateDestroy(state);
        state = nullptr;
    }
    delete copy;
    copy = nullptr;
}

void expectFailure(const char * expected, const char * actual) {
    if (expected == nullptr) {
        EXPECT_EQ(actual, nullptr);
    } else {
        ASSERT_NE(actual, nullptr) << "expected " << expected;
        EXPECT_STREQ(actual, expected);
    }
}

} // namespace keywatch
