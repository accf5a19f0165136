#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_map>

#include "platform/detail/thread_queue.h"
#include "platform/kernel.h"
#include "platform/window.h"

namespace plat {
namespace detail {
namespace {

constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};
// While posted messages keep coming, readiness is still polled every few
// messages so that sockets are never starved by a busy queue.
constexpr unsigned kMessagesBetweenPolls = 8;

struct WindowRecord {
    WindowProc proc = nullptr;
    ThreadId owner = 0;
    std::weak_ptr<ThreadQueue> queue;
    MessageForwarder forward;  // set for forwarding windows
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<ThreadId, std::shared_ptr<ThreadQueue>> queues;
    std::unordered_map<std::uintptr_t, WindowRecord> windows;
    std::unordered_map<std::uintptr_t, std::weak_ptr<ThreadQueue>> timers;
    std::uintptr_t nextWindow = 0x10000;
    std::uintptr_t nextTimer = 1;
    int failWindows = 0;
    int failTimers = 0;
};

Registry& Reg() {
    static Registry* registry = new Registry;  // outlives every thread-exit hook
    return *registry;
}

std::atomic<ThreadId> g_nextThreadId{1};
thread_local ThreadId t_threadId = 0;

// Owns the calling thread's queue; at thread exit the queue and the thread's
// windows are unregistered, as Windows destroys a thread's windows with it.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (!queue) return;
        Registry& reg = Reg();
        std::lock_guard lock(reg.mutex);
        reg.queues.erase(queue->Owner());
        for (auto it = reg.windows.begin(); it != reg.windows.end();) {
            if (!it->second.forward && it->second.owner == queue->Owner())
                it = reg.windows.erase(it);
            else
                ++it;
        }
    }
};
thread_local QueueHolder t_queue;

}  // namespace

ThreadQueue::ThreadQueue(ThreadId owner) : owner_(owner) {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ >= 0 && wakeFd_ >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeKey;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    }
}

ThreadQueue::~ThreadQueue() {
    if (wakeFd_ >= 0) close(wakeFd_);
    if (epollFd_ >= 0) close(epollFd_);
}

void ThreadQueue::Post(const Msg& msg) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(msg);
    }
    // The owner looks at its queue before every wait, so a message it posts
    // itself needs no wake-up; nor does one posted while a wake-up is still
    // pending (the owner clears the mark after it drains the counter, and
    // then looks at the queue).
    if (CurrentThreadId() == owner_ || wakePending_.exchange(true)) return;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void ThreadQueue::Purge(const std::function<bool(const Msg&)>& matches) {
    std::lock_guard lock(mutex_);
    posted_.erase(std::remove_if(posted_.begin(), posted_.end(), matches), posted_.end());
}

std::uintptr_t ThreadQueue::AddTimer(std::uint32_t intervalMs, TimerProc proc) {
    Registry& reg = Reg();
    std::weak_ptr<ThreadQueue> self = CurrentQueueShared();
    std::uintptr_t id;
    {
        std::lock_guard lock(reg.mutex);
        if (reg.failTimers > 0) {
            --reg.failTimers;
            return 0;
        }
        id = reg.nextTimer++;
        reg.timers[id] = self;
    }
    std::lock_guard lock(mutex_);
    timers_.push_back(
        Timer{id, std::max<std::uint32_t>(intervalMs, 1), MonotonicMs() + intervalMs, proc});
    return id;
}

bool ThreadQueue::RemoveTimer(std::uintptr_t id) {
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
    if (it == timers_.end()) return false;
    timers_.erase(it);
    posted_.erase(std::remove_if(posted_.begin(), posted_.end(),
                                 [id](const Msg& m) {
                                     return m.hwnd == nullptr && m.message == kWmTimer &&
                                            m.wParam == id;
                                 }),
                  posted_.end());
    return true;
}

bool ThreadQueue::TakeDueTimer(std::int64_t nowMs, Msg* out, std::int64_t* waitMs) {
    *waitMs = -1;
    Timer* due = nullptr;
    for (Timer& t : timers_) {
        if (t.dueMs <= nowMs && (!due || t.dueMs < due->dueMs)) due = &t;
        std::int64_t left = std::max<std::int64_t>(0, t.dueMs - nowMs);
        if (*waitMs < 0 || left < *waitMs) *waitMs = left;
    }
    if (!due) return false;
    // Like Windows, a late timer fires once and is then due one interval
    // later; missed periods are not replayed.
    due->dueMs = nowMs + due->intervalMs;
    *out = Msg{nullptr, kWmTimer, due->id, reinterpret_cast<LParam>(due->proc)};
    return true;
}

