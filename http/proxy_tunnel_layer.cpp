#include "http/proxy_tunnel_layer.h"

#include "http/http_response_head.h"

nwCProxyTunnelLayer::nwCProxyTunnelLayer() {
    RegisterHandlers();
}

void nwCProxyTunnelLayer::RegisterHandlers() {
    (void)Dispatcher().RegisterRawHandler(&nwCProxyTunnelLayer::ReadFromProxy,
                                          this);  // the callback is never null
}

vzStatus nwCProxyTunnelLayer::SetTunnel(const char* target, const char* authorization,
                                        const char* proxyLabel) {
    if (!target || !*target) return kLayerFail;
    target_ = target;
    authorization_ = authorization ? authorization : "";
    proxyLabel_ = proxyLabel ? proxyLabel : "";
    return kLayerOk;
}

vzStatus nwCProxyTunnelLayer::GetRefusal(std::string* why) {
    if (why) *why = refusal_;
    return kLayerOk;
}

bool nwCProxyTunnelLayer::OnConnected() {
    if (asked_ || target_.empty()) return false;
    asked_ = true;
    std::string request = "CONNECT " + target_ + " HTTP/1.1\r\nHost: " + target_ + "\r\n";
    if (!authorization_.empty()) request += "Proxy-Authorization: " + authorization_ + "\r\n";
    request += "\r\n";
    // Fails only once the layer has no connection.
    (void)SendDown(cpBuffer{request.data(), static_cast<std::uint32_t>(request.size())});
    // The layers above are told once the proxy has opened the tunnel.
    return false;
}

void nwCProxyTunnelLayer::OnSendFromAbove(const cpBuffer& buffer) {
    if (!buffer.data || buffer.length == 0) return;
    if (!open_) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer.data);
        held_.emplace_back(bytes, bytes + buffer.length);
        return;
    }
    (void)SendDown(buffer);  // fails only once the connection is gone
}

std::int32_t nwCProxyTunnelLayer::ReadFromProxy(const void* data, std::int32_t length,
                                                void* self) {
    return static_cast<nwCProxyTunnelLayer*>(self)->Read(static_cast<const char*>(data), length);
}

std::int32_t nwCProxyTunnelLayer::Refuse(std::string why) {
    refusal_ = std::move(why);
    return -1;  // the connection closes; the layers above hear OnClosed
}

std::int32_t nwCProxyTunnelLayer::Read(const char* data, std::int32_t length) {
    if (open_) return DeliverUp(data, length);
    const std::string proxy = proxyLabel_.empty() ? std::string("the proxy") : "the proxy " + proxyLabel_;
    std::size_t headLength = 0;
    std::size_t skipped = 0;
    const std::string_view buffered(data, static_cast<std::size_t>(length));
    switch (HttpResponseHead::FindEnd(buffered, &headLength, &skipped)) {
        case HttpResponseHead::Scan::kIncomplete:
            return 0;
        case HttpResponseHead::Scan::kTooLong:
            return Refuse(proxy + " answered the tunnel request with no usable head");
        case HttpResponseHead::Scan::kComplete:
            break;
    }
    HttpResponseHead head;
    if (!head.Parse(buffered.substr(skipped, headLength)))
        return Refuse(proxy + " answered the tunnel request with a malformed head (" +
                      head.Refusal() + ")");
    const int status = head.StatusCode();
    if (status < 200 || status > 299) {
        if (status == 407)
            return Refuse(proxy + " asks for a user name and password (HTTP 407)");
        if (status == 502 || status == 503 || status == 504)
            return Refuse(proxy + " could not reach " + target_ + " (HTTP " +
                          std::to_string(status) + ")");
        return Refuse(proxy + " refused a tunnel to " + target_ + " (HTTP " +
                      std::to_string(status) + ")");
    }
    open_ = true;
    // What the layers above sent meanwhile goes first, then they hear that
    // the connection is up (TLS starts its handshake with the origin).
    std::vector<std::vector<std::uint8_t>> held;
    held.swap(held_);
    for (const auto& piece : held)
        (void)SendDown(cpBuffer{piece.data(), static_cast<std::uint32_t>(piece.size())});
    (void)NotifyConnected();  // fails only without a connection
    // Bytes after the head are the origin's: the dispatcher hands them on
    // with the next call.
    return static_cast<std::int32_t>(skipped + headLength);
}
