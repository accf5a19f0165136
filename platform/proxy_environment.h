// The proxy settings a user gives every HTTP client of the system, read the
// way curl reads them (and so the engine, through libcurl): `http_proxy`
// in lower case only (a CGI program gets HTTP_PROXY from a request's
// "Proxy:" header, so curl never trusts the upper-case name), `https_proxy`
// then `HTTPS_PROXY`, `all_proxy` then `ALL_PROXY` for a scheme without one
// of its own, and `no_proxy` then `NO_PROXY`. An empty value counts as
// unset.
//
// Any thread; reads the process environment (which nobody changes while
// the service runs; tests set it before they start one).
#pragma once

#include <string>

namespace plat {

struct ProxyEnvironment {
    std::string httpProxy;
    std::string httpsProxy;
    std::string allProxy;
    std::string noProxy;
};

ProxyEnvironment ReadProxyEnvironment();

}  // namespace plat
