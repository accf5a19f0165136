#include "transport/qos_actions.h"

#include <algorithm>

#include "platform/sockets.h"
#include "transport/cp_qos.h"

plat::Socket cpCQoSContextAction::SocketHandle() const {
    cpSocketRecord* record = binding_.socket ? *binding_.socket : nullptr;
    return record ? record->handle : plat::kInvalidSocket;
}

void cpCQoSContextAction::Rearm() const {
    if (cpCQoS* qos = cpQoS()) qos->Rearm(*binding_.socket);
}

namespace {

// How much the next recv may ask for: a block, but never past the point
// where a pass stops, so the buffer does not grow beyond that size.
std::uint32_t NextBlock(const cpReceiveBuffer& buffer) {
    std::uint32_t held = buffer.Held();
    return held < kReceiveStop ? std::min(kReceiveBlock, kReceiveStop - held) : kReceiveBlock;
}

// One recv of at most `size` bytes straight into the receive buffer.
int ReceiveInto(plat::Socket socket, cpReceiveBuffer& buffer, std::uint32_t size) {
    if (!buffer.MakeRoom(size)) return 0;
    int n = plat::Recv(socket, buffer.Tail(), static_cast<int>(size));
    if (n > 0) buffer.Commit(static_cast<std::uint32_t>(n));
    return n;
}

bool IsWouldBlock() {
    return plat::WSAGetLastError() == plat::kWsaEwouldblock;
}

}  // namespace

std::uint32_t cpCQoSHighContextAction::Receive() {
    plat::Socket socket = SocketHandle();
    if (socket == plat::kInvalidSocket) return 0;
    cpReceiveBuffer& buffer = *binding_.receive;
    buffer.EnsureStorage();
    std::uint32_t total = 0;
    for (;;) {
        const std::uint32_t block = NextBlock(buffer);
        int n = ReceiveInto(socket, buffer, block);
        if (n <= 0) break;
        total += static_cast<std::uint32_t>(n);
        // A short read emptied the socket (FD_READ comes again for what
        // arrives next): asking once more would only return EWOULDBLOCK.
        if (static_cast<std::uint32_t>(n) < block) break;
        // One busy connection must not hold the thread indefinitely.
        if (buffer.Held() >= kReceiveStop) break;
    }
    return total;
}

bool cpCQoSHighContextAction::Send(std::uint32_t* sent) {
    *sent = 0;
    cpSendBuffer& buffer = *binding_.send;
    plat::Socket socket = SocketHandle();
    if (!buffer.data || buffer.length == 0 || socket == plat::kInvalidSocket) return true;
    while (buffer.position < buffer.length) {
        std::uint32_t chunk = std::min(buffer.length - buffer.position, kSendBlock);
        int n = plat::Send(socket, buffer.data + buffer.position, static_cast<int>(chunk));
        if (n > 0) {
            buffer.position += static_cast<std::uint32_t>(n);
            *sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && !IsWouldBlock()) return false;
        break;
    }
    Rearm();
    return true;
}

std::uint32_t cpCQoSLowContextAction::Receive() {
    plat::Socket socket = SocketHandle();
    if (socket == plat::kInvalidSocket) return 0;
    cpReceiveBuffer& buffer = *binding_.receive;
    buffer.EnsureStorage();
    std::uint32_t total = 0;
    for (;;) {
        std::uint32_t granted = TakeReceiveBudget(NextBlock(buffer));
        if (granted == 0) {
            receiveStarved_ = true;
            return total;
        }
        int n = ReceiveInto(socket, buffer, granted);
        if (n <= 0) {
            ReturnReceiveBudget(granted);
            break;
        }
        total += static_cast<std::uint32_t>(n);
        if (static_cast<std::uint32_t>(n) < granted) {
            // The socket is empty for now (see above).
            ReturnReceiveBudget(granted - static_cast<std::uint32_t>(n));
            break;
        }
        // A generous budget must not become a huge buffer: hand what is
        // here to the layers first. The socket still has data, so FD_READ
        // comes again at once.
        if (buffer.Held() >= kReceiveStop) break;
    }
    return total;
}

bool cpCQoSLowContextAction::Send(std::uint32_t* sent) {
    *sent = 0;
    cpSendBuffer& buffer = *binding_.send;
    plat::Socket socket = SocketHandle();
    if (!buffer.data || buffer.length == 0 || sendStarved_ || socket == plat::kInvalidSocket)
        return true;
    while (buffer.position < buffer.length) {
        std::uint32_t granted =
            TakeSendBudget(std::min(buffer.length - buffer.position, kSendBlock));
        if (granted == 0) {
            // No re-arm: the next tick re-arms a starved connection.
            sendStarved_ = true;
            return true;
        }
        int n = plat::Send(socket, buffer.data + buffer.position, static_cast<int>(granted));
        if (n <= 0) {
            ReturnSendBudget(granted);
            if (n < 0 && !IsWouldBlock()) return false;
            break;
        }
        // The whole grant stays charged even when fewer bytes went out.
        buffer.position += static_cast<std::uint32_t>(n);
        *sent += static_cast<std::uint32_t>(n);
    }
    Rearm();
    return true;
}

