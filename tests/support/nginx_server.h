// A real nginx on an ephemeral loopback port, serving a generated root from
// a temporary folder. Started by the test that needs it, stopped with it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_folder.h"

class NginxServer {
public:
    // `serverConfig` is added inside the server block (locations, limits),
    // `httpConfig` inside the http block.
    explicit NginxServer(std::string serverConfig = "", std::string httpConfig = "");
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    static bool Available();
    // Before Start: one more loopback port that speaks TLS with this
    // certificate (PEM chain) and key, serving the same root and server
    // configuration. Every server block gets the variable $tls_port, the
    // first TLS listener's port, so a configuration can redirect to it.
    void AddTlsListener(const std::string& certFile, const std::string& keyFile);
    // Before Start: nginx is started through `launcher`, a command that runs
    // its arguments in place in another network namespace (nsenter without
    // -p: it must exec, so that the process started is nginx itself). The
    // test cannot connect there, so Start then waits for nginx's listening
    // sockets in /proc instead.
    void RunThrough(std::vector<std::string> launcher) { launcher_ = std::move(launcher); }
    // Starts nginx and waits until it accepts connections; false (with the
    // reason in Error()) when it cannot.
    bool Start();
    void Stop();
    // Starts a stopped server again on the ports it had (a server that comes
    // back); false when they are taken meanwhile.
    bool Restart() {
        restarting_ = true;
        return Start();
    }

    int Port() const { return port_; }
    // The folder nginx serves, ending with "/".
    std::string Root() const { return dir_.Path() + "root/"; }
    std::string Url(const std::string& path) const;
    int TlsPort(std::size_t index = 0) const { return tls_.at(index).port; }
    // "https://" + host + ":" + the TLS listener's port + path.
    std::string TlsUrl(const std::string& host, const std::string& path,
                       std::size_t index = 0) const;
    const std::string& Error() const { return error_; }
    // Writes a file below the root (folders are created) with `size`
    // pseudo-random bytes seeded by `seed`; returns the content.
    std::string WriteFile(const std::string& path, std::size_t size, unsigned seed = 1);
    void WriteText(const std::string& path, const std::string& text);

private:
    TempFolder dir_;
    std::string serverConfig_;
    std::string httpConfig_;
    std::string error_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool restarting_ = false;
    std::vector<std::string> launcher_;
    struct TlsListener {
        std::string certFile;
        std::string keyFile;
        int port = 0;
    };
    std::vector<TlsListener> tls_;
};

// Deterministic test content: the same (size, seed) always gives the same bytes.
std::string PseudoRandomBytes(std::size_t size, unsigned seed);
