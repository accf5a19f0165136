// Sockets and WSAAsyncSelect on epoll.
//
// Every socket created here has a state record. A socket selected onto a
// window is watched by the epoll set of the window's thread queue, and the
// queue's wait calls OnSocketReadiness on that thread. Interest is level
// triggered but narrowed to what may be reported next: FD_READ is dropped
// from the interest once posted and comes back when Recv is called, FD_WRITE
// comes back after a send that would block. Interest changes go through
// epoll_ctl, which is safe against a concurrent epoll_wait, so any thread may
// send, receive or re-select.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/detail/thread_queue.h"
#include "platform/detail/wsa_errors.h"
#include "platform/sockets.h"

namespace plat {

using detail::WsaErrorFromErrno;

namespace {

struct SocketState {
    int fd = -1;
    SocketKind kind = SocketKind::kStream;
    std::uint32_t generation = 0;
    bool nonBlocking = false;

    Hwnd hwnd = nullptr;
    std::uint32_t message = 0;
    long mask = 0;
    std::shared_ptr<detail::ThreadQueue> queue;
    std::uint32_t watched = 0;  // events in the epoll set; 0 = not in it

    bool connecting = false;
    bool connected = false;
    bool listening = false;
    bool readEnabled = false;
    bool writeEnabled = false;
    bool acceptEnabled = false;
    bool closeNotified = false;
    bool suspended = false;  // hang-up seen with nothing to report until re-enabled
    // The last send would have blocked or took less than it was given, so
    // the socket may not be able to send now; cleared once epoll says it can.
    bool sendBlocked = false;
};

struct SocketTable {
    std::mutex mutex;
    std::unordered_map<int, SocketState> sockets;
    std::uint32_t nextGeneration = 1;
};

SocketTable& Table() {
    static SocketTable* table = new SocketTable;
    return *table;
}

thread_local int t_lastError = 0;

int Fail(int wsaError) {
    t_lastError = wsaError;
    return kSocketError;
}
int FailErrno() {
    return Fail(detail::WsaErrorFromErrno(errno));
}

std::uint64_t KeyOf(const SocketState& s) {
    return (std::uint64_t{s.generation} << 32) | static_cast<std::uint32_t>(s.fd);
}

sockaddr_in ToNative(const SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a.portNet;
    n.sin_addr.s_addr = a.addrNet;
    return n;
}

SockAddrIn FromNative(const sockaddr_in& n) {
    SockAddrIn a;
    a.family = 2;
    a.portNet = n.sin_port;
    a.addrNet = n.sin_addr.s_addr;
    return a;
}

LParam Notification(long event, int error) {
    return static_cast<LParam>((static_cast<std::uint32_t>(error) << 16) |
                               static_cast<std::uint32_t>(event));
}

// Whether the socket is in a state where readiness means something; a fresh
// unconnected stream socket reports a permanent hang-up and must not be watched.
bool Active(const SocketState& s) {
    return s.kind == SocketKind::kDatagram || s.connecting || s.connected || s.listening;
}

// Recomputes the epoll interest. Called with the table locked.
//
// Interest is widened at once but narrowed lazily: a socket whose FD_READ
// was just posted keeps its interest, because the message loop nearly
// always reads it before it waits again, and the receive would widen the
// interest straight back: two epoll_ctl calls per receive for nothing.
// Readiness that comes while nothing may be reported narrows it then
// (`narrowNow`, from the readiness handler), at the cost of one wake-up;
// a socket whose notifications were all posted keeps its interest until
// then, since the loop handles them before it polls again.
void UpdateInterest(SocketState& s, bool narrowNow = false) {
    std::uint32_t want = 0;
    if (s.queue && s.mask != 0 && Active(s) && !s.suspended) {
        if (s.listening) {
            if (s.acceptEnabled && (s.mask & kFdAccept)) want |= EPOLLIN;
        } else if (s.connecting) {
            want |= EPOLLOUT;
        } else {
            if (s.readEnabled && !s.closeNotified && (s.mask & (kFdRead | kFdClose)))
                want |= EPOLLIN | EPOLLRDHUP;
            if (s.writeEnabled && (s.mask & kFdWrite)) want |= EPOLLOUT;
        }
    }
    if (want == s.watched) return;
    // Only FD_READ and FD_WRITE of a connected socket wait to be narrowed: a
    // connect's outcome, a close or a hang-up ends the interest at once.
    const bool deferrable = s.connected && !s.closeNotified && !s.suspended && s.mask != 0;
    if (!narrowNow && deferrable && s.queue && (want & ~s.watched) == 0) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = KeyOf(s);
    if (want == 0) {
        epoll_ctl(s.queue->EpollFd(), EPOLL_CTL_DEL, s.fd, nullptr);
    } else if (s.watched == 0) {
        if (epoll_ctl(s.queue->EpollFd(), EPOLL_CTL_ADD, s.fd, &ev) != 0 && errno == EEXIST)
            epoll_ctl(s.queue->EpollFd(), EPOLL_CTL_MOD, s.fd, &ev);
    } else {
        epoll_ctl(s.queue->EpollFd(), EPOLL_CTL_MOD, s.fd, &ev);
    }
    s.watched = want;
}

void StopWatching(SocketState& s) {
    if (s.watched != 0 && s.queue) epoll_ctl(s.queue->EpollFd(), EPOLL_CTL_DEL, s.fd, nullptr);
    s.watched = 0;
}

void PurgeNotifications(const SocketState& s) {
    if (!s.queue || !s.hwnd) return;
    Hwnd hwnd = s.hwnd;
    std::uint32_t message = s.message;
    WParam socket = static_cast<WParam>(s.fd);
    s.queue->Purge(
        [=](const Msg& m) { return m.hwnd == hwnd && m.message == message && m.wParam == socket; });
}

void Notify(const SocketState& s, long event, int error) {
    if (s.mask & event)
        PostMessage(s.hwnd, s.message, static_cast<WParam>(s.fd), Notification(event, error));
}

int PendingSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

SocketState* Find(int fd) {
    auto& sockets = Table().sockets;
    auto it = sockets.find(fd);
    return it == sockets.end() ? nullptr : &it->second;
}

}  // namespace

namespace detail {

void OnSocketReadiness(std::uint64_t key, std::uint32_t events, bool messagesWaiting) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    SocketState* s = Find(static_cast<int>(key & 0xFFFFFFFFu));
    if (!s || s->generation != (key >> 32) || !s->queue) return;

