// Host calls racing the tracker thread and a foreground switcher: the race check under TSan, whole records always.
#include <atomic>
#include <thread>

#include "test_support.h"

namespace appfocus {
namespace {

class TrackerRace : public TrackerTest {
protected:
    void SetUp() override {
        sim::reset(); // real clock: the poll runs too
        sim::addApp(0xa0, 11, u"C:\\A\\alpha.exe");
        sim::addApp(0xb0, 22, u"C:\\B\\beta.exe");
        switcher = std::thread([this] {
            for (int i = 0; !done.load(); i++) {
                sim::setForeground(i % 2 ? 0xa0 : 0xb0, true);
                if (i % 7 == 0) sim::raiseWinEvent(platform::eventObjectDestroy, 0xa0, 0);
                std::this_thread::yield();
            }
        });
    }
    void TearDown() override {
        done.store(true);
        switcher.join();
        TrackerTest::TearDown();
    }
    void expectWhole(const ContextSnapshot & s) {
        if (s.valid) {
            const AppIdentity & id = s.identity;
            EXPECT_TRUE((strcmp(id.name, "alpha") == 0 && id.processId == 11 && id.windowHandle == 0xa0) ||
                        (strcmp(id.name, "beta") == 0 && id.processId == 22 && id.windowHandle == 0xb0));
            EXPECT_EQ(s.reason, SnapshotReason::None);
            EXPECT_GT(s.changedMs, 0);
            EXPECT_LE(s.changedMs, s.observedMs);
        } else {
            EXPECT_TRUE(identityEmpty(s.identity));
            EXPECT_NE(s.reason, SnapshotReason::None);
        }
    }
    std::atomic<bool> done{false};
    std::thread       switcher;
};

TEST_F(TrackerRace, SnapshotRecheckStopAndStartWhileTheTrackerProbes) {
    for (int round = 0; round < 20; round++) {
        start(&tracker);
        for (int i = 0; i < 40; i++) {
            ContextSnapshot s = snapshotOf(&tracker);
            EXPECT_EQ(s.epoch, 2u + round);
            expectWhole(s);
            if (i % 4 == 0) recheck(&tracker);
            std::this_thread::yield();
        }
        stop(&tracker);
        EXPECT_EQ(snapshotOf(&tracker).reason, SnapshotReason::Stopped);
    }
    EXPECT_EQ(sim::threadCounts().running, 0u);
}

} // namespace
} // namespace appfocus
