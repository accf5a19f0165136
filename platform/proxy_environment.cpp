#include "platform/proxy_environment.h"

#include <cstdlib>

namespace plat {
namespace {

std::string FirstSet(const char* first, const char* second = nullptr) {
    for (const char* name : {first, second}) {
        if (!name) continue;
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return {};
}

}  // namespace

ProxyEnvironment ReadProxyEnvironment() {
    ProxyEnvironment environment;
    environment.httpProxy = FirstSet("http_proxy");
    environment.httpsProxy = FirstSet("https_proxy", "HTTPS_PROXY");
    environment.allProxy = FirstSet("all_proxy", "ALL_PROXY");
    environment.noProxy = FirstSet("no_proxy", "NO_PROXY");
    return environment;
}

}  // namespace plat
