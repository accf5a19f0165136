#include "transport/qos_context.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "platform/sockets.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/host_cache.h"
#include "transport/stream_dispatcher.h"

namespace {

constexpr std::size_t kMaxHostName = 255;
// Bytes a connection may hold that its layers do not consume; past this the
// peer is sending faster than anything reads and the connection is closed.
constexpr std::uint32_t kMaxUnconsumed = 16u << 20;

// Keeps the context alive across calls that may drop its last reference.
class SelfRef {
public:
    // Counting cannot fail.
    explicit SelfRef(vzIUnknown* self) : self_(self) { (void)self_->AddRef(); }
    // A release cannot fail.
    ~SelfRef() { (void)self_->Release(); }
    SelfRef(const SelfRef&) = delete;
    SelfRef& operator=(const SelfRef&) = delete;

private:
    vzIUnknown* self_;
};

}  // namespace

void cpCQoSContext::RateWindow::Add(std::int64_t n) {
    if (startMs == 0) startMs = cpTimeStamp::Now().TotalMs();
    bytes += n;
}

std::int64_t cpCQoSContext::RateWindow::TakeRate() {
    std::int64_t elapsed = startMs == 0 ? 0 : cpTimeStamp::Now().TotalMs() - startMs;
    std::int64_t rate = elapsed > 0 ? bytes * 1000 / elapsed : 0;
    startMs = 0;
    bytes = 0;
    return rate;
}

cpCQoSContext::cpCQoSContext() = default;

cpCQoSContext::~cpCQoSContext() {
    StopConnectTimer();
    layers_.clear();
    if (socket_) {
        // Only reachable when a registration was never made or already undone.
        cpDestroySocketRecord(socket_);
        socket_ = nullptr;
    }
}

vzStatus cpCQoSContext::AddRef() {
    refCount_.fetch_add(1);
    return kVzOk;
}

vzStatus cpCQoSContext::Release() {
    if (refCount_.fetch_sub(1) <= 1) delete this;
    return kVzOk;
}

vzStatus cpCQoSContext::QueryInterface(std::uint32_t interfaceId, void** out) {
    if (layers_.empty() || !layers_.front().own) {
        if (out) *out = nullptr;
        return kNoInterface;
    }
    return layers_.front().own.Get()->QueryInterface(interfaceId, out);
}

vzStatus cpCQoSContext::Open(int actionType, std::uint32_t flags, cpSocketRecord* record) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (state_ != kStateNew) return kTransportFail;
    cpCQoS* qos = cpQoS();
    if (!qos) return kTransportFail;
    state_ = kStateOpening;
    flags_ = flags;
    cpSocketRecord* registered = nullptr;
    vzStatus status = qos->RegisterConnection(this, record, &registered);
    if (vzFailed(status)) {
        // No slot or no socket: this context can never carry a connection.
        state_ = kStateFailed;
        return status;
    }
    socket_ = registered;
    state_ = record ? kStateConnected : kStateUnconnected;
    if (record) connectedFlag_ = 2;
    (void)SetActionType(actionType);  // an unknown type leaves the connection unpaced
    return kTransportOk;
}

vzStatus cpCQoSContext::SetRate(int direction, const std::uint32_t* bytesPerSecond) {
    if (!action_) return kTransportFail;
    action_->SetRate(direction, bytesPerSecond);
    return kTransportOk;
}

vzStatus cpCQoSContext::GetReceiveBudgetLeft(std::uint32_t* bytes) {
    if (!action_ || !bytes || !action_->ReceiveBudgetLeft(bytes)) return kTransportFail;
    return kTransportOk;
}

vzStatus cpCQoSContext::LimitReceiveBudget(std::uint32_t bytes) {
    if (!action_ || !action_->LimitReceiveBudget(bytes)) return kTransportFail;
    return kTransportOk;
}

vzStatus cpCQoSContext::SetActionType(int type) {
    if (action_ && action_->GetType() == type) return kTransportOk;
    action_.reset();
    action_ = CreateAction(type, cpActionBinding{&current_, &receive_, &socket_});
    return action_ ? kTransportOk : kTransportFail;
}

vzStatus cpCQoSContext::SetFlags(std::uint32_t flags) {
    flags_ = flags;
    return kTransportOk;
}

vzStatus cpCQoSContext::AddFlags(std::uint32_t flags) {
    if ((flags_ & flags) == 0) flags_ |= flags;
    return kTransportOk;
}

