// Which local user owns a TCP socket, as the kernel lists it in
// /proc/net/tcp. The service uses it to refuse a port that another user has
// taken before the engine; the engine uses it to refuse connections from
// other users. Only IPv4 sockets are looked at.
//
// Addresses are IPv4 in network byte order (as in in_addr::s_addr), ports
// in host byte order. Plain functions without state; any thread may call
// them. Reading the table is bounded (lines past 512 bytes are skipped and
// at most 64 MiB are read).
#pragma once

#include <cstdint>
#include <string_view>

namespace plat {

struct TcpEndpoint {
    std::uint32_t addressNet = 0;
    std::uint16_t port = 0;
};

// The uid of the socket listening on 127.0.0.1:port or 0.0.0.0:port. False
// when there is none, or when several listeners of different users match
// (that cannot be told apart).
[[nodiscard]] bool LoopbackListenerUid(std::uint16_t port, std::uint32_t* uid);

// Whether the process `pid` holds the socket listening on 127.0.0.1:port
// (or 0.0.0.0:port). Only the current user's processes can be looked into.
[[nodiscard]] bool ProcessListensOnLoopback(int pid, std::uint16_t port);
// The process holding the socket that listens on 127.0.0.1:port (or
// 0.0.0.0:port), when it is one the current user may look into; false
// when there is no listener or its process cannot be found. Walks every
// process: for diagnostics, not for polling.
[[nodiscard]] bool LoopbackListenerProcess(std::uint16_t port, int* pid);

// A loopback port nothing listens on right now (the system's pick for a
// port-0 bind); 0 when none can be had.
std::uint16_t FreeLoopbackPort();

// The uid of the connected socket whose own end is `local` and whose peer is
// `remote`. To learn who is at the other end of an accepted connection, pass
// the peer's address as `local`: on loopback both ends are listed.
[[nodiscard]] bool TcpConnectionUid(const TcpEndpoint& local, const TcpEndpoint& remote,
                                    std::uint32_t* uid);

// The same lookups over a table's text (the format of /proc/net/tcp), for
// tests and for callers that read the table themselves.
[[nodiscard]] bool ParseListenerUid(std::string_view table, std::uint16_t port, std::uint32_t* uid);
[[nodiscard]] bool ParseConnectionUid(std::string_view table, const TcpEndpoint& local,
                                      const TcpEndpoint& remote, std::uint32_t* uid);

}  // namespace plat
