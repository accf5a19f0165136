// Library timers driven tick by tick on an injected calendar clock.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel.h"
#include "transport/cp_mutex.h"
#include "transport/cp_timer.h"

namespace {

class TimerTest : public testing::Test {
protected:
    void SetUp() override {
        EXPECT_TRUE(lock_.CreateInstance(kClassMutex));
        manager_ = new cpCTimerManager(lock_.As<cpCMutex>());
        ASSERT_TRUE(manager_->Valid());
        cpSetTimerManager(manager_);
    }
    void TearDown() override {
        delete manager_;
        cpSetTimerManager(nullptr);
        plat::SetCalendarOffsetForTesting(0);
    }

    cpCTimer* NewTimer() {
        holders_.emplace_back();
        EXPECT_TRUE(holders_.back().CreateInstance(kClassTimer));
        return holders_.back().As<cpCTimer>();
    }
    // Moves the calendar clock forward by `ms` and runs one tick.
    void AdvanceAndTick(std::int64_t ms) {
        plat::SetCalendarOffsetForTesting(plat::CalendarOffsetForTesting() + ms);
        manager_->Tick();
    }

    static void Count(void* counter) { ++*static_cast<int*>(counter); }

    vzSmartPtr lock_;
    cpCTimerManager* manager_ = nullptr;
    std::vector<vzSmartPtr> holders_;
};

struct StopOther {
    cpCTimer* other;
    int fired = 0;
};
void StopOtherTimer(void* v) {
    auto* s = static_cast<StopOther*>(v);
    ++s->fired;
    EXPECT_TRUE(vzSucceeded(s->other->Stop()));
}

}  // namespace

TEST_F(TimerTest, FiresWhenDueAndNotBefore) {
    int fired = 0;
    cpCTimer* timer = NewTimer();
    EXPECT_TRUE(vzSucceeded(timer->Start(1000, Count, &fired, kTimerIdNone, nullptr)));
    manager_->Tick();  // establishes the previous tick
    AdvanceAndTick(500);
    EXPECT_EQ(fired, 0);
    AdvanceAndTick(600);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timer->FireCount(), 2u);
}

TEST_F(TimerTest, LateTickFiresOnceAndKeepsTheSchedule) {
    int fired = 0;
    cpCTimer* timer = NewTimer();
    EXPECT_TRUE(vzSucceeded(timer->Start(1000, Count, &fired, kTimerIdNone, nullptr)));
    std::int64_t base = timer->Due().TotalMs() - 1000;
    manager_->Tick();
    AdvanceAndTick(1250);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timer->Due().TotalMs(), base + 2000);
}

TEST_F(TimerTest, TimerThatFellBehindCatchesUpOneFiringPerTick) {
    int fired = 0;
    cpCTimer* timer = NewTimer();
    EXPECT_TRUE(vzSucceeded(timer->Start(500, Count, &fired, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(2100);  // four periods late, still below a clock jump
    EXPECT_EQ(fired, 1);
    manager_->Tick();
    manager_->Tick();
    manager_->Tick();
    EXPECT_EQ(fired, 4);
    manager_->Tick();
    EXPECT_EQ(fired, 4);
}

TEST_F(TimerTest, ClockJumpRebasesEveryTimerWithoutFiring) {
    int fastFired = 0, slowFired = 0;
    cpCTimer* fast = NewTimer();
    cpCTimer* slow = NewTimer();
    EXPECT_TRUE(vzSucceeded(fast->Start(1000, Count, &fastFired, kTimerIdNone, nullptr)));
    EXPECT_TRUE(vzSucceeded(slow->Start(2000, Count, &slowFired, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(3000);  // the user moved the clock forward
    EXPECT_EQ(fastFired, 0);
    EXPECT_EQ(slowFired, 0);
    AdvanceAndTick(900);
    EXPECT_EQ(fastFired, 0);
    AdvanceAndTick(150);  // one full interval after the change
    EXPECT_EQ(fastFired, 1);
    EXPECT_EQ(slowFired, 0);
    AdvanceAndTick(1000);
    EXPECT_EQ(slowFired, 1);
}

TEST_F(TimerTest, BackwardClockJumpRebasesToo) {
    int fired = 0;
    cpCTimer* timer = NewTimer();
    EXPECT_TRUE(vzSucceeded(timer->Start(1000, Count, &fired, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(-3600 * 1000);
    EXPECT_EQ(fired, 0);
    AdvanceAndTick(1050);
    EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, TimerStoppedByAnotherTimersCallbackDoesNotFireInThatTick) {
    int victimFired = 0;
    cpCTimer* first = NewTimer();
    cpCTimer* victim = NewTimer();
    StopOther stopper{victim};
    EXPECT_TRUE(vzSucceeded(first->Start(100, StopOtherTimer, &stopper, kTimerIdNone, nullptr)));
    EXPECT_TRUE(vzSucceeded(victim->Start(100, Count, &victimFired, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(200);
    EXPECT_EQ(stopper.fired, 1);
    EXPECT_EQ(victimFired, 0);
    EXPECT_FALSE(victim->Running());
    EXPECT_EQ(manager_->Count(), 1u);
}

TEST_F(TimerTest, CallbackMayStopAndReleaseItsOwnTimer) {
    struct Self {
        vzSmartPtr holder;
        int fired = 0;
    } self;
    EXPECT_TRUE(self.holder.CreateInstance(kClassTimer));
    EXPECT_TRUE(vzSucceeded(self.holder.As<cpCTimer>()->Start(
        100,
        [](void* v) {
            auto* s = static_cast<Self*>(v);
            ++s->fired;
            EXPECT_TRUE(vzSucceeded(s->holder.As<cpCTimer>()->Stop()));
            s->holder.Reset();  // the tick's own reference keeps it alive until the pass ends
        },
        &self, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(200);
    EXPECT_EQ(self.fired, 1);
    EXPECT_EQ(manager_->Count(), 0u);
    AdvanceAndTick(200);
    EXPECT_EQ(self.fired, 1);
}

TEST_F(TimerTest, RestartTakesNowAsTheNewBase) {
    int fired = 0;
    cpCTimer* timer = NewTimer();
    EXPECT_TRUE(vzSucceeded(timer->Start(1000, Count, &fired, kTimerIdNone, nullptr)));
    manager_->Tick();
    AdvanceAndTick(800);
    EXPECT_TRUE(vzSucceeded(timer->Restart()));
    AdvanceAndTick(800);
    EXPECT_EQ(fired, 0);
    AdvanceAndTick(300);
    EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, HeldObjectLivesAsLongAsTheTimer) {
    vzSmartPtr held;
    EXPECT_TRUE(held.CreateInstance(kClassMutex));
    cpCTimer* timer = NewTimer();
    int fired = 0;
    EXPECT_TRUE(vzSucceeded(timer->Start(100, Count, &fired, kTimerIdNone, held.Get())));
    EXPECT_EQ(held.As<cpCMutex>()->RefCount(), 2);
    holders_.clear();  // releasing a running timer also unlists it
    EXPECT_EQ(held.As<cpCMutex>()->RefCount(), 1);
    EXPECT_EQ(manager_->Count(), 0u);
}
