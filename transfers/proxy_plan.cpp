#include "transfers/proxy_plan.h"

#include <cstdlib>

#include "http/split_url.h"
#include "http/uri_codec.h"
#include "platform/text.h"

namespace {

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        const auto c = static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[a >> 2];
        out += kDigits[((a & 3) << 4) | (b >> 4)];
        out += kDigits[((b & 15) << 2) | (c >> 6)];
        out += kDigits[c & 63];
    }
    if (i < bytes.size()) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const bool two = i + 1 < bytes.size();
        const auto b = two ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
        out += kDigits[a >> 2];
        out += kDigits[((a & 3) << 4) | (b >> 4)];
        out += two ? kDigits[(b & 15) << 2] : '=';
        out += '=';
    }
    return out;
}

std::string Decoded(std::string_view text) {
    std::string value(text);
    DecodeText(&value);
    return value;
}

ProxyChoice Unusable(std::string_view variable, std::string why) {
    ProxyChoice choice;
    choice.unusable = "the proxy in " + std::string(variable) + " " + why;
    return choice;
}

}  // namespace

ProxyChoice ParseProxyValue(std::string_view value, std::string_view variable) {
    value = plat::Trim(value);
    if (value.empty()) return {};
    if (const std::size_t scheme = value.find("://"); scheme != std::string_view::npos) {
        const std::string name = plat::AsciiLower(value.substr(0, scheme));
        if (name != "http")
            return Unusable(variable, "uses " + name + ", which this program cannot speak");
        value.remove_prefix(scheme + 3);
    }
    // What follows the authority (a "/" and anything after it) means nothing
    // for a proxy.
    value = value.substr(0, value.find_first_of("/?#"));
    ProxyServer server;
    if (const std::size_t at = value.rfind('@'); at != std::string_view::npos) {
        const std::string_view credentials = value.substr(0, at);
        const std::size_t colon = credentials.find(':');
        const std::string user = Decoded(credentials.substr(0, colon));
        const std::string password =
            colon == std::string_view::npos ? std::string() : Decoded(credentials.substr(colon + 1));
        server.authorization = "Basic " + Base64(user + ":" + password);
        value.remove_prefix(at + 1);
    }
    std::string_view host = value;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return Unusable(variable, "has no usable host");
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && port.front() != ':') return Unusable(variable, "has no usable port");
        if (!port.empty()) port.remove_prefix(1);
    } else if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty()) return Unusable(variable, "has no host");
    server.port = 1080;
    if (!port.empty()) {
        unsigned number = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || number > 65535) return Unusable(variable, "has no usable port");
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number == 0 || number > 65535) return Unusable(variable, "has no usable port");
        server.port = static_cast<std::uint16_t>(number);
    }
    server.host = std::string(host);
    server.label = server.host + ":" + std::to_string(server.port);
    ProxyChoice choice;
    choice.server = std::move(server);
    return choice;
}

ProxyRules ParseProxyRules(const plat::ProxyEnvironment& environment) {
    ProxyRules rules;
    rules.http = ParseProxyValue(environment.httpProxy, "http_proxy");
    rules.https = ParseProxyValue(environment.httpsProxy, "https_proxy");
    if (environment.httpProxy.empty())
        rules.http = ParseProxyValue(environment.allProxy, "all_proxy");
    if (environment.httpsProxy.empty())
        rules.https = ParseProxyValue(environment.allProxy, "all_proxy");
    std::string_view list = environment.noProxy;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view entry = plat::Trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (entry == "*") {
            rules.bypassAll = true;
            continue;
        }
        // "[::1]:8080", "host:8080": the port is not part of the name.
        if (!entry.empty() && entry.front() == '[') {
            entry = entry.substr(1, entry.find(']') - 1);
        } else if (const std::size_t colon = entry.find(':');
                   colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
            entry = entry.substr(0, colon);
        }
        while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
        while (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
        if (!entry.empty()) rules.bypass.push_back(plat::AsciiLower(entry));
    }
    return rules;
}

ProxyRules CurrentProxyRules() { return ParseProxyRules(plat::ReadProxyEnvironment()); }

bool BypassesProxy(const ProxyRules& rules, std::string_view host) {
    if (rules.bypassAll) return true;
    std::string name = plat::AsciiLower(host);
    while (!name.empty() && name.back() == '.') name.pop_back();
    for (const std::string& entry : rules.bypass) {
        if (name == entry) return true;
        if (name.size() > entry.size() && name.ends_with(entry) &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

bool PlanRoute(std::string_view url, const ProxyRules& rules, HttpRoute* route,
               std::string* whyNot) {
    if (!DirectRoute(url, route)) {
        if (whyNot) *whyNot = "not an http or https address: " + std::string(url.substr(0, 200));
        return false;
    }
    const bool https = route->tls;
    const ProxyChoice& choice = https ? rules.https : rules.http;
    if (BypassesProxy(rules, route->tlsName)) return true;
    if (!choice.unusable.empty()) {
        if (whyNot) *whyNot = choice.unusable;
        return false;
    }
    if (!choice.server) return true;
    const ProxyServer& proxy = *choice.server;
    const std::string originKey = route->poolKey;
    route->connectHost = proxy.host;
    route->connectPort = proxy.port;
    route->proxyAuthorization = proxy.authorization;
    route->proxyLabel = proxy.label;
    route->poolKey = originKey + " via " + proxy.label;
    if (https) {
        // TLS to the origin inside the tunnel: its name is still the one
        // checked.
        std::string host, path;
        std::uint16_t port = 0;
        int scheme = 0;
        (void)SplitUrl(url, &host, &path, &port, &scheme);  // DirectRoute took it already
        route->tunnelTarget = host + ":" + std::to_string(port);
    } else {
        // The absolute form: the proxy reads the origin from it.
        route->requestTarget = "http://" + route->hostHeader + route->requestTarget;
    }
    return true;
}
