#include "transport/cp_qos.h"

#include <algorithm>
#include <atomic>

#include "transport/connection_handlers.h"
#include "transport/cp_mutex.h"
#include "transport/cp_timer.h"

namespace {

cpCQoS* g_qos = nullptr;
// The socket window's record: the global window lock (the service lock) and
// whether the window is attached to a controller.
cpCMutex* g_windowLock = nullptr;
std::atomic<int> g_socketWindowCount{0};

constexpr const char* kSocketWindowClass = "CAsyncSocket OstrelSDK Window";

bool IsSocketNotification(std::uint32_t message) {
    return message >= kMsgSocketBase && message < kMsgSocketBase + kConnectionSlots;
}

// Keeps a connection alive while one of its handlers runs, since a handler
// may give up the connection's last table reference.
class ConnectionCall {
public:
    explicit ConnectionCall(cpIConnectionHandlers* c) : c_(c) {
        if (c_) (void)c_->AddRef();  // counting cannot fail
    }
    ~ConnectionCall() {
        if (c_) (void)c_->Release();  // a release cannot fail
    }
    cpIConnectionHandlers* operator->() const { return c_; }
    cpIConnectionHandlers* Get() const { return c_; }
    explicit operator bool() const { return c_ != nullptr; }

private:
    cpIConnectionHandlers* c_;
};

}  // namespace

cpCQoS* cpQoS() {
    return g_qos;
}

bool cpServiceLockHeld() {
    cpCQoS* qos = cpQoS();
    cpCMutex* lock = qos ? qos->Lock() : nullptr;
    return lock == nullptr || lock->HeldByCurrentThread();
}
void cpSetQoS(cpCQoS* qos) {
    g_qos = qos;
}

cpCQoS::~cpCQoS() {
    if (window_.hwnd || secondTimer_) Term();
    if (g_qos == this) g_qos = nullptr;
}

vzStatus cpCQoS::Init(cpCMutex* lock) {
    lock_ = lock;
    for (auto& slot : table_) slot = nullptr;
    nextFree_ = 0;
    secondTicks_ = 0;
    sendLimit_ = receiveLimit_ = kDefaultLimit;
    // The first second starts with a full budget rather than waiting for a tick.
    sendAllowance_ = sendLimit_;
    receiveAllowance_ = receiveLimit_;
    sendUsed_ = receiveUsed_ = 0;

    g_windowLock = lock;
    window_.hwnd = plat::CreateHiddenWindow(&cpCQoS::WindowProc, kSocketWindowClass);
    if (!window_.hwnd) {
        g_windowLock = nullptr;
        return kTransportFail;
    }
    g_socketWindowCount.fetch_add(1);

    if (secondTimer_.CreateInstance(kClassTimer))
        (void)secondTimer_.As<cpCTimer>()->Start(
            1000, &cpCQoS::OnSecondTimer, this, kTimerIdQoSTick,
            nullptr);  // a timer that cannot start only never fires
    return kTransportOk;
}

void cpCQoS::Term() {
    // Idle connections first: nobody will take them any more.
    {
        cpLockGuard guard(lock_);
        idlePool_.CloseAll();
    }
    // Connections still registered when the runtime stops are shut down
    // now: the table's references would otherwise keep them alive forever.
    for (int slot = 0; slot < kConnectionSlots; ++slot) {
        ConnectionCall connection(table_[slot]);
        if (connection) connection->Shutdown();
        if (table_[slot] && table_[slot] == connection.Get()) {
            // A connection that did not give up its slot is released here.
            (void)table_[slot]->Release();  // a release cannot fail
            table_[slot] = nullptr;
        }
    }
    if (secondTimer_) {
        (void)secondTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        secondTimer_.Reset();
    }
    if (window_.hwnd) {
        g_socketWindowCount.fetch_sub(1);
        g_windowLock = nullptr;
        plat::DestroyWindow(window_.hwnd);
        window_.hwnd = nullptr;
    }
}

