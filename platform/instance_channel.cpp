#include "platform/instance_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/system_folders.h"

namespace plat {
namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kAnswer[] = "ok\n";
// A client that connects and says nothing must not hold up the server.
constexpr int kRequestWaitMs = 1000;

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Reads until `text` has arrived completely or the deadline passes.
bool Expect(int fd, const char* text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::size_t want = std::strlen(text);
    std::string got;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[16];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - got.size()));
        if (n <= 0) return false;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got == text;
}

void WriteAll(int fd, const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = send(fd, text, left, MSG_NOSIGNAL);
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string InstanceSocketPath(const std::string& instanceName) {
    char name[64];
    std::snprintf(name, sizeof name, "tlxdownloader-%u-%016llx.sock",
                  static_cast<unsigned>(getuid()),
                  static_cast<unsigned long long>(Fnv1a(instanceName)));
    return plat::RuntimeFolder() + name;
}

RaiseRequestServer::~RaiseRequestServer() {
    Stop();
}

bool RaiseRequestServer::Start(const std::string& instanceName, std::function<void()> onRaise) {
    Stop();
    sockaddr_un address;
    const std::string path = InstanceSocketPath(instanceName);
    if (!FillAddress(path, &address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // The caller holds the instance lock, so a socket file here is a
    // leftover of a holder that did not end cleanly.
    unlink(path.c_str());
    // Other users have no business with this window.
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       chmod(path.c_str(), 0600) == 0;
    if (!bound || listen(fd, 4) != 0) {
        close(fd);
        unlink(path.c_str());
        return false;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        close(fd);
        unlink(path.c_str());
        return false;
    }
    listenFd_ = fd;
    path_ = path;
    onRaise_ = std::move(onRaise);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void RaiseRequestServer::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(path_.c_str());
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
}

void RaiseRequestServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        if (Expect(client, kRequest, kRequestWaitMs)) {
            onRaise_();
            WriteAll(client, kAnswer);
        }
        close(client);
    }
}

bool RequestRaise(const std::string& instanceName, int timeoutMs) {
    sockaddr_un address;
    if (!FillAddress(InstanceSocketPath(instanceName), &address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool confirmed = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        WriteAll(fd, kRequest);
        confirmed = Expect(fd, kAnswer, timeoutMs);
    }
    close(fd);
    return confirmed;
}

}  // namespace plat
