// Bandwidth actions: the objects that move a connection's bytes between its
// buffers and its socket and decide how many may move now.
//
// How pacing works. A paced action draws byte budgets for each second:
// either from the bandwidth controller, whose budget all paced connections of
// that kind share (100 MiB/s each way), or from the connection's own rates.
// Suppose an own receive-only action has a rate of 393216 B/s. Between two
// controller ticks it reads in grants of at most one receive block until the
// 393216 bytes are used; then it marks itself starved and stops calling
// recv, so the data waits in the socket and Winsock posts no further
// FD_READ. At the next tick the controller refills the budget, sees the
// starved mark and re-arms the socket's notifications; FD_READ is posted
// again for the waiting data and reading resumes. So a paced connection
// moves its budget as fast as the network allows and then waits for the
// tick, with a granularity of one second.
//
// Types: 1 unpaced; 2..4 controller budget (both ways, receive only, send
// only); 5..7 own rates (both ways, receive only, send only).
#pragma once

#include <cstdint>
#include <memory>

#include "transport/cp_socket.h"
#include "transport/io_buffers.h"

// One recv asks for up to this much: with loopback or a fast link the
// system call is the cost, so fewer, larger calls save most of the CPU.
// Budgets are still charged for exactly what arrives.
inline constexpr std::uint32_t kReceiveBlock = 64 * 1024;
inline constexpr std::uint32_t kSendBlock = 4096;
// A receive pass stops once this much waits for the layers.
inline constexpr std::uint32_t kReceiveStop = 1u << 20;

// The context's fields an action works on; the pointers stay valid for the
// action's life (they point into the context that owns the action).
struct cpActionBinding {
    cpSendBuffer* send = nullptr;
    cpReceiveBuffer* receive = nullptr;
    cpSocketRecord** socket = nullptr;
};

class cpCQoSContextAction {
public:
    explicit cpCQoSContextAction(const cpActionBinding& binding) : binding_(binding) {}
    virtual ~cpCQoSContextAction() = default;

    virtual int GetType() const = 0;
    // Reads what the socket has (and the budget allows) into the receive
    // buffer; returns the bytes received.
    virtual std::uint32_t Receive() = 0;
    // Sends from the current send buffer, advancing its position; false only
    // on a hard socket error.
    virtual bool Send(std::uint32_t* sent) = 0;
    virtual bool TakeSendStarved() { return false; }
    virtual bool TakeReceiveStarved() { return false; }
    virtual void SetRate(int /*direction*/, const std::uint32_t* /*bytesPerSecond*/) {}
    virtual void Refill() {}
    // This second's receive budget, for actions that own one.
    virtual bool ReceiveBudgetLeft(std::uint32_t* /*bytes*/) const { return false; }
    virtual bool LimitReceiveBudget(std::uint32_t /*bytes*/) { return false; }

protected:
    plat::Socket SocketHandle() const;
    // Re-registers FD_READ / FD_WRITE interest (event mask 39).
    void Rearm() const;

    cpActionBinding binding_;
};

class cpCQoSHighContextAction : public cpCQoSContextAction {
public:
    using cpCQoSContextAction::cpCQoSContextAction;
    int GetType() const override { return 1; }
    std::uint32_t Receive() override;
    bool Send(std::uint32_t* sent) override;
};

// Paced actions: the loops draw grants through the four budget operations.
class cpCQoSLowContextAction : public cpCQoSContextAction {
public:
    using cpCQoSContextAction::cpCQoSContextAction;
    std::uint32_t Receive() override;
    bool Send(std::uint32_t* sent) override;
    bool TakeSendStarved() override;
    bool TakeReceiveStarved() override;

    virtual std::uint32_t TakeReceiveBudget(std::uint32_t wanted) = 0;
    virtual std::uint32_t TakeSendBudget(std::uint32_t wanted) = 0;
    virtual void ReturnReceiveBudget(std::uint32_t bytes) = 0;
    virtual void ReturnSendBudget(std::uint32_t bytes) = 0;

protected:
    bool sendStarved_ = false;
    bool receiveStarved_ = false;
};

