#include "peer_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/socket_owner.h"

namespace engine {

bool PeerIsOurUser(int fd, std::string* peer) {
    sockaddr_in remote{};
    sockaddr_in local{};
    socklen_t remoteLength = sizeof remote;
    socklen_t localLength = sizeof local;
    *peer = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        remote.sin_family != AF_INET)
        return false;
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &remote.sin_addr, address, sizeof address);
    *peer = std::string(address) + ":" + std::to_string(ntohs(remote.sin_port));
    // The kernel lists the peer's own socket with the peer as its local end.
    const plat::TcpEndpoint peerEnd{remote.sin_addr.s_addr, ntohs(remote.sin_port)};
    const plat::TcpEndpoint ourEnd{local.sin_addr.s_addr, ntohs(local.sin_port)};
    std::uint32_t uid = 0;
    if (!plat::TcpConnectionUid(peerEnd, ourEnd, &uid)) return false;
    return uid == geteuid();
}

}  // namespace engine