vzStatus cpCQoSContext::RemoveFlags(std::uint32_t flags) {
    flags_ &= ~flags;
    return kTransportOk;
}

vzStatus cpCQoSContext::SetOption(int option, const std::uint32_t* value) {
    if (!value) return kTransportFail;
    if (option == kOptionConnectTimeout) {
        connectTimeout_ = *value;
    } else if (option == kOptionIdleTimeout) {
        idleTimeout_ = *value;
    } else if (option == kOptionLowSpeedSeconds) {
        lowSpeedSeconds_ = *value;
    } else if (option == kOptionLowSpeedBytes) {
        lowSpeedBytes_ = *value;
    } else {
        return kTransportFail;
    }
    return kTransportOk;
}

vzStatus cpCQoSContext::GetState(int* state) {
    if (state) *state = state_;
    return kTransportOk;
}

vzStatus cpCQoSContext::Connect(const cpSocketAddress& address) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (state_ != kStateUnconnected || !socket_) return kTransportFail;
    state_ = kStateConnecting;
    socket_->peer.family = 2;
    socket_->peer.portNet = plat::HostToNet16(address.port);
    socket_->peer.addrNet = address.addressNet;
    if (plat::Connect(socket_->handle, socket_->peer) == 0) {
        OnConnected();
        return kTransportOk;
    }
    if (plat::WSAGetLastError() == plat::kWsaEwouldblock) {
        StopConnectTimer();
        if (connectTimer_.CreateInstance(kClassTimer)) {
            cpCQoS* qos = cpQoS();
            // A timer that cannot start only never fires.
            (void)connectTimer_.As<cpCTimer>()->Start(connectTimeout_ * 1000,
                                                      &cpCQoSContext::OnConnectTimer,
                                                      static_cast<cpIConnectionHandlers*>(this),
                                                      kTimerIdConnect, qos ? qos->Lock() : nullptr);
        }
        return kTransportOk;
    }
    state_ = kStateFailed;
    (void)PostClose();  // the close runs later from the message loop; nothing to check now
    return kTransportOk;
}

void cpCQoSContext::OnConnectTimer(void* self) {
    auto* context = static_cast<cpCQoSContext*>(static_cast<cpIConnectionHandlers*>(self));
    SelfRef hold(static_cast<vzIQoSContext*>(context));
    context->OnConnectFailed();
}

void cpCQoSContext::StopConnectTimer() {
    if (!connectTimer_) return;
    (void)connectTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
    connectTimer_.Reset();
}

vzStatus cpCQoSContext::SendFrom(nwIQoSNetStack* layer, const cpBuffer& buffer) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    int index = IndexOf(layer);
    if (index < 0 || index == static_cast<int>(layers_.size()) - 1) {
        QueueData(buffer.data, buffer.length);
    } else {
        layers_[index + 1].stack->OnSendFromAbove(buffer);
    }
    return kTransportOk;
}

vzStatus cpCQoSContext::SendRaw(const void* data, std::uint32_t length) {
    QueueData(data, length);
    return kTransportOk;
}

void cpCQoSContext::QueueData(const void* data, std::uint32_t length) {
    if (state_ == kStateFailed || Closed()) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    sendQueue_.emplace_back(bytes, bytes + (data ? length : 0));
    if (!current_.data) LoadNextSendBuffer();
    if (!RunSendPump())
        (void)PostClose();  // the close runs later from the message loop; nothing to check now
}

void cpCQoSContext::LoadNextSendBuffer() {
    if (sendQueue_.empty()) SendEventToLayers(kEventSendQueueEmpty);
    if (sendQueue_.empty() || current_.data) return;
    currentStorage_ = std::move(sendQueue_.front());
    sendQueue_.pop_front();
    if (currentStorage_.empty()) {
        // An empty piece carries nothing; keep the send buffer unset.
        return;
    }
    current_.data = currentStorage_.data();
    current_.position = 0;
    current_.length = static_cast<std::uint32_t>(currentStorage_.size());
}

void cpCQoSContext::FreeCurrentSendBuffer() {
    current_ = cpSendBuffer{};
    currentStorage_.clear();
    currentStorage_.shrink_to_fit();
}

