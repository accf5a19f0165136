// nwCProxyTunnelLayer (class id 8216): the bottom layer of a connection to
// an https origin through a proxy. When the connection to the proxy is up
// it sends "CONNECT host:port" (with the proxy's credentials, when given)
// and holds everything the layers above send. A 2xx answer opens the
// tunnel: the layers above hear that they are connected (TLS begins its
// handshake with the origin, whose name it checks as ever) and the bytes
// pass through both ways from then on. Any other answer, or a malformed
// one, closes the connection and keeps the reason ("the proxy P asks for a
// user name and password (HTTP 407)").
//
// Thread: the worker, with the service lock held, like every layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/proxy_tunnel_interfaces.h"
#include "transport/application_stack.h"

class nwCProxyTunnelLayer final : public nwCLayer<vzIProxyTunnelLayer> {
public:
    nwCProxyTunnelLayer();

    // vzIProxyTunnelLayer
    vzStatus SetTunnel(const char* target, const char* authorization,
                       const char* proxyLabel) override;
    vzStatus GetRefusal(std::string* why) override;

    // nwIQoSNetStack, per layer
    bool OnConnected() override;
    void OnClosed() override {}
    void RegisterHandlers() override;
    void OnSendFromAbove(const cpBuffer& buffer) override;

private:
    static std::int32_t ReadFromProxy(const void* data, std::int32_t length, void* self);
    std::int32_t Read(const char* data, std::int32_t length);
    std::int32_t Refuse(std::string why);

    std::string target_;
    std::string authorization_;
    std::string proxyLabel_;
    bool asked_ = false;
    bool open_ = false;
    std::vector<std::vector<std::uint8_t>> held_;  // from above, until the tunnel stands
    std::string refusal_;
};
