#include "transport/garbage_collector.h"

#include <gtest/gtest.h>

#include "platform/kernel.h"

namespace {

int g_destroyed = 0;

class Probe : public vzCRefCounted<vzIUnknown> {
public:
    ~Probe() override { ++g_destroyed; }
};

class GarbageCollectorTest : public testing::Test {
protected:
    void SetUp() override {
        g_destroyed = 0;
        collector_.Start();
    }
    void TearDown() override { plat::SetCalendarOffsetForTesting(0); }

    // Hands a fresh object over within one calendar second; returns that second.
    std::int64_t HandOver() {
        for (;;) {
            std::int64_t before = plat::CalendarSeconds();
            vzSmartPtr holder(new Probe);
            collector_.DeferRelease(holder);
            if (plat::CalendarSeconds() == before) return before;
            collector_.Stop();  // crossed a second boundary: try again
            collector_.Start();
            g_destroyed = 0;
        }
    }
    // Sets the calendar clock so that it reads `second` plus a little.
    static void ClockAt(std::int64_t second) {
        std::int64_t offsetMs = plat::CalendarOffsetForTesting();
        plat::CalendarTime now = plat::CalendarNow();
        std::int64_t nowMs = now.seconds * 1000 + now.millis;
        plat::SetCalendarOffsetForTesting(offsetMs + (second * 1000 + 100) - nowMs);
    }

    vzCGarbageCollector collector_;
};

}  // namespace

TEST_F(GarbageCollectorTest, ObjectOutlivesItsLastOwnerUntilThreeWholeSecondsHavePassed) {
    std::int64_t t = HandOver();
    EXPECT_EQ(g_destroyed, 0);  // the caller's reference is gone, the entry's holds it
    ClockAt(t + 3);
    collector_.Sweep();
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(collector_.PendingCount(), 1);
    ClockAt(t + 4);
    collector_.Sweep();
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(collector_.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, SweepStopsAtTheFirstEntryNotYetExpired) {
    std::int64_t t = HandOver();
    ClockAt(t + 2);
    vzSmartPtr later(new Probe);
    collector_.DeferRelease(later);
    later.Reset();
    ClockAt(t + 4);
    collector_.Sweep();
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(collector_.PendingCount(), 1);
}

TEST_F(GarbageCollectorTest, EmptyHolderAddsNothing) {
    collector_.DeferRelease(vzSmartPtr());
    EXPECT_EQ(collector_.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, StopReleasesEntriesThatHaveNotExpired) {
    HandOver();
    HandOver();
    collector_.Stop();
    EXPECT_EQ(g_destroyed, 2);
    EXPECT_EQ(collector_.PendingCount(), 0);
}
