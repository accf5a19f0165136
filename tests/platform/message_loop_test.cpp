#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/window.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

namespace {

struct Seen {
    std::uint32_t message;
    plat::WParam wParam;
    plat::ThreadId thread;
};
std::mutex g_seenMutex;
std::vector<Seen> g_seen;

plat::LResult RecordingProc(plat::Hwnd, std::uint32_t message, plat::WParam wParam, plat::LParam) {
    std::lock_guard lock(g_seenMutex);
    g_seen.push_back({message, wParam, plat::CurrentThreadId()});
    return 0;
}

std::atomic<int> g_timerFires{0};
std::atomic<plat::ThreadId> g_timerThread{0};
void CountingTimer(plat::Hwnd, std::uint32_t, std::uintptr_t, std::uint32_t) {
    ++g_timerFires;
    g_timerThread = plat::CurrentThreadId();
}

std::size_t SeenCount() {
    std::lock_guard lock(g_seenMutex);
    return g_seen.size();
}

class MessageLoopTest : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(g_seenMutex);
        g_seen.clear();
        g_timerFires = 0;
    }
};

// A worker with a hidden window, running the classic loop until WM_QUIT.
struct LoopThread {
    plat::Thread thread;
    std::atomic<plat::Hwnd> window{nullptr};
    std::atomic<bool> ended{false};

    void Start(bool withTimer = false) {
        thread.Start([this, withTimer] {
            window = plat::CreateHiddenWindow(RecordingProc, "test");
            std::uintptr_t timer = withTimer ? plat::SetTimer(20, CountingTimer) : 0;
            plat::Msg msg;
            while (plat::GetMessage(&msg) > 0) {
                plat::TranslateMessage(msg);
                plat::DispatchMessage(msg);
            }
            if (timer) plat::KillTimer(timer);
            ended = true;
            return 0u;
        });
        WaitFor([this] { return window.load() != nullptr; });
    }
};

}  // namespace

TEST_F(MessageLoopTest, PostsFromAnotherThreadAreDispatchedOnTheOwningThreadInOrder) {
    LoopThread loop;
    loop.Start();
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(plat::PostMessage(loop.window, plat::kWmUser + 1, i, 0));
    ASSERT_TRUE(WaitFor([] { return SeenCount() == 100; }));
    {
        std::lock_guard lock(g_seenMutex);
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(g_seen[i].wParam, static_cast<plat::WParam>(i));
            EXPECT_EQ(g_seen[i].thread, loop.thread.Id());
        }
    }
    ASSERT_TRUE(plat::PostThreadMessage(loop.thread.Id(), plat::kWmQuit, 0, 0));
    EXPECT_TRUE(loop.thread.WaitForExit(5000));
    EXPECT_TRUE(loop.ended);
}

