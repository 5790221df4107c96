// The host thread snapshotting, rechecking, stopping and starting while the
// tracker thread probes and a third thread changes the foreground. Run
// under ThreadSanitizer (QUILLET_SANITIZE=thread) this is the race check;
// elsewhere it still checks that every copied record is consistent.
#include <atomic>
#include <string.h>
#include <thread>

#include "tests/test_support.h"

namespace appfocus {
namespace {

const platform::WindowHandle kWindowA = 0xa0;
const platform::WindowHandle kWindowB = 0xb0;

class TrackerRace : public TrackerTest {
protected:
    void SetUp() override {
        sim::reset();  // real clock: the poll runs too
        sim::addApp(kWindowA, 11, u"C:\\A\\alpha.exe");
        sim::addApp(kWindowB, 22, u"C:\\B\\beta.exe");
        sim::setForeground(kWindowA, false);
        switcher = std::thread([this] {
            for (int i = 0; !done.load(); i++) {
                sim::setForeground(i % 2 ? kWindowA : kWindowB, true);
                if (i % 7 == 0) sim::raiseWinEvent(platform::kEventObjectDestroy, kWindowA, 0);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    void TearDown() override {
        done.store(true);
        switcher.join();
        TrackerTest::TearDown();
    }

    // Every copy is one whole record: no mix of two probes.
    void expectConsistent(const ContextSnapshot &s) {
        if (s.valid) {
            EXPECT_EQ(s.reason, SnapshotReason::None);
            bool alpha = strcmp(s.identity.name, "alpha") == 0 && s.identity.processId == 11 &&
                         s.identity.windowHandle == kWindowA;
            bool beta = strcmp(s.identity.name, "beta") == 0 && s.identity.processId == 22 &&
                        s.identity.windowHandle == kWindowB;
            EXPECT_TRUE(alpha || beta) << s.identity.name;
            EXPECT_GT(s.changedMs, 0);
            EXPECT_LE(s.changedMs, s.observedMs);
        } else {
            EXPECT_TRUE(identityEmpty(s.identity));
            EXPECT_NE(s.reason, SnapshotReason::None);
        }
    }

    std::atomic<bool> done{false};
    std::thread switcher;
};

TEST_F(TrackerRace, SnapshotAndRecheckWhileTheTrackerProbes) {
    start(&tracker);
    int resolved = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 50; i++) {
            ContextSnapshot s = snapshotOf(&tracker);
            EXPECT_TRUE(s.running);
            EXPECT_EQ(s.epoch, 2u);
            expectConsistent(s);
            resolved += s.valid;
        }
        recheck(&tracker);
    }
    EXPECT_GT(resolved, 0);
}

TEST_F(TrackerRace, StartAndStopWhileEventsArrive) {
    for (int round = 0; round < 20; round++) {
        start(&tracker);
        for (int i = 0; i < 20; i++) {
            expectConsistent(snapshotOf(&tracker));
            recheck(&tracker);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        stop(&tracker);
        ContextSnapshot s = snapshotOf(&tracker);
        EXPECT_EQ(s.reason, SnapshotReason::Stopped);
        EXPECT_EQ(s.epoch, 2u + round);
    }
    EXPECT_EQ(sim::threadCounts().running, 0u);
}

}  // namespace
}  // namespace appfocus
