#include "http/agent_layer.h"

#include <cstring>
#include <vector>

#include "transport/frame.h"

nwCAgentLayer::nwCAgentLayer() {
    RegisterHandlers();
}

void nwCAgentLayer::RegisterHandlers() {
    // The callback is never null.
    (void)Dispatcher().RegisterHandler(kAgentMessageType, kAgentReplySubtype,
                                       &nwCAgentLayer::OnReplyFrame, this);
}

vzStatus nwCAgentLayer::SetListener(nwIAgentListener* listener, std::uint32_t value) {
    return StoreListener(listener, value);
}

vzStatus nwCAgentLayer::SendReport(const vzAgentReport& report) {
    if (report.count < 0 || (report.count > 0 && report.records == nullptr)) return kLayerFail;
    // In 64 bits: a count near the 32-bit limit must be refused, not wrap
    // into a small frame with a count that promises more than it carries.
    const std::uint64_t recordBytes = std::uint64_t{kAgentRecordSize} * std::uint64_t(report.count);
    const std::uint64_t payloadLength = sizeof(std::int32_t) + recordBytes;
    if (payloadLength > kFrameMaxPayload) return kLayerFail;

    std::vector<std::uint8_t> payload(payloadLength, 0);
    const auto count = static_cast<std::uint32_t>(report.count);
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<std::uint8_t>(count >> (8 * i));
    if (recordBytes != 0) std::memcpy(payload.data() + 4, report.records, recordBytes);
    // SendFrame adds the header and the padding to a multiple of 8.
    return SendFrame(kAgentReportSubtype, payload.data(), static_cast<std::uint32_t>(payloadLength),
                     kAgentMessageType);
}

void nwCAgentLayer::OnReplyFrame(const void* payload, std::uint32_t length, void* self) {
    auto* layer = static_cast<nwCAgentLayer*>(self);
    nwIAgentListener* listener = layer->Listener();
    if (!listener) return;
    // A reply without payload is still an answer; the reporter does not read
    // the code, only that the server answered.
    const std::uint8_t code = length > 0 ? *static_cast<const std::uint8_t*>(payload) : 0;
    listener->OnReply(layer->ListenerValue(), code);
}

bool nwCAgentLayer::OnConnected() {
    if (auto* listener = Listener()) listener->OnConnected(ListenerValue());
    return true;
}

void nwCAgentLayer::OnClosed() {
    // Forget the listener before telling it: the connection may outlive the
    // listener while it waits for its deferred release, and closed is the
    // last event anyway.
    auto* listener = Listener();
    const std::uint32_t value = ListenerValue();
    ClearListener();
    if (listener) listener->OnClosed(value);
}

bool nwCAgentLayer::OnConnectFailedEvent() {
    if (auto* listener = Listener()) listener->OnConnectFailed(ListenerValue());
    return true;
}

bool nwCAgentLayer::OnIdleTimeoutEvent() {
    if (auto* listener = Listener()) listener->OnIdleTimeout(ListenerValue());
    return true;
}