bool cpCQoSLowContextAction::TakeSendStarved() {
    bool was = sendStarved_;
    sendStarved_ = false;
    return was;
}

bool cpCQoSLowContextAction::TakeReceiveStarved() {
    bool was = receiveStarved_;
    receiveStarved_ = false;
    return was;
}

std::uint32_t cpCQoSLowServerContextAction::TakeReceiveBudget(std::uint32_t wanted) {
    cpCQoS* qos = cpQoS();
    return qos ? qos->TakeReceiveBudget(wanted) : 0;
}

std::uint32_t cpCQoSLowServerContextAction::TakeSendBudget(std::uint32_t wanted) {
    cpCQoS* qos = cpQoS();
    return qos ? qos->TakeSendBudget(wanted) : 0;
}

void cpCQoSLowServerContextAction::ReturnReceiveBudget(std::uint32_t bytes) {
    if (cpCQoS* qos = cpQoS()) qos->ReturnReceiveBudget(bytes);
}

void cpCQoSLowServerContextAction::ReturnSendBudget(std::uint32_t bytes) {
    if (cpCQoS* qos = cpQoS()) qos->ReturnSendBudget(bytes);
}

namespace {
// The budget for what is left of the current second, so that a connection
// that starts mid-second neither waits for the refill nor gets a whole
// second's worth on top of it. At least 1 KiB, to start at once.
std::uint32_t FirstBudget(std::uint32_t rate) {
    constexpr std::uint64_t kLeastFirstBudget = 1024;
    cpCQoS* qos = cpQoS();
    if (!qos || rate == 0) return rate;
    std::uint64_t share = static_cast<std::uint64_t>(rate) * qos->MsUntilNextTick() / 1000;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(rate, std::max<std::uint64_t>(share, kLeastFirstBudget)));
}
}  // namespace

void cpCQoSOwnContextAction::SetRate(int direction, const std::uint32_t* bytesPerSecond) {
    if (!bytesPerSecond) return;
    if (direction == 0) {
        receiveRate_ = *bytesPerSecond;
        if (!refilled_) {
            receiveRemaining_ = FirstBudget(receiveRate_);
            receiveUsed_ = 0;
        }
    } else if (direction == 1) {
        sendRate_ = *bytesPerSecond;
        if (!refilled_) {
            sendRemaining_ = FirstBudget(sendRate_);
            sendUsed_ = 0;
        }
    }
}

void cpCQoSOwnContextAction::Refill() {
    refilled_ = true;
    receiveRemaining_ = receiveRate_;
    sendRemaining_ = sendRate_;
    receiveUsed_ = sendUsed_ = 0;
}

std::uint32_t cpCQoSOwnContextAction::TakeReceiveBudget(std::uint32_t wanted) {
    std::uint32_t granted = std::min(receiveRemaining_, wanted);
    receiveUsed_ += granted;
    receiveRemaining_ -= granted;
    return granted;
}

std::uint32_t cpCQoSOwnContextAction::TakeSendBudget(std::uint32_t wanted) {
    std::uint32_t granted = std::min(sendRemaining_, wanted);
    sendUsed_ += granted;
    sendRemaining_ -= granted;
    return granted;
}

void cpCQoSOwnContextAction::ReturnReceiveBudget(std::uint32_t bytes) {
    receiveRemaining_ += bytes;
    receiveUsed_ -= bytes;
}

void cpCQoSOwnContextAction::ReturnSendBudget(std::uint32_t bytes) {
    sendRemaining_ += bytes;
    sendUsed_ -= bytes;
}

bool cpCQoSOwnContextAction::ReceiveBudgetLeft(std::uint32_t* bytes) const {
    if (!bytes) return false;
    *bytes = receiveRemaining_;
    return true;
}

bool cpCQoSOwnContextAction::LimitReceiveBudget(std::uint32_t bytes) {
    receiveRemaining_ = std::min(receiveRemaining_, bytes);
    return true;
}

std::unique_ptr<cpCQoSContextAction> CreateAction(int type, const cpActionBinding& binding) {
    switch (type) {
        case 1:
            return std::make_unique<cpCQoSHighContextAction>(binding);
        case 2:
            return std::make_unique<cpCQoSLowServerContextAction>(binding);
        case 3:
            return std::make_unique<cpCQoSLowServerReceiveOnlyContextAction>(binding);
        case 4:
            return std::make_unique<cpCQoSLowServerSendOnlyContextAction>(binding);
        case 5:
            return std::make_unique<cpCQoSOwnContextAction>(binding);
        case 6:
            return std::make_unique<cpCQoSOwnReceiveOnlyContextAction>(binding);
        case 7:
            return std::make_unique<cpCQoSOwnSendOnlyContextAction>(binding);
        default:
            return nullptr;
    }
}