    bool reported = false;
    const bool hangup = events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP);
    if (s->connecting) {
        s->connecting = false;
        int err = PendingSocketError(s->fd);
        if (err == 0) {
            s->connected = true;
            Notify(*s, kFdConnect, 0);
            // Winsock follows a successful connect with FD_WRITE.
            Notify(*s, kFdWrite, 0);
            s->writeEnabled = false;
            s->readEnabled = true;
        } else {
            Notify(*s, kFdConnect, WsaErrorFromErrno(err != 0 ? err : ECONNREFUSED));
        }
        reported = true;
    } else if (s->listening) {
        if ((events & EPOLLIN) && s->acceptEnabled) {
            Notify(*s, kFdAccept, 0);
            s->acceptEnabled = false;
            reported = true;
        }
    } else {
        if (events & EPOLLOUT) s->sendBlocked = false;
        if ((events & EPOLLOUT) && s->writeEnabled) {
            Notify(*s, kFdWrite, 0);
            s->writeEnabled = false;
            reported = true;
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && s->readEnabled &&
            !s->closeNotified) {
            // Readable without a hang-up means data waits; only a hang-up
            // needs the count to tell data from the end of the stream.
            int waiting = 1;
            if (hangup || !(events & EPOLLIN)) ioctl(s->fd, FIONREAD, &waiting);
            if (waiting > 0 || (s->kind == SocketKind::kDatagram && (events & EPOLLIN))) {
                Notify(*s, kFdRead, 0);
                s->readEnabled = false;
                reported = true;
            } else if (s->kind == SocketKind::kStream) {
                char probe;
                ssize_t peeked = recv(s->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    int err = peeked < 0 ? errno : PendingSocketError(s->fd);
                    s->closeNotified = true;
                    Notify(*s, kFdClose, err == 0 ? 0 : WsaErrorFromErrno(err));
                    reported = true;
                }
            }
        }
    }
    // A hang-up with nothing to report (its data not yet read, say) would
    // wake the loop forever under level triggering; sleep until re-enabled.
    if (!reported && hangup) s->suspended = true;
    // Readiness that could report nothing is what narrows the interest,
    // unless the loop is about to handle what the socket already posted:
    // a poll between posted messages that sees a socket whose FD_READ
    // waits in the queue would otherwise drop its interest only for the
    // receive to add it straight back.
    UpdateInterest(*s, !reported && !(messagesWaiting && !hangup));
}

}  // namespace detail

std::uint16_t HostToNet16(std::uint16_t v) {
    return htons(v);
}
std::uint16_t NetToHost16(std::uint16_t v) {
    return ntohs(v);
}
std::uint32_t HostToNet32(std::uint32_t v) {
    return htonl(v);
}
std::uint32_t NetToHost32(std::uint32_t v) {
    return ntohl(v);
}

