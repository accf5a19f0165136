#include "engine_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "engine_log.h"
#include "peer_check.h"

namespace engine {
namespace {

constexpr std::size_t kMaxConnections = 32;
constexpr int kLoopMs = 250;
constexpr std::int64_t kNetworkCheckMs = 1000;

}  // namespace

EngineServer::EngineServer(const EngineConfig& config, EngineLog* log, ITransferBackend* backend,
                           int stopFd)
    : config_(config), log_(log), backend_(backend), stopFd_(stopFd) {}

EngineServer::~EngineServer() {
    connections_.clear();
    if (listenFd_ >= 0) close(listenFd_);
}

bool EngineServer::Listen() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        log_->Line("Cannot create the listening socket: %s", std::strerror(errno));
        return false;
    }
    // Lets a restarted engine take its port back while old connections
    // linger in TIME_WAIT; a live listener still makes bind fail.
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 16) != 0) {
        log_->Line("Cannot listen on 127.0.0.1:%u: %s", config_.port, std::strerror(errno));
        return false;
    }
    log_->Line("Listening on 127.0.0.1:%u", config_.port);
    return true;
}

void EngineServer::Accept() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        std::string peer;
        if (!PeerIsOurUser(fd, &peer)) {
            log_->Line("Refused connection from %s: not this user's", peer.c_str());
            close(fd);
            continue;
        }
        if (connections_.size() >= kMaxConnections) {
            log_->Line("Refused connection from %s: too many connections", peer.c_str());
            close(fd);
            continue;
        }
        log_->Line("Connection from %s", peer.c_str());
        ConnectionContext context{backend_, &config_.faults, log_, &nextEngineJob_,
                                  [this](std::uint64_t n) { CountBodyBytes(n); }};
        connections_.push_back(std::make_unique<ClientConnection>(fd, peer, context));
    }
}

void EngineServer::CountBodyBytes(std::uint64_t count) {
    bodyBytes_ += count;
    const std::uint64_t limit = config_.faults.dieAfterBytes;
    if (limit != 0 && bodyBytes_ >= limit) {
        log_->Line("Dying after %llu body bytes (fault switch)",
                   static_cast<unsigned long long>(bodyBytes_));
        _exit(9);
    }
}

void EngineServer::CheckNetwork() {
    bool needed = false;
    for (const auto& connection : connections_) needed = needed || connection->NeedsNetwork();
    const NetworkWatch::Change change = network_.Check(needed);
    if (change == NetworkWatch::Change::kNone) return;
    const bool lost = change == NetworkWatch::Change::kLost;
    log_->Line(lost ? "Network lost" : "Network back");
    for (const auto& connection : connections_)
        if (connection->Introduced())
            connection->Send(lost ? EncodeNetworkLost() : EncodeNetworkRestored());
}

int EngineServer::Run() {
    std::int64_t idleSince = MonotonicMs();
    std::int64_t lastNetworkCheck = 0;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({stopFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto& connection : connections_) {
            short events = POLLIN;
            if (connection->WantsWrite()) events |= POLLOUT;
            fds.push_back({connection->Fd(), events, 0});
        }
        backend_->Wait(&fds, kLoopMs);
        if (fds[0].revents != 0) {
            log_->Line("Stopping on request");
            return 0;
        }
        if (fds[1].revents & POLLIN) Accept();
        // Connections accepted just now have no entry in fds yet.
        for (std::size_t i = 2; i < fds.size(); ++i) {
            ClientConnection& connection = *connections_[i - 2];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) connection.OnReadable();
            if (connection.Healthy() && (fds[i].revents & POLLOUT)) connection.OnWritable();
        }
        backend_->Poll();

        const std::int64_t now = MonotonicMs();
        for (const auto& connection : connections_) connection->Tick(now);
        if (now - lastNetworkCheck >= kNetworkCheckMs) {
            lastNetworkCheck = now;
            CheckNetwork();
        }
        std::erase_if(connections_,
                      [](const std::unique_ptr<ClientConnection>& c) { return !c->Healthy(); });
        if (!connections_.empty()) {
            idleSince = now;
        } else if (now - idleSince >= static_cast<std::int64_t>(config_.idleExitSeconds) * 1000) {
            log_->Line("No connection for %d s; ending", config_.idleExitSeconds);
            return 0;
        }
    }
}

}  // namespace engine
