// Sockets with Winsock's vocabulary: calls return -1 (kSocketError) and the
// reason is read with WSAGetLastError as the Winsock error number a Windows
// program would see, so error tables written for Winsock work unchanged.
//
// WSAAsyncSelect behaves as Winsock documents it: notifications are posted
// to the window's thread as (message, wParam = socket, lParam = event |
// error << 16). FD_READ is posted when data waits and not again until Recv
// has been called; FD_WRITE after a connect succeeds and, after a send that
// would block, once space returns; FD_CONNECT once per connect with its
// error; FD_CLOSE once, and only after every byte that arrived before the
// close has been read. A new call replaces the old mask and re-enables
// FD_READ / FD_WRITE, so they are posted at once when data waits or the
// socket can send. Mask 0 stops notifications and withdraws those not yet
// fetched.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace plat {

using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;
inline constexpr int kSocketError = -1;

enum class SocketKind { kStream = 0, kDatagram = 1 };

// Winsock error numbers.
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEbadf = 10009;
inline constexpr int kWsaEacces = 10013;
inline constexpr int kWsaEfault = 10014;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEmfile = 10024;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEinprogress = 10036;
inline constexpr int kWsaEalready = 10037;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEmsgsize = 10040;
inline constexpr int kWsaEopnotsupp = 10045;
inline constexpr int kWsaEafnosupport = 10047;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEaddrnotavail = 10049;
inline constexpr int kWsaEnetdown = 10050;
inline constexpr int kWsaEnetunreach = 10051;
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEnobufs = 10055;
inline constexpr int kWsaEisconn = 10056;
inline constexpr int kWsaEnotconn = 10057;
inline constexpr int kWsaEshutdown = 10058;
inline constexpr int kWsaEtimedout = 10060;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaEhostunreach = 10065;

// Notification events (low word of lParam).
inline constexpr long kFdRead = 1;
inline constexpr long kFdWrite = 2;
inline constexpr long kFdOob = 4;
inline constexpr long kFdAccept = 8;
inline constexpr long kFdConnect = 16;
inline constexpr long kFdClose = 32;

inline constexpr int SelectEvent(LParam lParam) {
    return static_cast<int>(lParam & 0xFFFF);
}
inline constexpr int SelectError(LParam lParam) {
    return static_cast<int>((lParam >> 16) & 0xFFFF);
}

// An IPv4 socket address as Winsock lays it out: family 2, port and address
// in network byte order, eight zero bytes.
struct SockAddrIn {
    std::uint16_t family = 2;
    std::uint16_t portNet = 0;
    std::uint32_t addrNet = 0;
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

std::uint16_t HostToNet16(std::uint16_t v);
std::uint16_t NetToHost16(std::uint16_t v);
std::uint32_t HostToNet32(std::uint32_t v);
std::uint32_t NetToHost32(std::uint32_t v);
inline constexpr std::uint32_t kLoopbackHostOrder = 0x7F000001;

int WSAStartup(std::uint16_t requestedVersion, std::uint16_t* grantedVersion);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

Socket CreateSocket(SocketKind kind);
int CloseSocket(Socket s);
int SetNonBlocking(Socket s, bool on);
int SetLinger(Socket s, bool on, int seconds);
int SetReuseAddress(Socket s, bool on);
int SetBroadcast(Socket s, bool on);

// A stream socket's connect never completes inside the call for a
// non-blocking socket: it answers kWsaEwouldblock and the outcome arrives as
// FD_CONNECT, as on Windows (also for a refusal the kernel knew at once).
int Connect(Socket s, const SockAddrIn& to);
int Bind(Socket s, const SockAddrIn& at);
int Listen(Socket s, int backlog);
Socket Accept(Socket s, SockAddrIn* peer);
int GetPeerName(Socket s, SockAddrIn* peer);
int GetSockName(Socket s, SockAddrIn* local);

int Send(Socket s, const void* data, int length);
int Recv(Socket s, void* buffer, int size);  // 0 after an orderly close
int SendTo(Socket s, const void* data, int length, const SockAddrIn& to);
int RecvFrom(Socket s, void* buffer, int size, SockAddrIn* from);
// Bytes that can be read at once (ioctlsocket FIONREAD).
int BytesWaiting(Socket s, unsigned long* count);

int WSAAsyncSelect(Socket s, Hwnd hwnd, std::uint32_t message, long eventMask);

}  // namespace plat
