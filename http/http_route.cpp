#include "http/http_route.h"

#include "http/split_url.h"

std::string HostHeaderFor(std::string_view host, std::uint16_t port, int scheme) {
    const std::uint16_t standard = scheme == kUrlSchemeHttps ? 443 : 80;
    std::string header(host);
    if (port != standard) header += ":" + std::to_string(port);
    return header;
}

bool DirectRoute(std::string_view url, HttpRoute* route) {
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
    if (!SplitUrl(url, &host, &path, &port, &scheme) || host.empty()) return false;
    if (scheme != kUrlSchemeHttp && scheme != kUrlSchemeHttps) return false;
    *route = HttpRoute{};
    route->connectHost = host;
    route->connectPort = port;
    route->tls = scheme == kUrlSchemeHttps;
    route->tlsName = host;
    route->requestTarget = path;
    route->hostHeader = HostHeaderFor(host, port, scheme);
    route->poolKey = UrlOrigin(url);
    return true;
}