int WSAStartup(std::uint16_t requestedVersion, std::uint16_t* grantedVersion) {
    if (grantedVersion) *grantedVersion = requestedVersion <= 0x0202 ? requestedVersion : 0x0202;
    return 0;
}
int WSACleanup() {
    return 0;
}
int WSAGetLastError() {
    return t_lastError;
}
void WSASetLastError(int error) {
    t_lastError = error;
}

Socket CreateSocket(SocketKind kind) {
    int fd = kind == SocketKind::kStream ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                                         : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailErrno();
        return kInvalidSocket;
    }
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    SocketState& s = table.sockets[fd];
    s = SocketState{};
    s.fd = fd;
    s.kind = kind;
    s.generation = table.nextGeneration++;
    return fd;
}

int CloseSocket(Socket sock) {
    int fd = static_cast<int>(sock);
    {
        auto& table = Table();
        std::lock_guard lock(table.mutex);
        SocketState* s = Find(fd);
        if (!s) return Fail(kWsaEnotsock);
        StopWatching(*s);
        PurgeNotifications(*s);
        table.sockets.erase(fd);
    }
    close(fd);
    return 0;
}

int SetNonBlocking(Socket sock, bool on) {
    int fd = static_cast<int>(sock);
    std::lock_guard lock(Table().mutex);
    SocketState* s = Find(fd);
    if (!s) return Fail(kWsaEnotsock);
    // Every mode change goes through here or WSAAsyncSelect, so the record
    // knows the mode: two system calls saved per call, several per connection.
    if (s->nonBlocking == on) return 0;
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0)
        return FailErrno();
    s->nonBlocking = on;
    return 0;
}

int SetLinger(Socket sock, bool on, int seconds) {
    linger l{on ? 1 : 0, seconds};
    if (setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        return FailErrno();
    return 0;
}

int SetReuseAddress(Socket sock, bool on) {
    int v = on ? 1 : 0;
    if (setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) != 0)
        return FailErrno();
    return 0;
}

int SetBroadcast(Socket sock, bool on) {
    int v = on ? 1 : 0;
    if (setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_BROADCAST, &v, sizeof v) != 0)
        return FailErrno();
    return 0;
}

int Connect(Socket sock, const SockAddrIn& to) {
    int fd = static_cast<int>(sock);
    sockaddr_in addr = ToNative(to);
    int r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = r == 0 ? 0 : errno;
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    SocketState* s = Find(fd);
    if (!s) return r == 0 ? 0 : Fail(WsaErrorFromErrno(err));
    if (!s->nonBlocking || s->kind == SocketKind::kDatagram) {
        if (r != 0) return Fail(WsaErrorFromErrno(err));
        s->connected = true;
        s->readEnabled = s->writeEnabled = true;
        UpdateInterest(*s);
        return 0;
    }
    if (r == 0 || err == EINPROGRESS) {
        s->connecting = true;
        s->suspended = false;
        UpdateInterest(*s);
        return Fail(kWsaEwouldblock);
    }
    // The kernel knew the outcome at once (a refusal on loopback). Winsock
    // never completes a non-blocking connect inside the call: report it the
    // same way, as FD_CONNECT with the error.
    if ((err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT) &&
        s->queue && (s->mask & kFdConnect)) {
        Notify(*s, kFdConnect, WsaErrorFromErrno(err));
        return Fail(kWsaEwouldblock);
    }
    return Fail(WsaErrorFromErrno(err));
}

