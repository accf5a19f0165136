// Library timers. A cpCTimer is a one-shot or periodic entry of the timer
// manager; all of them are driven by one 100 ms thread timer on the service
// worker thread, so callbacks run there, under the service lock.
//
// Due times are on the calendar clock (seconds and milliseconds): the n-th
// firing is due at base + interval * n, so a late tick does not shift the
// later ones. A timer fires at most once per tick; one that fell behind
// catches up one firing per tick. When the calendar clock jumps by 3 s or
// more between two ticks, every timer is re-based on the new time.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "platform/kernel.h"
#include "service/base/vz_smart_ptr.h"
#include "service/base/vz_unknown.h"

class cpCMutex;

using cpTimerCallback = void (*)(void* userValue);

inline constexpr std::uint32_t kTimerIdQoSTick = 0x1000002;
inline constexpr std::uint32_t kTimerIdConnect = 0x1000003;
// The engine updater's wait for an unreachable update server.
inline constexpr std::uint32_t kTimerIdUpdateWait = 0x7000001;
inline constexpr std::uint32_t kTimerIdNone = 0xFFFFFFFF;

struct cpTimeStamp {
    std::int64_t seconds = 0;
    std::uint16_t millis = 0;

    std::int64_t TotalMs() const { return seconds * 1000 + millis; }
    static cpTimeStamp FromMs(std::int64_t ms) {
        return cpTimeStamp{ms / 1000, static_cast<std::uint16_t>(ms % 1000)};
    }
    static cpTimeStamp Now() {
        plat::CalendarTime t = plat::CalendarNow();
        return cpTimeStamp{t.seconds, t.millis};
    }
};

class cpCTimer : public vzCRefCounted<vzIUnknown> {
public:
    ~cpCTimer() override;

    // Starts the timer: the first firing is due `intervalMs` from now. Does
    // not check whether the timer is already running; stop it first.
    virtual vzStatus Start(std::uint32_t intervalMs, cpTimerCallback callback, void* userValue,
                           std::uint32_t timerId, vzIUnknown* held);
    virtual vzStatus Stop();
    virtual vzStatus Restart();

    bool Running() const { return callback_ != nullptr; }
    std::uint32_t IntervalMs() const { return intervalMs_; }
    cpTimeStamp Due() const { return due_; }
    std::uint32_t FireCount() const { return fireCount_; }

private:
    friend class cpCTimerManager;
    // Re-bases the timer on `now`: the next firing is one interval later.
    void Rebase(cpTimeStamp now);
    // Fires when due at `now` (10 ms early tolerance); true when it fired.
    bool FireIfDue(cpTimeStamp now);

    cpTimerCallback callback_ = nullptr;
    void* userValue_ = nullptr;
    cpTimeStamp due_{};
    cpTimeStamp base_{};
    std::uint32_t intervalMs_ = 0;
    vzSmartPtr held_;
    std::uint32_t fireCount_ = 0;
};

class cpCTimerManager {
public:
    // Starts the 100 ms thread timer on the calling thread; Valid() tells
    // whether it could be started.
    explicit cpCTimerManager(cpCMutex* lock);
    ~cpCTimerManager();
    cpCTimerManager(const cpCTimerManager&) = delete;
    cpCTimerManager& operator=(const cpCTimerManager&) = delete;

    bool Valid() const { return threadTimerId_ != 0; }
    vzStatus Add(cpCTimer* timer, std::uint32_t timerId);
    vzStatus Remove(cpCTimer* timer);
    // One pass over the listed timers; run by the thread timer every 100 ms.
    void Tick();

    std::size_t Count() const { return entries_.size(); }
    std::uint32_t TickCount() const { return tickCounter_; }

private:
    struct Entry {
        cpCTimer* timer;  // no reference: a running timer is kept alive by its owner
        std::uint32_t timerId;
        int refs;  // 1 while listed, +1 while a tick works with it
    };
    static void DropEntry(Entry* entry);

    cpCMutex* lock_;
    std::list<Entry*> entries_;
    std::uintptr_t threadTimerId_ = 0;
    cpTimeStamp previousTick_{};
    std::uint32_t tickCounter_ = 1;
};

// The process-wide timer manager (null outside the service's lifetime).
cpCTimerManager* cpTimerManager();
void cpSetTimerManager(cpCTimerManager* manager);
