// The interface of the proxy tunnel layer (class id 8216): a connection to
// an https origin through a proxy asks the proxy for a tunnel (CONNECT)
// before anything else goes over it.
#pragma once

#include <string>

#include "service/base/vz_unknown.h"

class vzIProxyTunnelLayer : public vzIUnknown {
public:
    // What to ask for: `target` "host:port", the proxy's credentials
    // ("Basic ...", or "" for none), and the proxy's "host:port" for the
    // reasons. Set before the connection is made.
    virtual vzStatus SetTunnel(const char* target, const char* authorization,
                               const char* proxyLabel) = 0;
    // Why the proxy did not open the tunnel ("" when it did, or has not
    // answered): what a session tells its user.
    virtual vzStatus GetRefusal(std::string* why) = 0;
};
