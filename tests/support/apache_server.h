// A real apache2 on an ephemeral loopback port, serving a generated root from
// a temporary folder with a configuration written here (nothing of
// /etc/apache2 is read). Started by the test that needs it, stopped with it.
//
// Apache answers differently from nginx where a client's mistakes show: it
// builds the Location of its redirects (Redirect, mod_dir's trailing slash)
// from the request's Host header (UseCanonicalName Off, its default), so a
// client that leaves the port out of Host is sent to port 80.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "tests/support/temp_folder.h"

class ApacheServer {
public:
    // `config` is added at the end of the configuration, in the server
    // context: "Redirect 301 /old /new", or modules (LoadModuleLine) and
    // what they offer.
    explicit ApacheServer(std::string config = "");
    ~ApacheServer();
    ApacheServer(const ApacheServer&) = delete;
    ApacheServer& operator=(const ApacheServer&) = delete;

    static bool Available();
    // "LoadModule <name>_module <modules folder>/mod_<name>.so\n", for
    // modules beyond the ones always loaded (mpm_event, authz_core, alias,
    // mime, dir).
    static std::string LoadModuleLine(const std::string& name);
    // Starts apache (one process, apache2 -X) and waits until it listens;
    // false (with the reason in Error()) when it cannot.
    bool Start();
    void Stop();

    int Port() const { return port_; }
    // The folder apache serves, ending with "/".
    std::string Root() const { return dir_.Path() + "root/"; }
    std::string Url(const std::string& path) const;
    const std::string& Error() const { return error_; }
    // Writes a file below the root (folders are created) with `size`
    // pseudo-random bytes seeded by `seed` (PseudoRandomBytes); returns the content.
    std::string WriteFile(const std::string& path, std::size_t size, unsigned seed = 1);
    void WriteText(const std::string& path, const std::string& text);
    // The access log, one line per request, the Host and Range headers last
    // ("-" for one not sent):
    //   127.0.0.1 "GET /old HTTP/1.1" 301 230 "127.0.0.1:41201" "-"
    // Apache writes the line after it has sent the response, so a test waits
    // for it (WaitFor) rather than reading once.
    std::string AccessLog() const;

private:
    TempFolder dir_;
    std::string config_;
    std::string error_;
    int port_ = 0;
    pid_t pid_ = -1;
};
