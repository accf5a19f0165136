// A real BitTorrent tracker (Debian's opentracker) on a loopback port, run
// from a temporary folder, for tests whose peers find each other through the
// tracker named in their metadata. Started by the test that needs it,
// stopped with it.
//
// Debian builds opentracker to serve only the torrents on its whitelist, so
// it is given the v1 info-hashes it may serve (tools/make-release prints them
// and writes them to <list>.hashes). Started as root it chroots into its
// folder and runs as nobody; as any other user it just works in that folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

class TrackerProcess {
public:
    TrackerProcess() = default;
    ~TrackerProcess();
    TrackerProcess(const TrackerProcess&) = delete;
    TrackerProcess& operator=(const TrackerProcess&) = delete;

    static bool Available();
    // Starts opentracker on a free loopback port (TCP only), serving the
    // torrents whose info-hashes (40 hex digits each) are given and refusing
    // any other, and waits, a few seconds at most, until it answers and
    // accepts every one of them. False, with the reason in Error(), when it
    // cannot (a malformed hash, no opentracker, a list it could not read).
    // With no hashes yet, AnnounceUrl() can go into metadata first.
    bool Start(const std::vector<std::string>& infoHashes = {});
    // Replaces the list of a running tracker (SIGHUP has it read the list
    // again) and waits until it accepts the hashes given and refuses those
    // it dropped. The port and the peers announced so far stay.
    bool SetInfoHashes(const std::vector<std::string>& infoHashes);
    // Ends it (SIGTERM, then SIGKILL after 3 s) and reaps it.
    void Stop();

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT/announce". libtorrent announces to a loopback
    // tracker only on a path that starts with /announce (its SSRF
    // mitigation).
    std::string AnnounceUrl() const;
    const std::string& Error() const { return error_; }

    // The info-hashes in a file of one a line (<list>.hashes); empty lines
    // are skipped.
    static std::vector<std::string> ReadInfoHashes(const std::string& path);

private:
    bool WriteList(const std::vector<std::string>& infoHashes);
    bool Answers();
    // Whether an announce of `infoHash` came to be taken (`taken`) or
    // refused, within a few seconds.
    bool Answered(const std::string& infoHash, bool taken);
    bool Settled(const std::vector<std::string>& accepted, const std::vector<std::string>& refused);
    std::string Log() const;

    TempFolder dir_;
    std::string error_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::vector<std::string> hashes_;
};