int cpCQoS::FindFreeSlotFrom(int first) const {
    for (int i = first; i < kConnectionSlots; ++i)
        if (!table_[i]) return i;
    for (int i = 0; i < first && i < kConnectionSlots; ++i)
        if (!table_[i]) return i;
    return -1;
}

vzStatus cpCQoS::RegisterConnection(cpIConnectionHandlers* connection, cpSocketRecord* record,
                                    cpSocketRecord** registered) {
    if (registered) *registered = nullptr;
    if (!connection || !window_.hwnd) return kTransportFail;
    cpLockGuard guard(lock_);
    // Refuse before creating anything, so a full table costs nothing.
    int slot = table_[nextFree_] ? FindFreeSlotFrom(nextFree_ + 1) : nextFree_;
    if (slot < 0) return kTransportFail;

    if (!record) {
        vzStatus status = cpCreateSocketRecord(0, &record);
        if (vzFailed(status)) return status;
    }
    record->nonBlocking = 1;
    plat::SetNonBlocking(record->handle, true);

    nextFree_ = slot;
    record->slot = slot;
    record->window = &window_;
    plat::WSAAsyncSelect(record->handle, window_.hwnd, kMsgSocketBase + slot, kSelectAll);
    table_[slot] = connection;
    (void)connection->AddRef();  // counting cannot fail

    int next = FindFreeSlotFrom(slot + 1);
    if (next >= 0) nextFree_ = next;
    if (registered) *registered = record;
    return kTransportOk;
}

void cpCQoS::UnregisterConnection(cpSocketRecord* record) {
    if (!record) return;
    cpIConnectionHandlers* released = nullptr;
    {
        cpLockGuard guard(lock_);
        if (record->slot >= 0 && record->slot < kConnectionSlots) {
            int slot = record->slot;
            record->slot = -1;
            plat::WSAAsyncSelect(record->handle, window_.hwnd, 0, 0);
            released = table_[slot];
            table_[slot] = nullptr;
        }
    }
    if (released) (void)released->Release();  // a release cannot fail
    cpDestroySocketRecord(record);
}

void cpCQoS::Rearm(cpSocketRecord* record) {
    if (!record || record->slot < 0 || !record->window) return;
    plat::WSAAsyncSelect(record->handle, record->window->hwnd, kMsgSocketBase + record->slot,
                         kSelectRearm);
}

bool cpCQoS::PostDeferredEvent(cpSocketRecord* record) {
    if (!record || record->slot < 0 || !window_.hwnd) return false;
    return plat::PostMessage(window_.hwnd, kMsgDeferredEvent,
                             static_cast<plat::WParam>(record->slot),
                             reinterpret_cast<plat::LParam>(record));
}

cpIConnectionHandlers* cpCQoS::SlotConnection(int slot) const {
    return slot >= 0 && slot < kConnectionSlots ? table_[slot] : nullptr;
}

void cpCQoS::DispatchEvent(int slot, int type) {
    cpLockGuard guard(lock_);
    ConnectionCall connection(SlotConnection(slot));
    if (!connection) return;
    switch (type) {
        case kDispatchReceive:
            connection->OnReceiveReady();
            break;
        case kDispatchSend:
            connection->OnSendReady();
            break;
        case kDispatchConnected:
            connection->OnConnected();
            break;
        case kDispatchShutdown:
            connection->Shutdown();
            break;
        case kDispatchConnectFailed:
            connection->OnConnectFailed();
            break;
        case kDispatchUnreachable:
            connection->OnConnectFailed();
            connection->NotifyUnreachable();
            break;
        default:
            break;
    }
}

void cpCQoS::OnSecondTimer(void* self) {
    static_cast<cpCQoS*>(self)->SecondTick();
}

void cpCQoS::SecondTick() {
    sendAllowance_ = sendLimit_;
    receiveAllowance_ = receiveLimit_;
    sendUsed_ = receiveUsed_ = 0;
    {
        cpLockGuard guard(lock_);
        for (int slot = 0; slot < kConnectionSlots; ++slot) {
            ConnectionCall connection(table_[slot]);
            if (connection) connection->OnSecondTick();
        }
        idlePool_.OnSecondTick(secondTicks_.load() + 1);
    }
    ++secondTicks_;
}

