// Kernel stand-ins: threads that own a message queue, auto-reset events with
// a timed wait, a recursive lock, and the calendar clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/window.h"

namespace plat {

// A thread with a message queue of its own that exists before the thread's
// function runs, so PostThreadMessage to its id works from the moment Start
// returns.
class Thread {
public:
    Thread() = default;
    ~Thread();  // detaches a thread that is still running
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when the thread cannot be started.
    bool Start(std::function<std::uint32_t()> body);
    ThreadId Id() const { return id_; }
    bool Started() const { return state_ != nullptr; }
    // True once the body has returned; waits at most timeoutMs (< 0: forever).
    bool WaitForExit(int timeoutMs);
    // Last resort for a thread that does not end: it is left running on its
    // own and no longer joined. Linux has no safe way to kill one thread of a
    // process, so whatever it still holds stays held.
    void Abandon();

    // Test seam: makes the next `count` Start calls fail.
    static void SetStartFailsForTesting(int count);

private:
    struct State;
    std::shared_ptr<State> state_;
    ThreadId id_ = 0;
};

class AutoResetEvent {
public:
    // Sets the event; one waiter (now or later) is released and it resets.
    void Set();
    // True when the event was set within timeoutMs (< 0: forever).
    bool Wait(int timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// A recursive lock (a Windows critical section). Like a critical section it
// knows its owning thread, so code that must run under it can check that it
// does (HeldByCurrentThread).
class RecursiveLock {
public:
    void Lock() {
        mutex_.lock();
        Entered();
    }
    void Unlock() {
        if (--depth_ == 0) owner_.store(std::thread::id());
        mutex_.unlock();
    }
    bool TryLock() {
        if (!mutex_.try_lock()) return false;
        Entered();
        return true;
    }
    // True when the calling thread holds the lock. Any thread may ask: only
    // the owner ever stores its own id, so no other thread can read a match.
    bool HeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }

private:
    void Entered() {
        if (depth_++ == 0) owner_.store(std::this_thread::get_id());
    }

    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched only by the owner
};

void SleepMs(int ms);

// Calendar time as _ftime64 gives it: whole seconds since 1970 and the
// milliseconds within the second.
struct CalendarTime {
    std::int64_t seconds = 0;
    std::uint16_t millis = 0;
};
CalendarTime CalendarNow();
std::int64_t CalendarSeconds();

// Test seam: all calendar readings are shifted by `offsetMs` (may be
// negative); used to simulate the user changing the system clock.
void SetCalendarOffsetForTesting(std::int64_t offsetMs);
std::int64_t CalendarOffsetForTesting();

// The 24-character local time text of ctime without its newline,
// "Wed Jan  2 02:03:55 1980".
std::string LocalTimeText(std::int64_t seconds);

// Monotonic milliseconds for intervals (never jumps).
std::int64_t MonotonicMs();

}  // namespace plat
