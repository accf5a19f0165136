#include "transport/cp_timer.h"

#include <atomic>
#include <cstdlib>

#include "transport/cp_mutex.h"

namespace {

constexpr std::uint32_t kThreadTimerMs = 100;
constexpr std::int64_t kClockJumpMs = 3000;
constexpr std::int64_t kEarlyToleranceMs = 10;

cpCTimerManager* g_timerManager = nullptr;
// The thread timer's record: the global timer lock and whether ticks may run.
cpCMutex* g_timerLock = nullptr;
std::atomic<int> g_threadTimerCount{0};

void ThreadTimerProc(plat::Hwnd, std::uint32_t, std::uintptr_t, std::uint32_t) {
    cpCMutex* lock = g_timerLock;
    if (!lock) return;
    cpLockGuard guard(lock);
    if (g_threadTimerCount.load() > 0 && g_timerManager) g_timerManager->Tick();
}

}  // namespace

cpCTimerManager* cpTimerManager() {
    return g_timerManager;
}
void cpSetTimerManager(cpCTimerManager* manager) {
    g_timerManager = manager;
}

vzStatus cpCTimer::Start(std::uint32_t intervalMs, cpTimerCallback callback, void* userValue,
                         std::uint32_t timerId, vzIUnknown* held) {
    callback_ = callback;
    userValue_ = userValue;
    intervalMs_ = intervalMs;
    held_ = held;
    Rebase(cpTimeStamp::Now());
    if (cpCTimerManager* manager = cpTimerManager())
        (void)manager->Add(this, timerId);  // the manager only lists the timer
    return kTransportOk;
}

cpCTimer::~cpCTimer() {
    // A timer released while running must not stay listed behind its owner's back.
    if (callback_) (void)Stop();  // stopping a timer cannot fail
}

vzStatus cpCTimer::Stop() {
    if (cpCTimerManager* manager = cpTimerManager())
        (void)manager->Remove(this);  // the manager only lists the timer
    due_ = {};
    callback_ = nullptr;
    return kTransportOk;
}

vzStatus cpCTimer::Restart() {
    Rebase(cpTimeStamp::Now());
    return kTransportOk;
}

void cpCTimer::Rebase(cpTimeStamp now) {
    base_ = now;
    due_ = cpTimeStamp::FromMs(now.TotalMs() + intervalMs_);
    fireCount_ = 1;
}

bool cpCTimer::FireIfDue(cpTimeStamp now) {
    if (!callback_) return false;
    bool due = now.seconds > due_.seconds ||
               (now.seconds == due_.seconds && now.millis + kEarlyToleranceMs >= due_.millis);
    if (!due) return false;
    ++fireCount_;
    due_ = cpTimeStamp::FromMs(base_.TotalMs() + std::int64_t{intervalMs_} * fireCount_);
    callback_(userValue_);
    return true;
}

cpCTimerManager::cpCTimerManager(cpCMutex* lock) : lock_(lock) {
    g_timerLock = lock;
    threadTimerId_ = plat::SetTimer(kThreadTimerMs, ThreadTimerProc);
    if (threadTimerId_ != 0) g_threadTimerCount.fetch_add(1);
}

cpCTimerManager::~cpCTimerManager() {
    cpLockGuard guard(lock_);
    if (threadTimerId_ != 0) {
        g_threadTimerCount.fetch_sub(1);
        plat::KillTimer(threadTimerId_);
        threadTimerId_ = 0;
    }
    g_timerLock = nullptr;
    for (Entry* entry : entries_) DropEntry(entry);
    entries_.clear();
    if (g_timerManager == this) g_timerManager = nullptr;
}

void cpCTimerManager::DropEntry(Entry* entry) {
    if (--entry->refs == 0) delete entry;
}

vzStatus cpCTimerManager::Add(cpCTimer* timer, std::uint32_t timerId) {
    cpLockGuard guard(lock_);
    entries_.push_back(new Entry{timer, timerId, 1});
    return kTransportOk;
}

vzStatus cpCTimerManager::Remove(cpCTimer* timer) {
    cpLockGuard guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((*it)->timer == timer) {
            Entry* entry = *it;
            entries_.erase(it);
            DropEntry(entry);
            break;
        }
    }
    return kTransportOk;
}

void cpCTimerManager::Tick() {
    ++tickCounter_;
    if (entries_.empty()) return;
    std::vector<Entry*> working;
    cpTimeStamp now;
    {
        cpLockGuard guard(lock_);
        if (threadTimerId_ == 0) return;
        now = cpTimeStamp::Now();
        bool jumped = previousTick_.TotalMs() != 0 &&
                      std::llabs(now.TotalMs() - previousTick_.TotalMs()) >= kClockJumpMs;
        previousTick_ = now;
        working.reserve(entries_.size());
        for (Entry* entry : entries_) {
            (void)entry->timer->AddRef();  // counting cannot fail
            ++entry->refs;
            working.push_back(entry);
            if (jumped) entry->timer->Rebase(now);
        }
    }
    // A callback may stop or release any timer, its own included: each one
    // is held by the extra references until the pass is over, and a stopped
    // timer has no callback left to fire.
    for (Entry* entry : working) entry->timer->FireIfDue(now);
    for (Entry* entry : working) {
        (void)entry->timer->Release();  // a release cannot fail
        DropEntry(entry);
    }
}
