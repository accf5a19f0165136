// Which way a request goes: straight to its origin, or through the proxy the
// user's environment names (platform/proxy_environment.h), as curl decides
// it, so that the service and the engine (libcurl) take the same way out.
//
// A proxy value is "[http://][user[:password]@]host[:port][/]"; without a
// port it is 1080, as for curl. User name and password are percent-decoded
// and go to the proxy as Basic credentials, never to an origin. A proxy of
// another scheme (https://, socks5://) is not one this program can speak:
// requests that would use it fail with that reason rather than quietly
// going around it.
//
// `no_proxy` is a comma-separated list of host names: an entry matches the
// host itself and every name below it ("example.com" and ".example.com"
// both match "cdn.example.com"), in any letter case; "*" alone matches
// every host. A port after an entry is ignored, as curl ignores it.
//
// An http URL through a proxy is sent to the proxy in absolute form; an
// https URL goes through a tunnel (CONNECT host:port) in which TLS checks
// the origin's certificate and name as it would without a proxy.
//
// Plain data and pure functions, any thread; CurrentProxyRules reads the
// environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_route.h"
#include "platform/proxy_environment.h"

struct ProxyServer {
    std::string host;
    std::uint16_t port = 0;
    std::string authorization;  // "Basic ..." or ""
    std::string label;          // "host:port", for the user's messages
};

// One scheme's proxy: none, a usable one, or a value that cannot be used.
struct ProxyChoice {
    std::optional<ProxyServer> server;
    std::string unusable;  // why the value cannot be used; "" when it can (or none is set)
};

struct ProxyRules {
    ProxyChoice http;
    ProxyChoice https;
    bool bypassAll = false;               // no_proxy is "*"
    std::vector<std::string> bypass;      // lower case, without a leading dot
};

// `variable` names where the value came from, for the reason when it
// cannot be used.
ProxyChoice ParseProxyValue(std::string_view value, std::string_view variable);
ProxyRules ParseProxyRules(const plat::ProxyEnvironment& environment);
ProxyRules CurrentProxyRules();

// Whether `host` is one no_proxy names.
bool BypassesProxy(const ProxyRules& rules, std::string_view host);

// The route for `url` under `rules`. False, with *whyNot, for a URL that
// cannot be opened (another scheme, no host) or whose proxy is unusable.
[[nodiscard]] bool PlanRoute(std::string_view url, const ProxyRules& rules, HttpRoute* route,
                             std::string* whyNot);
