// Shared fixture for tracker tests on the simulated platform.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include "sim.h"
#include "identity.h"
#include "tracker.h"

namespace appfocus {

inline ContextSnapshot snapshotOf(ForegroundTracker * t) {
    ContextSnapshot s;
    double          clockMs;
    copySnapshot(t, &s, &clockMs);
    return s;
}

inline bool identityEmpty(const AppIdentity & identity) {
    static const AppIdentity zero = {};
    return identityEqual(identity, zero);
}

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        sim::setClockMs(1000);
    }
    void TearDown() override {
        sim::holdThreads(false);
        stop(&tracker);
        if (stepping) tearDownStepped();
        // What the stepped run left in this thread's queue must not reach the next test.
        while (platform::pumpMessage() != platform::PumpEmpty) {
        }
        sim::reset();
    }
    // A run whose tracker thread is this one, stepped by the test; waits return at once.
    bool setUpStepped() {
        sim::setInstantWaits(true);
        openRun(&tracker);
        stepping = true;
        return trackerSetUp(&tracker, &run);
    }
    bool step() { return trackerStep(&tracker, &run); }
    void tearDownStepped() {
        trackerTearDown(&tracker, &run);
        stepping = false;
    }
    // Running, with the tracker thread held at its start so that the test thread probes.
    void startHeld() {
        sim::holdThreads(true);
        start(&tracker);
    }
    ContextSnapshot snap() { return snapshotOf(&tracker); }
    bool            settled() {
                   ContextSnapshot s = snap();
                   return s.running && s.reason != SnapshotReason::MetadataPending;
    }

    ForegroundTracker tracker;
    TrackerRun        run      = {};
    bool              stepping = false;
};

} // namespace appfocus
