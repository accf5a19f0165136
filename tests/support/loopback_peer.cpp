#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <cstring>

int ListenOnLoopback(int backlog, int* port) {
    *port = 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return -1;
    }
    int one = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // only speeds reuse up
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "listening on loopback: " << std::strerror(errno);
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

LoopbackListener::LoopbackListener() {
    fd_ = ListenOnLoopback(128, &port_);
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
    int port = 0;
    int fd = ListenOnLoopback(1, &port);
    if (fd >= 0) close(fd);
    plat::SockAddrIn a;
    a.portNet = htons(static_cast<std::uint16_t>(port));
    a.addrNet = htonl(INADDR_LOOPBACK);
    return a;
}

int UnusedFixedPort() {
    int low = 32768;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        int high = 0;
        if (std::fscanf(range, "%d %d", &low, &high) != 2) low = 32768;
        std::fclose(range);
    }
    // Spread over the range so that parallel test programs rarely meet.
    std::mt19937 random(static_cast<unsigned>(getpid()) * 7919u ^
                        static_cast<unsigned>(std::random_device{}()));
    const int first = 10000;
    if (low > first + 100) {
        std::uniform_int_distribution<int> pick(first, low - 1);
        for (int attempt = 0; attempt < 200; ++attempt) {
            const int port = pick(random);
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<std::uint16_t>(port));
            const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            if (free) return port;
        }
    }
    return ntohs(UnusedLoopbackPort().portNet);
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