bool cpCQoSContext::RunSendPump() {
    if (!socket_ || !current_.data || !action_) return true;
    // Data queued while connecting waits for OnConnected; inside the pump
    // (state sending) a nested call only queues and the outer pump sends it.
    if (state_ != kStateConnected && state_ != kStateReceiving && state_ != kStateReady)
        return true;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    state_ = kStateSending;
    bool ok = true;
    for (;;) {
        std::uint32_t sent = 0;
        ok = action_ ? action_->Send(&sent) : true;
        if (flags_ & kFlagMeasureSend) sendRate_.Add(sent);
        if (current_.data && current_.position >= current_.length) FreeCurrentSendBuffer();
        if (!ok || current_.data || !socket_) break;
        LoadNextSendBuffer();
        if (!current_.data) break;
    }
    if (state_ == kStateSending) state_ = kStateReady;
    return ok;
}

void cpCQoSContext::OnSendReady() {
    if (!current_.data) LoadNextSendBuffer();
    if (!RunSendPump())
        (void)PostClose();  // the close runs later from the message loop; nothing to check now
}

void cpCQoSContext::OnReceiveReady() {
    if (!socket_ || !action_) return;
    if (state_ != kStateConnected && state_ != kStateSending && state_ != kStateReady) return;
    idleCounter_ = 0;
    state_ = kStateReceiving;
    std::uint32_t count = action_->Receive();
    if ((flags_ & kFlagMeasureReceive) && count > 0) receiveRate_.Add(count);
    windowBytes_ += count;
    if (state_ == kStateReceiving) state_ = kStateReady;
    if (count > 0) Deliver();
}

void cpCQoSContext::Deliver() {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (Closed()) return;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    // The layers read straight from the receive buffer; a close from inside
    // them frees it only when they are done.
    ++delivering_;
    struct EndDelivery {
        cpCQoSContext* self;
        ~EndDelivery() {
            if (--self->delivering_ == 0 && self->Closed()) self->receive_.Free();
        }
    } endDelivery{this};
    if (layers_.empty()) {
        if (ownDispatcher_ && receive_.Held() > 0) {
            std::int32_t consumed = 0;
            // Fails only for a null count.
            (void)ownDispatcher_.As<nwCStreamDispatcher>()->Parse(
                receive_.Data(), static_cast<std::int32_t>(receive_.Held()), &consumed);
            if (consumed < 0) {
                (void)Close();  // a close always completes
                return;
            }
            receive_.Consume(static_cast<std::uint32_t>(consumed));
        }
        if (layers_.empty()) {
            if (receive_.Held() >= kMaxUnconsumed) (void)Close();  // a close always completes
            return;
        }
        // A handler stacked layers: they take over from the own dispatcher.
        ownDispatcher_.Reset();
    }
    if (receive_.Held() == 0) return;
    nwIQoSNetStack* bottom = layers_.back().stack;
    vzSmartPtr keep(layers_.back().own);
    std::uint32_t held = receive_.Held();
    std::int32_t consumed = bottom->OnReceive(receive_.Data(), static_cast<std::int32_t>(held));
    if (consumed < 0 || static_cast<std::uint32_t>(consumed) > held) {
        (void)Close();  // a close always completes
        return;
    }
    receive_.Consume(static_cast<std::uint32_t>(consumed));
    if (receive_.Held() >= kMaxUnconsumed) (void)Close();  // a close always completes
}

void cpCQoSContext::OnConnected() {
    if (connectedFlag_ == 2) return;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    StopConnectTimer();
    connectedFlag_ = 2;
    state_ = kStateConnected;
    windowSeconds_ = 0;
    windowBytes_ = 0;
    for (nwIQoSNetStack* layer : LayersBottomUp()) {
        if (!layer->OnConnected()) break;
    }
    if (!RunSendPump())
        (void)PostClose();  // the close runs later from the message loop; nothing to check now
}

void cpCQoSContext::OnConnectFailed() {
    state_ = kStateFailed;
    StopConnectTimer();
    if (socket_) QueueDeferred(kEventConnectFailure);
}

void cpCQoSContext::NotifyUnreachable() {
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    for (nwIQoSNetStack* layer : LayersBottomUp()) {
        if (!layer->OnUnreachable()) break;
    }
}

void cpCQoSContext::Shutdown() {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (state_ == kStateNew || Closed()) return;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    StopConnectTimer();
    state_ = kStateClosing;
    if (socket_) {
        cpSocketRecord* record = socket_;
        socket_ = nullptr;
        if (cpCQoS* qos = cpQoS())
            qos->UnregisterConnection(record);
        else
            cpDestroySocketRecord(record);
    }
    // Codes still queued belong to the socket that is gone; their messages
    // will find no record and nothing would ever take them.
    deferred_.clear();
    // A closed connection may wait a while for its last references (the
    // deferred-release collector holds it for seconds); what it had
    // received is of no use to anyone by now.
    if (delivering_ == 0) receive_.Free();
    for (nwIQoSNetStack* layer : LayersBottomUp()) layer->OnShutdown();
    state_ = kStateClosed;
}

