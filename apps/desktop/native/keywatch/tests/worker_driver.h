// Runs the capture worker one step at a time on the calling thread, with
// the module clock and the tick count set by hand and message waits that
// return at once, so that every timing rule is hit exactly.
#pragma once

#include <stdint.h>

#include "capture_state.h"
#include "capture_worker.h"
#include "frame_queue.h"
#include "sim.h"

namespace keywatch {

struct WorkerDriver {
    CaptureState * state      = nullptr;
    WorkerRun      run        = {};
    bool           looping    = false; // the worker's loop has not ended
    bool           tornDown   = false;
    double         nowMs      = 0.0;
    uint64_t       ticks      = 0;
    uint64_t       startTicks = 100000;
    DrainCopy *    copy       = nullptr;

    // A fresh desktop and record; `configure` may change the desktop before set-up.
    void begin(void (*configure)(SimDesktop *) = nullptr);
    // Both clocks move together.
    void advance(double ms);
    // One worker step; false once the loop has ended.
    bool step();
    // One step 25 ms after the last: a sampling, when the poll is due.
    void sample() { advance(25.0); step(); }
    // Steps every 5 ms until ms have passed.
    void runFor(double ms);
    // The two samplings that arm a neutral capture; true when armed.
    bool arm();
    WindowHandle window() const;
    // A keyboard record timed ageMs before now, as raw input reports it; the
    // physical key it names follows it.
    bool key(uint16_t makeCode, uint16_t flags, uint16_t vkey, uint32_t ageMs = 0, uintptr_t device = 1);
    bool button(uint16_t buttonFlags, uintptr_t device = 7);
    void setKeyDown(uint32_t vkey, bool down);
    // Takes everything queued.
    const DrainCopy & drain();
    bool armed() const { return state->armed.load() != 0; }
    const char * failure();
    void tearDown();
    // Teardown (unless done) and destruction of the record.
    void finish();
};

// Checks a failure string by text; null expects none.
void expectFailure(const char * expected, const char * actual);

} // namespace keywatch