namespace {
std::uint32_t Take(std::uint32_t allowance, std::uint32_t& used, std::uint32_t wanted) {
    if (used >= allowance) return 0;
    std::uint32_t granted = std::min(allowance - used, wanted);
    used += granted;
    return granted;
}
}  // namespace

std::uint32_t cpCQoS::TakeReceiveBudget(std::uint32_t wanted) {
    return Take(receiveAllowance_, receiveUsed_, wanted);
}
std::uint32_t cpCQoS::TakeSendBudget(std::uint32_t wanted) {
    return Take(sendAllowance_, sendUsed_, wanted);
}
void cpCQoS::ReturnReceiveBudget(std::uint32_t bytes) {
    receiveUsed_ -= std::min(bytes, receiveUsed_);
}
void cpCQoS::ReturnSendBudget(std::uint32_t bytes) {
    sendUsed_ -= std::min(bytes, sendUsed_);
}

std::uint32_t cpCQoS::MsUntilNextTick() const {
    if (!secondTimer_) return 1000;
    std::int64_t left = secondTimer_.As<cpCTimer>()->Due().TotalMs() - cpTimeStamp::Now().TotalMs();
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 0, 1000));
}

void cpCQoS::StopSecondTimerForTesting() {
    if (!secondTimer_) return;
    (void)secondTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
    secondTimer_.Reset();
}

void cpCQoS::SetBudgetForTesting(std::uint32_t receiveAllowance, std::uint32_t sendAllowance) {
    receiveAllowance_ = receiveAllowance;
    sendAllowance_ = sendAllowance;
    receiveUsed_ = sendUsed_ = 0;
}

plat::LResult cpCQoS::WindowProc(plat::Hwnd hwnd, std::uint32_t message, plat::WParam wParam,
                                 plat::LParam lParam) {
    const bool socketMessage = IsSocketNotification(message);
    cpCMutex* lock = g_windowLock;
    if (!lock ||
        (g_socketWindowCount.load() == 0 && (socketMessage || message == kMsgDeferredEvent)))
        return plat::DefWindowProc(hwnd, message, wParam, lParam);
    cpLockGuard guard(lock);
    cpCQoS* qos = cpQoS();
    if (!qos) return plat::DefWindowProc(hwnd, message, wParam, lParam);

    if (message == kMsgDeferredEvent) {
        if (wParam < kConnectionSlots) {
            cpLockGuard tableGuard(qos->lock_);
            ConnectionCall connection(qos->table_[wParam]);
            if (connection) connection->OnDeferredEvent(reinterpret_cast<cpSocketRecord*>(lParam));
        }
        return 0;
    }
    if (!socketMessage) return plat::DefWindowProc(hwnd, message, wParam, lParam);
    if (static_cast<plat::Socket>(wParam) == plat::kInvalidSocket) return 0;

    const int slot = static_cast<int>(message - kMsgSocketBase);
    switch (plat::SelectEvent(lParam)) {
        case plat::kFdRead:
            qos->DispatchEvent(slot, kDispatchReceive);
            break;
        case plat::kFdWrite:
            qos->DispatchEvent(slot, kDispatchSend);
            break;
        case plat::kFdConnect:
            switch (plat::SelectError(lParam)) {
                case 0:
                    qos->DispatchEvent(slot, kDispatchConnected);
                    break;
                case plat::kWsaEconnrefused:
                    qos->DispatchEvent(slot, kDispatchConnectFailed);
                    break;
                case plat::kWsaEhostunreach:
                    qos->DispatchEvent(slot, kDispatchUnreachable);
                    break;
                default:
                    break;  // the connection's own connect time-out ends the attempt
            }
            break;
        case plat::kFdClose:
            qos->DispatchEvent(slot, kDispatchShutdown);
            break;
        default:
            break;  // FD_ACCEPT, FD_OOB
    }
    return 0;
}
