// Shared fixture for tracker tests on the simulated platform.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "platform/sim.h"
#include "src/tracker.h"

namespace appfocus {

inline ContextSnapshot snapshotOf(ForegroundTracker *t) {
    ContextSnapshot s;
    double clockMs;
    copySnapshot(t, &s, &clockMs);
    return s;
}

inline bool identityEmpty(const AppIdentity &identity) {
    AppIdentity zero;
    memset(&zero, 0, sizeof(zero));
    return identityEqual(identity, zero);
}

// Polls until pred holds or two seconds pass; returns whether it held.
template <typename Pred>
bool eventually(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
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
    // Running, but with the tracker thread held at its start, so the test
    // thread runs the probes itself.
    void startHeld() {
        sim::holdThreads(true);
        start(&tracker);
    }
    ContextSnapshot snap() { return snapshotOf(&tracker); }
    bool settled() {
        ContextSnapshot s = snap();
        return s.running && s.reason != SnapshotReason::MetadataPending;
    }

    ForegroundTracker tracker;
};

}  // namespace appfocus
