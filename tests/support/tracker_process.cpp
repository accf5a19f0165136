#include "tests/support/tracker_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/listening_sockets.h"
#include "tests/support/loopback_peer.h"

extern char** environ;

namespace {

constexpr const char* kOpentracker = "/usr/bin/opentracker";

bool IsInfoHash(const std::string& text) {
    if (text.size() != 40) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Every byte escaped: the raw 20-byte hash as a query value.
std::string QueryEscaped(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) out += "%" + hex.substr(i, 2);
    return out;
}

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A tracker that accepts but never answers must not hold the test.
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One HTTP/1.0 GET; the whole answer (opentracker closes after it), or ""
// when the connection fails.
std::string HttpGet(int port, const std::string& target) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return "";
    std::string answer;
    const std::string request =
        "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    if (WriteAll(fd, request)) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, n);
    }
    close(fd);
    return answer;
}

}  // namespace

TrackerProcess::~TrackerProcess() {
    Stop();
}

bool TrackerProcess::Available() {
    return access(kOpentracker, X_OK) == 0;
}

std::string TrackerProcess::AnnounceUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
}

std::vector<std::string> TrackerProcess::ReadInfoHashes(const std::string& path) {
    std::vector<std::string> hashes;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) hashes.push_back(line);
    }
    return hashes;
}

std::string TrackerProcess::Log() const {
    std::ifstream in(dir_.Path() + "opentracker.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TrackerProcess::WriteList(const std::vector<std::string>& infoHashes) {
    for (const std::string& hash : infoHashes) {
        // opentracker skips a malformed line without a word, and the
        // torrent would then be refused with no hint why.
        if (!IsInfoHash(hash)) {
            error_ = "not a v1 info-hash (40 hex digits): '" + hash + "'";
            return false;
        }
    }
    // As root opentracker chroots into this folder and becomes nobody, who
    // must still read the list: modes that do not depend on the umask, and
    // the list named relative to the folder (as another user it only
    // changes into it). Renamed into place: a list read half-written would
    // silently lose hashes.
    const std::string root = dir_.Path() + "root/";
    std::filesystem::create_directories(root);
    chmod(root.c_str(), 0755);
    {
        std::ofstream list(root + "whitelist.new", std::ios::trunc);
        for (const std::string& hash : infoHashes) list << hash << "\n";
        if (!list.flush()) {
            error_ = "cannot write the tracker's list";
            return false;
        }
    }
    chmod((root + "whitelist.new").c_str(), 0644);
    if (rename((root + "whitelist.new").c_str(), (root + "whitelist").c_str()) != 0) {
        error_ = "cannot write the tracker's list";
        return false;
    }
    return true;
}

bool TrackerProcess::Start(const std::vector<std::string>& infoHashes) {
    Stop();
    error_.clear();
    if (!Available()) {
        error_ = "opentracker is not installed";
        return false;
    }
    if (!WriteList(infoHashes)) return false;
    const std::string log = dir_.Path() + "opentracker.log";
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = UnusedFixedPort();
        // -i before -p: opentracker binds each -p to the -i before it.
        // Given a -p and no -P it opens no UDP port.
        const std::string port = std::to_string(port_);
        const std::string root = dir_.Path() + "root/";
        std::vector<std::string> args = {kOpentracker, "-i", "127.0.0.1", "-p", port};
        args.insert(args.end(), {"-d", root, "-w", "whitelist", "-u", "nobody"});
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&pid_, kOpentracker, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error_ = "cannot start opentracker";
            return false;
        }
        if (!Answers()) {
            Stop();
            error_ =
                "opentracker did not answer on 127.0.0.1:" + std::to_string(port_) + ": " + Log();
            continue;  // the port was taken meanwhile: another one
        }
        hashes_ = infoHashes;
        if (!Settled(infoHashes, {})) {
            error_ += " (could it not read its list?): " + Log();
            Stop();
            return false;
        }
        return true;
    }
    return false;
}

bool TrackerProcess::SetInfoHashes(const std::vector<std::string>& infoHashes) {
    error_.clear();
    if (pid_ <= 0) {
        error_ = "the tracker is not running";
        return false;
    }
    if (!WriteList(infoHashes)) return false;
    std::vector<std::string> dropped;
    for (const std::string& old : hashes_) {
        bool kept = false;
        for (const std::string& hash : infoHashes)
            kept = kept || strcasecmp(old.c_str(), hash.c_str()) == 0;
        if (!kept) dropped.push_back(old);
    }
    hashes_ = infoHashes;
    // Safe only once it answers (Start saw to that): until then SIGHUP
    // would end it, not have the list read again.
    kill(pid_, SIGHUP);
    if (!Settled(infoHashes, dropped)) {
        error_ += ": " + Log();
        return false;
    }
    return true;
}

// It listens as soon as it has parsed its options, before it blocks SIGHUP
// and starts the thread that reads its list; an answer shows both done. Its
// own socket, looked up in /proc, tells it from a program that took the
// port first (opentracker then exits).
bool TrackerProcess::Answers() {
    const std::string refused = "/announce?info_hash=" + QueryEscaped(std::string(40, '0')) +
                                "&peer_id=-ZK0000-trackerprobe&port=1&compact=1";
    for (int i = 0; i < 500; ++i) {
        if (ListensOnTcp(pid_, port_) &&
            HttpGet(port_, refused).find("\r\n\r\n") != std::string::npos) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            // It died (port taken?), and is reaped: Stop must not signal a
            // reused id.
            pid_ = -1;
            return false;
        }
        usleep(10000);
    }
    return false;
}

bool TrackerProcess::Settled(const std::vector<std::string>& accepted,
                             const std::vector<std::string>& refused) {
    for (const std::string& hash : accepted) {
        if (!Answered(hash, true)) {
            error_ = "opentracker refuses " + hash;
            return false;
        }
    }
    for (const std::string& hash : refused) {
        if (!Answered(hash, false)) {
            error_ = "opentracker still serves " + hash;
            return false;
        }
    }
    return true;
}

// The list is read by a thread of its own, a moment after the tracker
// answers, and not at all when it cannot be opened (everything is refused
// then). So each hash is announced from port 1 until the answer is the one
// expected; a peer so announced is withdrawn at once, so that no client is
// ever handed it.
bool TrackerProcess::Answered(const std::string& infoHash, bool taken) {
    const std::string announce = "/announce?info_hash=" + QueryEscaped(infoHash) +
                                 "&peer_id=-ZK0000-trackerprobe&port=1&compact=1";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string answer = HttpGet(port_, announce + "&event=started");
        const bool wasTaken = answer.find("5:peers") != std::string::npos;
        if (wasTaken) HttpGet(port_, announce + "&event=stopped");
        const bool wasRefused = answer.find("failure reason") != std::string::npos;
        if (taken ? wasTaken : wasRefused) return true;
        usleep(10000);
    }
    return false;
}

void TrackerProcess::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}
