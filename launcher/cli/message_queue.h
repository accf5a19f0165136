// CliMessageQueue: the terminal program's stand-in for its window's message
// queue. The service posts from its worker thread (through a forwarding
// window), the controller posts to itself from the main thread, and the
// signal watcher asks for a stop from its own thread; only the main thread
// takes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/window.h"

struct CliQueuedMessage {
    std::uint32_t message = 0;
    plat::WParam wParam = 0;
    plat::LParam lParam = 0;
};

class CliMessageQueue {
public:
    using Clock = std::chrono::steady_clock;

    // Any thread.
    void Post(std::uint32_t message, plat::WParam wParam, plat::LParam lParam);
    // Any thread. The first signal is kept; it wins over queued messages.
    void RequestStop(int signal);
    bool StopRequested() const { return stopSignal_.load() != 0; }
    // 0 until a stop was requested.
    int StopSignal() const { return stopSignal_.load(); }

    // Waits until a message is queued, a stop is requested or `deadline`
    // passes. Nothing when the wait ended without a message (check
    // StopRequested).
    //
    // Once the queue has been emptied, the next wait lets messages gather
    // for kGatherTime before it takes one. The worker posts an event per
    // finished file, and each taken event makes this thread read the job
    // through the service lock: taken one by one, every event costs the
    // worker a wake-up of this thread and a contended lock. Gathered, a
    // burst costs one. Messages already queued (the controller's posts to
    // itself among them) are taken at once.
    std::optional<CliQueuedMessage> Take(Clock::time_point deadline);

    static constexpr auto kGatherTime = std::chrono::milliseconds(10);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<CliQueuedMessage> messages_;
    Clock::time_point gatherUntil_{};
    std::atomic<int> stopSignal_{0};
};