vzStatus cpCQoSContext::Close() {
    Shutdown();
    return kTransportOk;
}

vzStatus cpCQoSContext::PostClose() {
    if (!socket_) return kTransportOk;
    QueueDeferred(kEventCloseRequest);
    return kTransportOk;
}

void cpCQoSContext::QueueDeferred(int code) {
    cpCQoS* qos = cpQoS();
    if (!socket_ || !qos) return;
    deferred_.push_back(code);
    qos->PostDeferredEvent(socket_);
}

void cpCQoSContext::OnDeferredEvent(cpSocketRecord* record) {
    if (!record || record != socket_ || deferred_.empty()) return;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    int code = deferred_.front();
    deferred_.erase(deferred_.begin());
    switch (code) {
        case kEventIdleTimeout:
            if (idleCounter_ >= idleTimeout_ && (flags_ & kFlagReportIdle)) {
                (void)MarkAddressBad();  // a host unknown to the cache is simply not marked
                SendEventToLayers(kEventIdleTimeout);
            }
            break;
        case kEventConnectFailure:
            if ((flags_ & kFlagReportConnectFailure) && connectedFlag_ != 2) {
                (void)MarkAddressBad();  // a host unknown to the cache is simply not marked
                SendEventToLayers(kEventConnectFailure);
                (void)Close();  // a close always completes
            }
            break;
        case kEventCloseRequest:
            SendEventToLayers(kEventCloseRequest);
            (void)Close();  // a close always completes
            break;
        case kEventLowSpeed:
            // The server answers, only too slowly: its address is not bad.
            SendEventToLayers(kEventIdleTimeout);
            break;
        default:
            break;
    }
}

void cpCQoSContext::SendEventToLayers(int code) {
    if ((flags_ & static_cast<std::uint32_t>(code)) == 0) return;
    SelfRef hold(static_cast<vzIQoSContext*>(this));
    for (nwIQoSNetStack* layer : LayersBottomUp()) {
        if (!layer->OnEvent(code)) break;
    }
}

void cpCQoSContext::OnSecondTick() {
    bool atLimit = idleCounter_ == idleTimeout_;
    ++idleCounter_;
    if (atLimit && (flags_ & kFlagReportIdle)) QueueDeferred(kEventIdleTimeout);
    if (lowSpeedSeconds_ > 0 && connectedFlag_ == 2 && !Closed() && ++windowSeconds_ >= lowSpeedSeconds_) {
        const bool slow = windowBytes_ < lowSpeedBytes_;
        windowSeconds_ = 0;
        windowBytes_ = 0;
        if (slow && (flags_ & kFlagReportIdle)) QueueDeferred(kEventLowSpeed);
    }
    if (action_) {
        action_->Refill();
        if (action_->TakeReceiveStarved() || action_->TakeSendStarved())
            (void)ResumeEvents();  // without a socket there is nothing to resume
    }
}

std::vector<nwIQoSNetStack*> cpCQoSContext::LayersBottomUp() const {
    std::vector<nwIQoSNetStack*> order;
    order.reserve(layers_.size());
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) order.push_back(it->stack);
    return order;
}

int cpCQoSContext::IndexOf(const nwIQoSNetStack* layer) const {
    for (std::size_t i = 0; i < layers_.size(); ++i)
        if (layers_[i].stack == layer) return static_cast<int>(i);
    return -1;
}

vzStatus cpCQoSContext::AddLayer(std::uint32_t classId, bool atBottom) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    vzSmartPtr created;
    if (!created.CreateInstance(classId)) return kTransportFail;
    return AttachLayer(created.Get(), classId, atBottom);
}

vzStatus cpCQoSContext::AttachLayer(vzIUnknown* layer, std::uint32_t classId, bool atBottom) {
    if (!layer) return kTransportFail;
    LayerEntry entry{vzSmartPtr(layer), nullptr, classId};
    void* stack = nullptr;
    if (vzFailed(layer->QueryInterface(kInterfaceNetStack, &stack)) || !stack)
        return kTransportFail;
    entry.stack = static_cast<nwIQoSNetStack*>(stack);
    entry.stack->SetOwner(this);
    if (atBottom)
        layers_.push_back(std::move(entry));
    else
        layers_.insert(layers_.begin(), std::move(entry));
    return kTransportOk;
}

