#include "launcher/cli/message_queue.h"

#include <algorithm>
#include <thread>

void CliMessageQueue::Post(std::uint32_t message, plat::WParam wParam, plat::LParam lParam) {
    {
        std::lock_guard lock(mutex_);
        messages_.push_back({message, wParam, lParam});
    }
    ready_.notify_one();
}

void CliMessageQueue::RequestStop(int signal) {
    {
        // Under the lock, so that a waiter cannot miss the change between
        // its check and its sleep.
        std::lock_guard lock(mutex_);
        int none = 0;
        stopSignal_.compare_exchange_strong(none, signal);
    }
    ready_.notify_one();
}

std::optional<CliQueuedMessage> CliMessageQueue::Take(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (messages_.empty() && !StopRequested()) {
        // Let a burst gather: asleep, not waiting on the condition, so the
        // worker's posts meanwhile wake nobody.
        const Clock::time_point until = std::min(gatherUntil_, deadline);
        if (until > Clock::now()) {
            lock.unlock();
            std::this_thread::sleep_until(until);
            lock.lock();
        }
    }
    ready_.wait_until(lock, deadline, [&] { return !messages_.empty() || StopRequested(); });
    if (StopRequested() || messages_.empty()) return std::nullopt;
    CliQueuedMessage message = messages_.front();
    messages_.pop_front();
    if (messages_.empty()) gatherUntil_ = Clock::now() + kGatherTime;
    return message;
}
