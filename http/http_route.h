// Where one request goes and how: the address the connection is made to
// (the origin, or a proxy), TLS to the origin, a CONNECT tunnel through an
// https proxy, the request target (the path, or the whole URL to a forward
// proxy), the Host header, what the proxy is told for its user, and the key
// under which the connection may carry a later request.
//
// The route is decided where the session's exchange is (transfers/, which
// reads the proxy settings); the HTTP layer only follows it. DirectRoute is
// the route without a proxy, the one the layer's plain Open takes.
//
// Plain data and a pure function; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct HttpRoute {
    std::string connectHost;  // resolved and connected to
    std::uint16_t connectPort = 0;
    bool tls = false;             // TLS to the origin (through the tunnel, when there is one)
    std::string tlsName;          // the origin's host: SNI and the certificate's name
    std::string tunnelTarget;     // "host:port" to CONNECT to first; "" for none
    std::string requestTarget;    // the path, or the absolute URL for a forward proxy
    std::string hostHeader;       // the origin's host, with its port unless the default
    std::string proxyAuthorization;  // "Basic ..." for the proxy; "" for none
    std::string proxyLabel;          // "host:port" of the proxy, for reasons; "" direct
    std::string poolKey;             // the origin, and the proxy the connection goes through
};

// The Host header of a URL's origin: the host, and ":port" when the port is
// not the scheme's default (RFC 9110, 7.2; a server that builds redirects
// from Host would otherwise send the client to the wrong port).
std::string HostHeaderFor(std::string_view host, std::uint16_t port, int scheme);

// The route straight to the URL's origin. False for a URL SplitUrl refuses,
// another scheme, or no host.
[[nodiscard]] bool DirectRoute(std::string_view url, HttpRoute* route);
