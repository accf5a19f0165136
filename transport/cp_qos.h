// The bandwidth controller cpCQoS: it owns the socket window, the 64-slot
// connection table that routes socket notifications to connections, and the
// per-second tick that drives pacing.
//
// Socket window messages: 0x409 is a connection's deferred event (wParam the
// slot, lParam the socket record); 0x40A + slot is the WSAAsyncSelect
// notification of the socket registered in that slot. Routing is by message
// number into the fixed table, without any search.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/window.h"
#include "service/base/vz_smart_ptr.h"
#include "transport/cp_socket.h"
#include "transport/idle_connection_pool.h"

class cpCMutex;
class cpIConnectionHandlers;

inline constexpr int kConnectionSlots = 64;
inline constexpr std::uint32_t kMsgDeferredEvent = plat::kWmUser + 9;  // 0x409
inline constexpr std::uint32_t kMsgSocketBase = plat::kWmUser + 10;    // 0x40A + slot
inline constexpr long kSelectAll = 63;    // read, write, oob, accept, connect, close
inline constexpr long kSelectRearm = 39;  // read, write, oob, close

// Event types of DispatchEvent.
enum cpDispatchType {
    kDispatchReceive = 2,
    kDispatchSend = 3,
    kDispatchConnected = 4,
    kDispatchShutdown = 7,
    kDispatchConnectFailed = 8,
    kDispatchUnreachable = 9,
};

class cpCQoS {
public:
    cpCQoS() = default;
    ~cpCQoS();
    cpCQoS(const cpCQoS&) = delete;
    cpCQoS& operator=(const cpCQoS&) = delete;

    // Creates the socket window on the calling thread and starts the
    // per-second tick. Fails when the window cannot be created: the service
    // cannot hear any socket without it.
    vzStatus Init(cpCMutex* lock);
    void Term();

    // Registers a connection in a free slot (creating a stream socket when
    // `record` is null) with all notifications on, and adds a reference to
    // the connection. Fails, changing nothing, when the socket cannot be
    // created or all slots are taken.
    vzStatus RegisterConnection(cpIConnectionHandlers* connection, cpSocketRecord* record,
                                cpSocketRecord** registered);
    // Stops notifications, releases the slot's reference, closes the socket
    // and frees the record.
    void UnregisterConnection(cpSocketRecord* record);
    // Asks for FD_READ / FD_WRITE again (after pacing held them back).
    void Rearm(cpSocketRecord* record);
    // Routes one event to the connection in `slot`.
    void DispatchEvent(int slot, int type);
    // Posts a deferred event for the connection in the record's slot.
    bool PostDeferredEvent(cpSocketRecord* record);

    // The budget shared by the controller-paced connections for the current
    // second. A take grants at most what is left and charges it; a return
    // gives unused bytes back.
    std::uint32_t TakeReceiveBudget(std::uint32_t wanted);
    std::uint32_t TakeSendBudget(std::uint32_t wanted);
    void ReturnReceiveBudget(std::uint32_t bytes);
    void ReturnSendBudget(std::uint32_t bytes);
    void SetBudgetForTesting(std::uint32_t receiveAllowance, std::uint32_t sendAllowance);
    // Test seams: stop the real per-second timer and run ticks by hand.
    void StopSecondTimerForTesting();
    void RunSecondTickForTesting() { SecondTick(); }

    // Milliseconds until the next per-second refill (1000 without a tick).
    std::uint32_t MsUntilNextTick() const;

    // Connections kept open between exchanges (service lock held).
    cpCIdleConnectionPool& IdlePool() { return idlePool_; }

    cpCMutex* Lock() const { return lock_; }
    plat::Hwnd Window() const { return window_.hwnd; }
    cpIConnectionHandlers* SlotConnection(int slot) const;
    int NextFreeSlot() const { return nextFree_; }
    std::uint32_t SecondTicks() const { return secondTicks_.load(); }

    // The socket window's procedure.
    static plat::LResult WindowProc(plat::Hwnd, std::uint32_t, plat::WParam, plat::LParam);

private:
    static void OnSecondTimer(void* self);
    void SecondTick();
    int FindFreeSlotFrom(int first) const;

    cpCMutex* lock_ = nullptr;
    cpWindowRecord window_{};
    cpIConnectionHandlers* table_[kConnectionSlots] = {};
    int nextFree_ = 0;
    vzSmartPtr secondTimer_;
    cpCIdleConnectionPool idlePool_;
    std::atomic<std::uint32_t> secondTicks_{0};  // read by tests from other threads

    static constexpr std::uint32_t kDefaultLimit = 104857600;  // 100 MiB per second
    std::uint32_t sendLimit_ = kDefaultLimit;
    std::uint32_t receiveLimit_ = kDefaultLimit;
    std::uint32_t sendAllowance_ = 0;
    std::uint32_t sendUsed_ = 0;
    std::uint32_t receiveAllowance_ = 0;
    std::uint32_t receiveUsed_ = 0;
};

// The process-wide controller (null outside the service's lifetime).
cpCQoS* cpQoS();
void cpSetQoS(cpCQoS* qos);