void ThreadQueue::PollReadiness(int timeoutMs, bool messagesWaiting) {
    epoll_event events[64];
    int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeKey) {
            // Drain first, then clear: cleared first, a post in between
            // would write a wake-up that this read swallows and leave the
            // mark set with nothing left to wake the next wait.
            std::uint64_t drained;
            [[maybe_unused]] ssize_t r = read(wakeFd_, &drained, sizeof drained);
            wakePending_.store(false);
        } else {
            OnSocketReadiness(events[i].data.u64, events[i].events,
                              timeoutMs == 0 && messagesWaiting);
        }
    }
}

WaitResult ThreadQueue::Get(Msg* out, int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
    for (;;) {
        std::int64_t timerWait;
        bool havePosted;
        {
            std::lock_guard lock(mutex_);
            if (TakeDueTimer(MonotonicMs(), out, &timerWait)) return WaitResult::kMessage;
            havePosted = !posted_.empty();
            if (havePosted && takenSincePoll_ < kMessagesBetweenPolls) {
                ++takenSincePoll_;
                *out = posted_.front();
                posted_.pop_front();
                return out->message == kWmQuit ? WaitResult::kQuit : WaitResult::kMessage;
            }
        }
        takenSincePoll_ = 0;
        std::int64_t wait = havePosted ? 0 : timerWait;
        if (deadline >= 0 && !havePosted) {
            std::int64_t left = std::max<std::int64_t>(0, deadline - MonotonicMs());
            wait = wait < 0 ? left : std::min(wait, left);
        }
        PollReadiness(static_cast<int>(std::min<std::int64_t>(wait, 1 << 30)), havePosted);
        if (!havePosted && deadline >= 0 && MonotonicMs() >= deadline) {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) {
                std::int64_t ignored;
                if (TakeDueTimer(MonotonicMs(), out, &ignored)) return WaitResult::kMessage;
                return WaitResult::kTimeout;
            }
        }
    }
}

std::shared_ptr<ThreadQueue> CurrentQueueShared() {
    if (!t_queue.queue) {
        auto queue = std::make_shared<ThreadQueue>(CurrentThreadId());
        Registry& reg = Reg();
        std::lock_guard lock(reg.mutex);
        reg.queues[queue->Owner()] = queue;
        t_queue.queue = std::move(queue);
    }
    return t_queue.queue;
}

ThreadQueue* CurrentQueue() {
    return CurrentQueueShared().get();
}

std::shared_ptr<ThreadQueue> QueueOfThread(ThreadId id) {
    Registry& reg = Reg();
    std::lock_guard lock(reg.mutex);
    auto it = reg.queues.find(id);
    return it == reg.queues.end() ? nullptr : it->second;
}

std::shared_ptr<ThreadQueue> QueueOfWindow(Hwnd hwnd) {
    Registry& reg = Reg();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == reg.windows.end() ? nullptr : it->second.queue.lock();
}

}  // namespace detail

using detail::Reg;

ThreadId CurrentThreadId() {
    if (detail::t_threadId == 0) detail::t_threadId = detail::g_nextThreadId.fetch_add(1);
    return detail::t_threadId;
}

Hwnd CreateHiddenWindow(WindowProc proc, const char* /*className*/) {
    if (!proc) return nullptr;
    auto queue = detail::CurrentQueueShared();
    if (!queue->Valid()) return nullptr;
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    if (reg.failWindows > 0) {
        --reg.failWindows;
        return nullptr;
    }
    std::uintptr_t id = reg.nextWindow;
    reg.nextWindow += 4;
    reg.windows[id] = detail::WindowRecord{proc, queue->Owner(), queue, nullptr};
    return reinterpret_cast<Hwnd>(id);
}

