// Shared fixture for tracker tests on the simulated platform.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <thread>

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

// Polls until pred holds or ms pass; returns whether it held.
template <typename Pred>
bool eventually(Pred pred, int ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
        sim::reset();
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
};

} // namespace appfocus