class cpCQoSLowServerContextAction : public cpCQoSLowContextAction {
public:
    using cpCQoSLowContextAction::cpCQoSLowContextAction;
    int GetType() const override { return 2; }
    std::uint32_t TakeReceiveBudget(std::uint32_t wanted) override;
    std::uint32_t TakeSendBudget(std::uint32_t wanted) override;
    void ReturnReceiveBudget(std::uint32_t bytes) override;
    void ReturnSendBudget(std::uint32_t bytes) override;
};

class cpCQoSLowServerReceiveOnlyContextAction : public cpCQoSLowServerContextAction {
public:
    using cpCQoSLowServerContextAction::cpCQoSLowServerContextAction;
    int GetType() const override { return 3; }
    std::uint32_t TakeSendBudget(std::uint32_t wanted) override { return wanted; }
    void ReturnSendBudget(std::uint32_t) override {}
};

class cpCQoSLowServerSendOnlyContextAction : public cpCQoSLowServerContextAction {
public:
    using cpCQoSLowServerContextAction::cpCQoSLowServerContextAction;
    int GetType() const override { return 4; }
    std::uint32_t TakeReceiveBudget(std::uint32_t wanted) override { return wanted; }
    void ReturnReceiveBudget(std::uint32_t) override {}
};

class cpCQoSOwnContextAction : public cpCQoSLowContextAction {
public:
    using cpCQoSLowContextAction::cpCQoSLowContextAction;
    int GetType() const override { return 5; }
    // Stores the rate; the budget follows at the next refill. An action that
    // has never been refilled gets at once the rate's share of what is left
    // of the current second, so a new connection neither waits up to a
    // second for its first byte nor moves more than the rate allows.
    void SetRate(int direction, const std::uint32_t* bytesPerSecond) override;
    void Refill() override;
    std::uint32_t TakeReceiveBudget(std::uint32_t wanted) override;
    std::uint32_t TakeSendBudget(std::uint32_t wanted) override;
    void ReturnReceiveBudget(std::uint32_t bytes) override;
    void ReturnSendBudget(std::uint32_t bytes) override;
    bool ReceiveBudgetLeft(std::uint32_t* bytes) const override;
    bool LimitReceiveBudget(std::uint32_t bytes) override;

    std::uint32_t ReceiveRemaining() const { return receiveRemaining_; }
    std::uint32_t SendRemaining() const { return sendRemaining_; }

private:
    std::uint32_t receiveRate_ = 0;
    std::uint32_t sendRate_ = 0;
    std::uint32_t receiveRemaining_ = 0;
    std::uint32_t sendRemaining_ = 0;
    std::uint32_t receiveUsed_ = 0;
    std::uint32_t sendUsed_ = 0;
    bool refilled_ = false;
};

class cpCQoSOwnReceiveOnlyContextAction : public cpCQoSOwnContextAction {
public:
    using cpCQoSOwnContextAction::cpCQoSOwnContextAction;
    int GetType() const override { return 6; }
    std::uint32_t TakeSendBudget(std::uint32_t wanted) override { return wanted; }
    void ReturnSendBudget(std::uint32_t) override {}
};

class cpCQoSOwnSendOnlyContextAction : public cpCQoSOwnContextAction {
public:
    using cpCQoSOwnContextAction::cpCQoSOwnContextAction;
    int GetType() const override { return 7; }
    std::uint32_t TakeReceiveBudget(std::uint32_t wanted) override { return wanted; }
    void ReturnReceiveBudget(std::uint32_t) override {}
    bool ReceiveBudgetLeft(std::uint32_t*) const override { return false; }
    bool LimitReceiveBudget(std::uint32_t) override { return false; }
};

// Creates the action of `type` (1..7); null for any other type.
std::unique_ptr<cpCQoSContextAction> CreateAction(int type, const cpActionBinding& binding);