vzStatus cpCQoSContext::FindLayer(std::uint32_t classId, vzIUnknown** out) {
    for (const LayerEntry& entry : layers_) {
        if (entry.classId == classId) {
            if (out) *out = entry.own.Get();
            return kTransportOk;
        }
    }
    if (out) *out = nullptr;
    return kTransportFail;
}

vzIUnknown* cpCQoSContext::GetTopLayer() {
    return layers_.empty() ? nullptr : layers_.front().own.Get();
}

vzStatus cpCQoSContext::ConnectedFrom(nwIQoSNetStack* layer) {
    // The layers above hear it in turn, as they hear the connect itself,
    // until one of them still has work of its own to do first.
    for (int index = IndexOf(layer) - 1; index >= 0; --index)
        if (!layers_[index].stack->OnConnected()) break;
    return kTransportOk;
}

std::int32_t cpCQoSContext::DeliverUp(nwIQoSNetStack* layer, const void* data,
                                      std::int32_t length) {
    int index = IndexOf(layer);
    if (index <= 0) return 0;
    return layers_[index - 1].stack->OnReceive(data, length);
}

vzStatus cpCQoSContext::ResumeEvents() {
    cpCQoS* qos = cpQoS();
    if (!socket_ || !qos) return kTransportFail;
    qos->Rearm(socket_);
    return kTransportOk;
}

vzStatus cpCQoSContext::RegisterHandler(std::uint16_t type, std::uint32_t subtype,
                                        nwFramedCallback callback, void* userValue) {
    if (!ownDispatcher_ && !ownDispatcher_.CreateInstance(kClassStreamDispatcher))
        return kTransportFail;
    return ownDispatcher_.As<nwCStreamDispatcher>()->RegisterHandler(type, subtype, callback,
                                                                     userValue);
}

vzStatus cpCQoSContext::SetPeerAddress(const cpSocketAddress& address) {
    peer_ = address;
    return kTransportOk;
}

vzStatus cpCQoSContext::GetPeerAddress(const cpSocketAddress** out) {
    if (!out) return kTransportFail;
    *out = &peer_;
    return kTransportOk;
}

vzStatus cpCQoSContext::GetSendBuffer(const void** data, std::uint32_t* length) {
    if (data) *data = current_.data;
    if (length) *length = current_.length;
    return kTransportOk;
}

vzStatus cpCQoSContext::GetReceiveRate(std::int64_t* bytesPerSecond) {
    if (!(flags_ & kFlagMeasureReceive) || !bytesPerSecond) return kTransportFail;
    *bytesPerSecond = receiveRate_.TakeRate();
    return kTransportOk;
}

vzStatus cpCQoSContext::GetSendRate(std::int64_t* bytesPerSecond) {
    if (!(flags_ & kFlagMeasureSend) || !bytesPerSecond) return kTransportFail;
    *bytesPerSecond = sendRate_.TakeRate();
    return kTransportOk;
}

vzStatus cpCQoSContext::GetQueuedBytes(std::uint32_t* count) {
    std::uint64_t total = 0;
    for (const auto& piece : sendQueue_) total += piece.size();
    if (count) *count = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, UINT32_MAX));
    return kTransportOk;
}

vzStatus cpCQoSContext::GetHostName(const char** out) {
    if (!out) return kTransportFail;
    *out = hostName_.c_str();
    return kTransportOk;
}

vzStatus cpCQoSContext::SetHostName(const char* host) {
    if (!host) return kTransportFail;
    hostName_.assign(host, strnlen(host, kMaxHostName));
    return kTransportOk;
}

vzStatus cpCQoSContext::MarkAddressGood() {
    if (hostName_.empty() || peer_.port == 0 || peer_.addressNet == 0) return kTransportFail;
    cpHostCache().MarkGood(hostName_, peer_.port, peer_.addressNet);
    return kTransportOk;
}

vzStatus cpCQoSContext::MarkAddressBad() {
    if (hostName_.empty() || peer_.port == 0 || peer_.addressNet == 0) return kTransportFail;
    cpHostCache().MarkBad(hostName_, peer_.port, peer_.addressNet);
    return kTransportOk;
}

vzStatus cpCQoSContext::RestartWatches() {
    idleCounter_ = 0;
    windowSeconds_ = 0;
    windowBytes_ = 0;
    return kTransportOk;
}
