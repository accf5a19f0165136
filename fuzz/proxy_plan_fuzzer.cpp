// The proxy settings a user's environment holds (transfers/proxy_plan.h):
// the proxy values, the no_proxy list and the route for a URL.
//
// Input: four lines: http_proxy, https_proxy, no_proxy, then the URL.
//
// Checks: a usable proxy has a host and a port other than 0 and a label
// made of them; a route through a forward proxy asks for the absolute URL
// and a route to https tunnels to the origin's host and port with TLS and
// the origin's name; a host no_proxy names is never proxied; credentials
// only ever go with a proxied route.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/read_script.h"
#include "transfers/proxy_plan.h"

namespace {

std::string Line(const std::string& input, std::size_t* from) {
    if (*from > input.size()) return {};
    const std::size_t lf = input.find('\n', *from);
    const std::size_t end = lf == std::string::npos ? input.size() : lf;
    std::string line = input.substr(*from, end - *from);
    *from = end + 1;
    return line;
}

void CheckChoice(const ProxyChoice& choice) {
    if (!choice.server) return;
    FUZZ_CHECK(choice.unusable.empty());
    FUZZ_CHECK(!choice.server->host.empty());
    FUZZ_CHECK(choice.server->port != 0);
    FUZZ_CHECK(choice.server->label ==
               choice.server->host + ":" + std::to_string(choice.server->port));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    plat::ProxyEnvironment environment;
    environment.httpProxy = Line(input, &at);
    environment.httpsProxy = Line(input, &at);
    environment.noProxy = Line(input, &at);
    const std::string url = Line(input, &at);
    const ProxyRules rules = ParseProxyRules(environment);
    CheckChoice(rules.http);
    CheckChoice(rules.https);
    HttpRoute direct;
    HttpRoute route;
    std::string why;
    const bool planned = PlanRoute(url, rules, &route, &why);
    if (!DirectRoute(url, &direct)) {
        FUZZ_CHECK(!planned);
        return 0;
    }
    if (!planned) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(route.tls == direct.tls);
    FUZZ_CHECK(route.tlsName == direct.tlsName);
    FUZZ_CHECK(route.hostHeader == direct.hostHeader);
    if (route.proxyLabel.empty()) {
        FUZZ_CHECK(route.connectHost == direct.connectHost);
        FUZZ_CHECK(route.requestTarget == direct.requestTarget);
        FUZZ_CHECK(route.proxyAuthorization.empty());
        return 0;
    }
    FUZZ_CHECK(!BypassesProxy(rules, direct.tlsName));
    if (route.tls) {
        FUZZ_CHECK(!route.tunnelTarget.empty());
        FUZZ_CHECK(route.requestTarget == direct.requestTarget);
    } else {
        FUZZ_CHECK(route.tunnelTarget.empty());
        FUZZ_CHECK(route.requestTarget == "http://" + direct.hostHeader + direct.requestTarget);
    }
    FUZZ_CHECK(route.poolKey != direct.poolKey);
    return 0;
}
