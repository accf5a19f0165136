#include "transport/application_stack.h"

#include <vector>

#include "transport/cp_mutex.h"
#include "transport/frame.h"

vzStatus nwCApplicationStack::GetReceiveRate(std::int64_t* bytesPerSecond) {
    if (owner_ == nullptr) {
        if (bytesPerSecond != nullptr) *bytesPerSecond = 0;
        return kLayerFail;
    }
    return owner_->GetReceiveRate(bytesPerSecond);
}

vzStatus nwCApplicationStack::GetSendRate(std::int64_t* bytesPerSecond) {
    if (owner_ == nullptr) {
        if (bytesPerSecond != nullptr) *bytesPerSecond = 0;
        return kLayerFail;
    }
    return owner_->GetSendRate(bytesPerSecond);
}

void nwCApplicationStack::OnSendFromAbove(const cpBuffer&) {}

bool nwCApplicationStack::OnEvent(int code) {
    switch (code) {
        case kEventConnectFailure:
            return OnConnectFailedEvent();
        case kEventSendQueueEmpty:
            return OnSendQueueEmptyEvent();
        case kEventIdleTimeout:
            return OnIdleTimeoutEvent();
        case kEvent64:
            return OnEvent64();
        default:
            return true;
    }
}

std::int32_t nwCApplicationStack::OnReceive(const void* data, std::int32_t length) {
    std::int32_t consumed = 0;
    (void)dispatcher_.Parse(data, length, &consumed);  // fails only for a null count
    return consumed;
}

void nwCApplicationStack::OnShutdown() {
    dispatcher_.Stop();
    OnClosed();
}

vzStatus nwCApplicationStack::Close() {
    return owner_ ? owner_->Close() : kLayerFail;
}

vzStatus nwCApplicationStack::SetFlags(std::uint32_t flags) {
    return owner_ ? owner_->SetFlags(flags) : kLayerFail;
}

vzStatus nwCApplicationStack::AddFlags(std::uint32_t flags) {
    return owner_ ? owner_->AddFlags(flags) : kLayerFail;
}

vzStatus nwCApplicationStack::RemoveFlags(std::uint32_t flags) {
    return owner_ ? owner_->RemoveFlags(flags) : kLayerFail;
}

vzStatus nwCApplicationStack::Connect(const cpSocketAddress& address) {
    return owner_ ? owner_->Connect(address) : kLayerFail;
}

vzStatus nwCApplicationStack::NotifyConnected() {
    return owner_ ? owner_->ConnectedFrom(this) : kLayerFail;
}

std::int32_t nwCApplicationStack::DeliverUp(const void* data, std::int32_t length) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    return owner_ ? owner_->DeliverUp(this, data, length) : 0;
}

vzStatus nwCApplicationStack::SendDown(const cpBuffer& buffer) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    return owner_ ? owner_->SendFrom(this, buffer) : kLayerFail;
}

vzStatus nwCApplicationStack::SendFrame(std::uint16_t subtype, const void* payload,
                                        std::uint32_t payloadLength, std::uint16_t type) {
    // The frame is built here rather than in front of the caller's payload:
    // the caller keeps its buffer, and nothing depends on the caller having
    // reserved exactly the right header and padding room around it.
    std::vector<std::uint8_t> frame;
    if (vzFailed(nwBuildFrame(type, subtype, payload, payloadLength, &frame))) return kLayerFail;
    const cpBuffer buffer{frame.data(), static_cast<std::uint32_t>(frame.size())};
    return vzSucceeded(SendDown(buffer)) ? kLayerOk : kLayerFail;
}
