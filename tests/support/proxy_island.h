// A test world whose origin server can be reached only through a real HTTP
// proxy. nginx (the origin) and tinyproxy run in a private network namespace,
// the island, with a loopback of its own; the one way in from the test's
// network is a socat bridge to tinyproxy over a unix socket in the island's
// temporary folder (unix sockets are found through the file system, which the
// namespace shares):
//
//   test -> 127.0.0.1:ProxyPort() -> socat -> proxy.sock -> socat -> tinyproxy -> nginx
//           \_______ the test's network ________/            \____ the island's ____/
//
// So a client that ignores the proxy, or sends it something other than an
// absolute-form request or a CONNECT, cannot reach the origin. The island owns
// every process it starts: Stop() or its destructor (so also after a failed
// assertion) ends them, socat's per-connection processes included, and reaps
// them; the namespace goes with the last of them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/nginx_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_certificates.h"

class ProxyIsland {
public:
    struct Options {
        // A TLS listener on the origin with this certificate (and key) when
        // set. tinyproxy allows CONNECT to that port only; without it, it
        // refuses every CONNECT (403).
        CertificateFiles tls;
        // When set, tinyproxy answers 407 to requests without these Basic
        // credentials.
        std::string proxyUser;
        std::string proxyPassword;
        // Added inside the origin's nginx server block(s).
        std::string originConfig;
        // Added to tinyproxy's configuration.
        std::string proxyConfig;
    };

    explicit ProxyIsland(Options options = {});
    ~ProxyIsland();
    ProxyIsland(const ProxyIsland&) = delete;
    ProxyIsland& operator=(const ProxyIsland&) = delete;

    // Whether tinyproxy, socat, nginx, unshare and nsenter are installed and
    // this process may make a network namespace (as root, or through a user
    // namespace); else false with the reason in `*why`, for GTEST_SKIP.
    static bool Available(std::string* why = nullptr);
    // Makes the island and starts everything in it; false (with the reason
    // in Error()) when any of its servers does not come up, with the rest
    // stopped.
    bool Start();
    void Stop();

    // "http://127.0.0.1:<bridge port>", in the test's network.
    std::string ProxyUrl() const;
    int ProxyPort() const { return bridgePort_; }
    // The origin, for its files and addresses: Origin().Url(path) and
    // Origin().TlsUrl("127.0.0.1", path) are reachable through the proxy only.
    NginxServer& Origin() { return origin_; }
    // tinyproxy's log (LogLevel Info): every request arrives as a line
    // "... Request (file descriptor N): GET http://... HTTP/1.1", written
    // before the request is forwarded or refused.
    std::string ProxyLog() const;
    // The request lines of that log in order ("CONNECT 127.0.0.1:443 HTTP/1.1").
    std::vector<std::string> ProxyRequests() const;
    const std::string& Error() const { return error_; }

private:
    pid_t Spawn(std::vector<std::string> args, const std::string& output, bool inIsland,
                int stdinFd = -1);
    // The command that runs a program in place inside the island.
    std::vector<std::string> IslandLauncher() const;
    bool MakeNamespace();
    bool StartBridge();
    std::string Output(const std::string& name) const;

    TempFolder dir_;
    Options options_;
    NginxServer origin_;
    std::string error_;
    pid_t holder_ = -1;
    int holderPipe_ = -1;  // its stdin: the holder ends when this closes
    pid_t proxy_ = -1;
    pid_t islandBridge_ = -1;
    pid_t outerBridge_ = -1;
    int proxyPort_ = 0;  // tinyproxy's, inside the island
    int bridgePort_ = 0;
};
