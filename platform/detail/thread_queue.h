// Internal to platform/: the per-thread queue behind the window system, and
// the hooks through which the socket notifications use its wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/window.h"

namespace plat::detail {

class ThreadQueue {
public:
    explicit ThreadQueue(ThreadId owner);
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    bool Valid() const { return epollFd_ >= 0 && wakeFd_ >= 0; }
    ThreadId Owner() const { return owner_; }
    int EpollFd() const { return epollFd_; }

    // Any thread.
    void Post(const Msg& msg);
    // Withdraws posted messages that match; any thread.
    void Purge(const std::function<bool(const Msg&)>& matches);

    // Owner thread only.
    WaitResult Get(Msg* out, int timeoutMs);

    std::uintptr_t AddTimer(std::uint32_t intervalMs, TimerProc proc);
    bool RemoveTimer(std::uintptr_t id);

private:
    struct Timer {
        std::uintptr_t id;
        std::uint32_t intervalMs;
        std::int64_t dueMs;
        TimerProc proc;
    };

    // Returns true and fills `out` when a timer is due; otherwise sets
    // `waitMs` to the time until the next one (-1 when there is none).
    bool TakeDueTimer(std::int64_t nowMs, Msg* out, std::int64_t* waitMs);
    // `messagesWaiting`: posted messages wait, so the poll does not block.
    void PollReadiness(int timeoutMs, bool messagesWaiting);

    const ThreadId owner_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> wakePending_{false};
    std::mutex mutex_;
    std::deque<Msg> posted_;
    std::vector<Timer> timers_;
    unsigned takenSincePoll_ = 0;
};

// The calling thread's queue, created on first use.
ThreadQueue* CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueueShared();
std::shared_ptr<ThreadQueue> QueueOfThread(ThreadId id);
// Null for an unknown window and for a forwarding window.
std::shared_ptr<ThreadQueue> QueueOfWindow(Hwnd hwnd);

// Implemented by the socket layer: turns epoll readiness of a watched socket
// into notifications posted to its window. Runs on the queue's owner thread.
// `messagesWaiting`: the poll did not block because posted messages wait,
// so the loop handles them (and whatever notification the socket already
// has queued) before it polls again.
void OnSocketReadiness(std::uint64_t key, std::uint32_t epollEvents, bool messagesWaiting);

}  // namespace plat::detail
