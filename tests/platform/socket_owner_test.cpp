// Who owns a TCP socket, from the kernel's table: parsing of sample tables
// (a connection from another user cannot be made here as root), and live
// lookups of our own sockets.
#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// 127.0.0.1:38006 listening (uid 1000), 0.0.0.0:8080 listening (uid 33),
// a connection 127.0.0.1:51000 -> 127.0.0.1:38006 of uid 1001 and its
// accepted end of uid 1000, one in TIME_WAIT, and lines to be skipped.
const char* kTable =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:9476 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 "
    "1 0 100 0 0 10 0\n"
    "   1: 00000000:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000    33        0 2 "
    "1 0 100 0 0 10 0\n"
    "   2: 0100007F:C738 0100007F:9476 01 00000000:00000000 00:00000000 00000000  1001        0 3 "
    "1 0 20 4 30 10 -1\n"
    "   3: 0100007F:9476 0100007F:C738 01 00000000:00000000 00:00000000 00000000  1000        0 4 "
    "1 0 20 4 30 10 -1\n"
    "   4: 0100007F:C739 0100007F:9476 06 00000000:00000000 03:00000F2B 00000000     0        0 0 "
    "3 0\n"
    "   5: garbage line\n"
    "   6: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000  7\n";

plat::TcpEndpoint Loopback(std::uint16_t port) {
    return {htonl(INADDR_LOOPBACK), port};
}

TEST(SocketOwnerTable, ListenersByPortOnLoopbackOrAnyAddress) {
    std::uint32_t uid = 0;
    ASSERT_TRUE(plat::ParseListenerUid(kTable, 38006, &uid));
    EXPECT_EQ(uid, 1000u);
    ASSERT_TRUE(plat::ParseListenerUid(kTable, 8080, &uid));
    EXPECT_EQ(uid, 33u);
    EXPECT_FALSE(plat::ParseListenerUid(kTable, 51000, &uid));  // a connection, not a listener
    EXPECT_FALSE(plat::ParseListenerUid(kTable, 1, &uid));
    EXPECT_FALSE(plat::ParseListenerUid("", 38006, &uid));
}

TEST(SocketOwnerTable, ListenersOfTwoUsersOnOnePortAreRefused) {
    const std::string table = std::string(kTable) +
                              "   7: 00000000:9476 00000000:0000 0A 00000000:00000000 00:00000000 "
                              "00000000  1002        0 9 1 0 100 0 0 10 0\n";
    std::uint32_t uid = 0;
    EXPECT_FALSE(plat::ParseListenerUid(table, 38006, &uid));
}

TEST(SocketOwnerTable, ConnectionsByBothEnds) {
    std::uint32_t uid = 0;
    // The peer's own socket tells who the peer is.
    ASSERT_TRUE(plat::ParseConnectionUid(kTable, Loopback(51000), Loopback(38006), &uid));
    EXPECT_EQ(uid, 1001u);
    ASSERT_TRUE(plat::ParseConnectionUid(kTable, Loopback(38006), Loopback(51000), &uid));
    EXPECT_EQ(uid, 1000u);
    // TIME_WAIT entries belong to nobody.
    EXPECT_FALSE(plat::ParseConnectionUid(kTable, Loopback(51001), Loopback(38006), &uid));
    EXPECT_FALSE(plat::ParseConnectionUid(kTable, Loopback(51002), Loopback(38006), &uid));
}

TEST(SocketOwnerTable, OverlongLinesAreSkipped) {
    const std::string table =
        "   0: 0100007F:9476 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000" +
        std::string(600, ' ') + "0\n";
    std::uint32_t uid = 0;
    EXPECT_FALSE(plat::ParseListenerUid(table, 38006, &uid));
}

TEST(SocketOwnerLive, OurListenerAndOurConnectionAreOurs) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);

    std::uint32_t uid = 12345;
    ASSERT_TRUE(plat::LoopbackListenerUid(port, &uid));
    EXPECT_EQ(uid, geteuid());

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    sockaddr_in clientAddress{};
    length = sizeof clientAddress;
    getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length);
    uid = 12345;
    ASSERT_TRUE(plat::TcpConnectionUid(
        {clientAddress.sin_addr.s_addr, ntohs(clientAddress.sin_port)}, Loopback(port), &uid));
    EXPECT_EQ(uid, geteuid());
    close(client);
    close(listener);
    EXPECT_FALSE(plat::LoopbackListenerUid(port, &uid));
}

}  // namespace