TEST_F(MessageLoopTest, EveryPostWakesASleepingLoop) {
    // One message at a time, each posted while the loop is (about to be)
    // asleep: a wake-up lost between the loop's last look and its wait
    // would leave a message undelivered and this test stuck.
    LoopThread loop;
    loop.Start();
    std::vector<std::thread> posters;
    std::atomic<bool> lost{false};
    for (int p = 0; p < 2; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < 2000 && !lost; ++i) {
                std::size_t before;
                {
                    std::lock_guard lock(g_seenMutex);
                    before = g_seen.size();
                }
                plat::PostMessage(loop.window, plat::kWmUser + 1 + p, i, 0);
                const std::int64_t end = plat::MonotonicMs() + 5000;
                while (SeenCount() <= before) {
                    if (plat::MonotonicMs() > end) {
                        lost = true;
                        return;
                    }
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : posters) t.join();
    EXPECT_FALSE(lost);
    EXPECT_EQ(SeenCount(), 4000u);
    ASSERT_TRUE(plat::PostThreadMessage(loop.thread.Id(), plat::kWmQuit, 0, 0));
    EXPECT_TRUE(loop.thread.WaitForExit(5000));
}

TEST_F(MessageLoopTest, ThreadCanBePostedToAsSoonAsItStarted) {
    plat::Thread thread;
    std::atomic<bool> sawQuit{false};
    plat::AutoResetEvent go;
    thread.Start([&] {
        go.Wait(-1);  // the quit is posted before this thread ever looks at its queue
        plat::Msg msg;
        sawQuit = plat::GetMessage(&msg) == 0;
        return 0u;
    });
    EXPECT_TRUE(plat::PostThreadMessage(thread.Id(), plat::kWmQuit, 0, 0));
    go.Set();
    EXPECT_TRUE(thread.WaitForExit(5000));
    EXPECT_TRUE(sawQuit);
}

TEST_F(MessageLoopTest, ThreadTimerFiresOnItsOwnThreadUntilKilled) {
    LoopThread loop;
    loop.Start(/*withTimer=*/true);
    ASSERT_TRUE(WaitFor([] { return g_timerFires.load() >= 3; }));
    EXPECT_EQ(g_timerThread.load(), loop.thread.Id());
    plat::PostThreadMessage(loop.thread.Id(), plat::kWmQuit, 0, 0);
    EXPECT_TRUE(loop.thread.WaitForExit(5000));
}

TEST_F(MessageLoopTest, KilledTimerStopsFiring) {
    std::uintptr_t id = plat::SetTimer(10, CountingTimer);
    ASSERT_NE(id, 0u);
    plat::Msg msg;
    while (g_timerFires.load() < 2) {
        ASSERT_NE(plat::GetMessageFor(&msg, 2000), plat::WaitResult::kTimeout);
        plat::DispatchMessage(msg);
    }
    EXPECT_TRUE(plat::KillTimer(id));
    EXPECT_FALSE(plat::KillTimer(id));
    int before = g_timerFires.load();
    while (plat::GetMessageFor(&msg, 60) != plat::WaitResult::kTimeout) plat::DispatchMessage(msg);
    EXPECT_EQ(g_timerFires.load(), before);
}

TEST_F(MessageLoopTest, GetMessageForTimesOutOnAnEmptyQueue) {
    plat::Msg msg;
    std::int64_t start = plat::MonotonicMs();
    EXPECT_EQ(plat::GetMessageFor(&msg, 50), plat::WaitResult::kTimeout);
    EXPECT_GE(plat::MonotonicMs() - start, 45);
    EXPECT_FALSE(plat::PeekMessage(&msg));
}

TEST_F(MessageLoopTest, ForwardingWindowHandsMessagesToTheForeignLoop) {
    std::vector<plat::Msg> forwarded;
    plat::Hwnd window =
        plat::CreateForwardingWindow([&](const plat::Msg& m) { forwarded.push_back(m); });
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(plat::PostMessage(window, 0x2B10, 513, 42));
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].message, 0x2B10u);
    EXPECT_EQ(forwarded[0].wParam, 513u);
    EXPECT_EQ(forwarded[0].lParam, 42);
    EXPECT_TRUE(plat::DestroyWindow(window));
    EXPECT_FALSE(plat::PostMessage(window, 0x2B10, 513, 42));
}

TEST_F(MessageLoopTest, DestroyedWindowDropsItsPendingMessages) {
    plat::Hwnd window = plat::CreateHiddenWindow(RecordingProc, "test");
    plat::PostMessage(window, plat::kWmUser, 1, 0);
    plat::DestroyWindow(window);
    plat::Msg msg;
    while (plat::PeekMessage(&msg)) plat::DispatchMessage(msg);
    EXPECT_EQ(SeenCount(), 0u);
    EXPECT_FALSE(plat::IsWindow(window));
}

TEST_F(MessageLoopTest, CreationFailuresCanBeInjected) {
    plat::SetWindowCreationFailsForTesting(1);
    EXPECT_EQ(plat::CreateHiddenWindow(RecordingProc, "test"), nullptr);
    plat::Hwnd ok = plat::CreateHiddenWindow(RecordingProc, "test");
    EXPECT_NE(ok, nullptr);
    plat::DestroyWindow(ok);

    plat::Thread::SetStartFailsForTesting(1);
    plat::Thread thread;
    EXPECT_FALSE(thread.Start([] { return 0u; }));
}

TEST(CalendarClock, OffsetShiftsEveryReading) {
    std::int64_t before = plat::CalendarSeconds();
    plat::SetCalendarOffsetForTesting(10'000);
    std::int64_t shifted = plat::CalendarSeconds();
    plat::SetCalendarOffsetForTesting(0);
    EXPECT_GE(shifted - before, 10);
    EXPECT_LE(shifted - before, 11);
}

TEST(CalendarClock, LocalTimeTextIsTheTwentyFourCharacterCalendarText) {
    std::string text = plat::LocalTimeText(plat::CalendarSeconds());
    ASSERT_EQ(text.size(), 24u);
    EXPECT_EQ(text[3], ' ');
    EXPECT_EQ(text[7], ' ');
    EXPECT_EQ(text[13], ':');
}
