#include "platform/kernel.h"

#include <time.h>

#include <chrono>
#include <thread>

#include "platform/detail/thread_queue.h"

namespace plat {
namespace {
std::atomic<int> g_failThreadStarts{0};
std::atomic<std::int64_t> g_calendarOffsetMs{0};
}  // namespace

struct Thread::State {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    bool exited = false;
    bool joined = false;
};

Thread::~Thread() {
    if (state_ && state_->thread.joinable()) {
        if (WaitForExit(0)) return;
        state_->thread.detach();
    }
}

bool Thread::Start(std::function<std::uint32_t()> body) {
    if (state_) return false;
    int fails = g_failThreadStarts.load();
    while (fails > 0 && !g_failThreadStarts.compare_exchange_weak(fails, fails - 1)) {
    }
    if (fails > 0) return false;

    auto state = std::make_shared<State>();
    AutoResetEvent ready;
    ThreadId id = 0;
    try {
        state->thread = std::thread([state, &ready, &id, body = std::move(body)]() {
            detail::CurrentQueue();  // the queue exists before anyone can post to us
            id = CurrentThreadId();
            ready.Set();
            body();
            std::lock_guard lock(state->mutex);
            state->exited = true;
            state->cv.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    ready.Wait(-1);
    id_ = id;
    state_ = std::move(state);
    return true;
}

bool Thread::WaitForExit(int timeoutMs) {
    if (!state_) return true;
    {
        std::unique_lock lock(state_->mutex);
        auto done = [this] { return state_->exited; };
        if (timeoutMs < 0)
            state_->cv.wait(lock, done);
        else if (!state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
            return false;
    }
    if (state_->thread.joinable()) state_->thread.join();
    return true;
}

void Thread::Abandon() {
    if (state_ && state_->thread.joinable()) state_->thread.detach();
}

void Thread::SetStartFailsForTesting(int count) {
    g_failThreadStarts = count;
}

void AutoResetEvent::Set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    cv_.notify_one();
}

bool AutoResetEvent::Wait(int timeoutMs) {
    std::unique_lock lock(mutex_);
    auto isSet = [this] { return signalled_; };
    if (timeoutMs < 0)
        cv_.wait(lock, isSet);
    else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet))
        return false;
    signalled_ = false;
    return true;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

CalendarTime CalendarNow() {
    using namespace std::chrono;
    std::int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() +
                      g_calendarOffsetMs.load();
    CalendarTime t;
    t.seconds = ms / 1000;
    t.millis = static_cast<std::uint16_t>(ms % 1000);
    if (ms < 0 && t.millis != 0) {  // keep millis within 0..999 before 1970
        t.seconds -= 1;
        t.millis = static_cast<std::uint16_t>(1000 + ms % 1000);
    }
    return t;
}

std::int64_t CalendarSeconds() {
    return CalendarNow().seconds;
}

void SetCalendarOffsetForTesting(std::int64_t offsetMs) {
    g_calendarOffsetMs = offsetMs;
}
std::int64_t CalendarOffsetForTesting() {
    return g_calendarOffsetMs.load();
}

std::string LocalTimeText(std::int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    tm local{};
    char buf[64] = {};
    if (!localtime_r(&t, &local) || !asctime_r(&local, buf)) return std::string(24, '?');
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace plat
