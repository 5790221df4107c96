#include "worker_driver.h"

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

void WorkerDriver::run_for(double ms, double stepMs) {
    for (double passed = 0.0; passed < ms; passed += stepMs) {
        advance(stepMs);
        step();
    }
}

bool WorkerDriver::arm() {
    advance(25.0);
    step();
    advance(25.0);
    step();
    return armed();
}

WindowHandle WorkerDriver::window() const { return simWindowOf(state); }

void WorkerDriver::setKeyDown(uint32_t vkey, bool down) {
    SimDesktop * d = simDesktopBegin();
    d->keyDown[vkey & 0xFF] = down;
    simDesktopEnd();
}

bool WorkerDriver::key(uint16_t makeCode, uint16_t flags, uint16_t vkey, uint32_t ageMs, uintptr_t device) {
    const bool release = (flags & 1) != 0;
    setKeyDown(vkey, !release);
    return simPostRawKeyboard(window(), device, makeCode, flags, vkey, release ? messageKeyUp : messageKeyDown,
                              (uint32_t) (ticks - ageMs));
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

} // namespace keywatch