int Bind(Socket sock, const SockAddrIn& at) {
    sockaddr_in addr = ToNative(at);
    if (bind(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return FailErrno();
    return 0;
}

int Listen(Socket sock, int backlog) {
    int fd = static_cast<int>(sock);
    if (listen(fd, backlog) != 0) return FailErrno();
    std::lock_guard lock(Table().mutex);
    if (SocketState* s = Find(fd)) {
        s->listening = true;
        s->acceptEnabled = true;
        UpdateInterest(*s);
    }
    return 0;
}

Socket Accept(Socket sock, SockAddrIn* peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd =
        accept4(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    int err = errno;
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    if (SocketState* listener = Find(static_cast<int>(sock))) {
        listener->acceptEnabled = true;
        UpdateInterest(*listener);
    }
    if (fd < 0) {
        Fail(WsaErrorFromErrno(err));
        return kInvalidSocket;
    }
    SocketState& s = table.sockets[fd];
    s = SocketState{};
    s.fd = fd;
    s.kind = SocketKind::kStream;
    s.generation = table.nextGeneration++;
    s.connected = true;
    if (peer) *peer = FromNative(addr);
    return fd;
}

int GetPeerName(Socket sock, SockAddrIn* peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getpeername(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return FailErrno();
    if (peer) *peer = FromNative(addr);
    return 0;
}

int GetSockName(Socket sock, SockAddrIn* local) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return FailErrno();
    if (local) *local = FromNative(addr);
    return 0;
}

int Send(Socket sock, const void* data, int length) {
    int fd = static_cast<int>(sock);
    const std::size_t asked = static_cast<size_t>(length < 0 ? 0 : length);
    ssize_t n = send(fd, data, asked, MSG_NOSIGNAL);
    if (n >= 0) {
        if (static_cast<std::size_t>(n) < asked) {
            // The send buffer is full: a selection now must wait for epoll.
            std::lock_guard lock(Table().mutex);
            if (SocketState* s = Find(fd)) s->sendBlocked = true;
        }
        return static_cast<int>(n);
    }
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        std::lock_guard lock(Table().mutex);
        if (SocketState* s = Find(fd)) {
            s->sendBlocked = true;
            s->writeEnabled = true;
            s->suspended = false;
            UpdateInterest(*s);
        }
    }
    return Fail(WsaErrorFromErrno(err));
}

int Recv(Socket sock, void* buffer, int size) {
    int fd = static_cast<int>(sock);
    ssize_t n = recv(fd, buffer, static_cast<size_t>(size < 0 ? 0 : size), 0);
    int err = errno;
    {
        // Winsock re-enables FD_READ with every receive call, whatever it returned.
        std::lock_guard lock(Table().mutex);
        if (SocketState* s = Find(fd)) {
            s->readEnabled = true;
            s->suspended = false;
            UpdateInterest(*s);
        }
    }
    if (n >= 0) return static_cast<int>(n);
    return Fail(WsaErrorFromErrno(err));
}

int SendTo(Socket sock, const void* data, int length, const SockAddrIn& to) {
    sockaddr_in addr = ToNative(to);
    ssize_t n = sendto(static_cast<int>(sock), data, static_cast<size_t>(length < 0 ? 0 : length),
                       MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (n < 0) return FailErrno();
    return static_cast<int>(n);
}

int RecvFrom(Socket sock, void* buffer, int size, SockAddrIn* from) {
    int fd = static_cast<int>(sock);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ssize_t n = recvfrom(fd, buffer, static_cast<size_t>(size < 0 ? 0 : size), 0,
                         reinterpret_cast<sockaddr*>(&addr), &len);
    int err = errno;
    {
        std::lock_guard lock(Table().mutex);
        if (SocketState* s = Find(fd)) {
            s->readEnabled = true;
            UpdateInterest(*s);
        }
    }
    if (n < 0) return Fail(WsaErrorFromErrno(err));
    if (from) *from = FromNative(addr);
    return static_cast<int>(n);
}

int BytesWaiting(Socket sock, unsigned long* count) {
    int waiting = 0;
    if (ioctl(static_cast<int>(sock), FIONREAD, &waiting) != 0) return FailErrno();
    if (count) *count = static_cast<unsigned long>(waiting);
    return 0;
}

int WSAAsyncSelect(Socket sock, Hwnd hwnd, std::uint32_t message, long eventMask) {
    int fd = static_cast<int>(sock);
    std::shared_ptr<detail::ThreadQueue> queue;
    if (eventMask != 0) {
        queue = detail::QueueOfWindow(hwnd);
        if (!queue) return Fail(kWsaEinval);
    }
    std::lock_guard lock(Table().mutex);
    SocketState* s = Find(fd);
    if (!s) return Fail(kWsaEnotsock);
    // Winsock puts a selected socket into non-blocking mode.
    if (!s->nonBlocking) {
        int flags = fcntl(fd, F_GETFL, 0);
        if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        s->nonBlocking = true;
    }
    if (eventMask == 0 || s->hwnd != hwnd || s->message != message) {
        PurgeNotifications(*s);
        StopWatching(*s);
    }
    if (eventMask == 0) {
        s->hwnd = nullptr;
        s->message = 0;
        s->mask = 0;
        s->queue.reset();
        return 0;
    }
    s->hwnd = hwnd;
    s->message = message;
    s->mask = eventMask;
    if (s->queue != queue) {
        StopWatching(*s);
        s->queue = queue;
    }
    // A new selection re-enables the level-style events: they are posted at
    // once when data waits or the socket can send.
    s->readEnabled = true;
    s->writeEnabled = s->connected;
    s->acceptEnabled = true;
    s->suspended = false;
    // A connected socket whose sends have all gone out can send: FD_WRITE
    // is posted here rather than after a round through epoll, which for a
    // kept connection re-selected per exchange cost two wake-ups and two
    // interest changes each time.
    if (s->connected && !s->sendBlocked && !s->closeNotified && (s->mask & kFdWrite)) {
        Notify(*s, kFdWrite, 0);
        s->writeEnabled = false;
    }
    UpdateInterest(*s);
    return 0;
}

}  // namespace plat