Hwnd CreateForwardingWindow(MessageForwarder forward) {
    if (!forward) return nullptr;
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    std::uintptr_t id = reg.nextWindow;
    reg.nextWindow += 4;
    reg.windows[id] = detail::WindowRecord{nullptr, CurrentThreadId(), {}, std::move(forward)};
    return reinterpret_cast<Hwnd>(id);
}

bool DestroyWindow(Hwnd hwnd) {
    std::shared_ptr<detail::ThreadQueue> queue;
    {
        auto& reg = Reg();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
        if (it == reg.windows.end()) return false;
        queue = it->second.queue.lock();
        reg.windows.erase(it);
    }
    if (queue) queue->Purge([hwnd](const Msg& m) { return m.hwnd == hwnd; });
    return true;
}

bool IsWindow(Hwnd hwnd) {
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    return reg.windows.count(reinterpret_cast<std::uintptr_t>(hwnd)) != 0;
}

ThreadId GetWindowThreadId(Hwnd hwnd) {
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == reg.windows.end() ? 0 : it->second.owner;
}

bool PostMessage(Hwnd hwnd, std::uint32_t message, WParam wParam, LParam lParam) {
    std::shared_ptr<detail::ThreadQueue> queue;
    MessageForwarder forward;
    {
        auto& reg = Reg();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
        if (it == reg.windows.end()) return false;
        if (it->second.forward)
            forward = it->second.forward;
        else
            queue = it->second.queue.lock();
    }
    Msg msg{hwnd, message, wParam, lParam};
    if (forward) {
        forward(msg);
        return true;
    }
    if (!queue) return false;
    queue->Post(msg);
    return true;
}

bool PostThreadMessage(ThreadId thread, std::uint32_t message, WParam wParam, LParam lParam) {
    auto queue = detail::QueueOfThread(thread);
    if (!queue) return false;
    queue->Post(Msg{nullptr, message, wParam, lParam});
    return true;
}

WaitResult GetMessageFor(Msg* out, int timeoutMs) {
    detail::ThreadQueue* queue = detail::CurrentQueue();
    if (!queue->Valid()) return WaitResult::kQuit;
    return queue->Get(out, timeoutMs);
}

int GetMessage(Msg* out) {
    detail::ThreadQueue* queue = detail::CurrentQueue();
    if (!queue->Valid() || !out) return -1;
    return queue->Get(out, -1) == WaitResult::kQuit ? 0 : 1;
}

bool PeekMessage(Msg* out) {
    return GetMessageFor(out, 0) != WaitResult::kTimeout;
}

void TranslateMessage(const Msg&) {}

LResult DispatchMessage(const Msg& msg) {
    if (msg.hwnd == nullptr) {
        if (msg.message == kWmTimer && msg.lParam != 0) {
            auto proc = reinterpret_cast<TimerProc>(msg.lParam);
            proc(nullptr, kWmTimer, msg.wParam, static_cast<std::uint32_t>(MonotonicMs()));
        }
        return 0;
    }
    WindowProc proc = nullptr;
    {
        auto& reg = Reg();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(reinterpret_cast<std::uintptr_t>(msg.hwnd));
        if (it != reg.windows.end()) proc = it->second.proc;
    }
    return proc ? proc(msg.hwnd, msg.message, msg.wParam, msg.lParam) : 0;
}

LResult DefWindowProc(Hwnd, std::uint32_t, WParam, LParam) {
    return 0;
}

std::uintptr_t SetTimer(std::uint32_t intervalMs, TimerProc proc) {
    if (!proc) return 0;
    return detail::CurrentQueue()->AddTimer(intervalMs, proc);
}

bool KillTimer(std::uintptr_t timerId) {
    std::shared_ptr<detail::ThreadQueue> queue;
    {
        auto& reg = Reg();
        std::lock_guard lock(reg.mutex);
        auto it = reg.timers.find(timerId);
        if (it == reg.timers.end()) return false;
        queue = it->second.lock();
        reg.timers.erase(it);
    }
    return queue && queue->RemoveTimer(timerId);
}

void SetWindowCreationFailsForTesting(int count) {
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    reg.failWindows = count;
}

void SetTimerCreationFailsForTesting(int count) {
    auto& reg = Reg();
    std::lock_guard lock(reg.mutex);
    reg.failTimers = count;
}

}  // namespace plat
