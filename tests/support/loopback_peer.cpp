#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackListener::LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 128);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) close(fd_);
}

plat::SockAddrIn LoopbackListener::Address() const {
    plat::SockAddrIn a;
    a.portNet = htons(static_cast<std::uint16_t>(port_));
    a.addrNet = htonl(INADDR_LOOPBACK);
    return a;
}

int LoopbackListener::AcceptOne() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

plat::SockAddrIn UnusedLoopbackPort() {
    // Bind to get a port the kernel just gave out, then free it again.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    plat::SockAddrIn a;
    a.portNet = addr.sin_port;
    a.addrNet = addr.sin_addr.s_addr;
    return a;
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long DrainFor(int fd, long expected) {
    long total = 0;
    char buf[65536];
    while (total < expected) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        total += n;
    }
    return total;
}

void ResetAndClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}
