#include "transport/cp_socket.h"

#include <gtest/gtest.h>

#include "platform/sockets.h"
#include "service/base/vz_smart_ptr.h"
#include "tests/support/loopback_peer.h"

TEST(WinsockMapping, EveryTabledErrorHasItsCode) {
    EXPECT_EQ(cpMapWinsockError(10035), 0x8022000Au);
    EXPECT_EQ(cpMapWinsockError(10036), 0x80220009u);
    EXPECT_EQ(cpMapWinsockError(10037), 0x80220006u);
    EXPECT_EQ(cpMapWinsockError(10038), 0x80220004u);
    EXPECT_EQ(cpMapWinsockError(10055), 0x80220008u);
    EXPECT_EQ(cpMapWinsockError(10061), 0x80220005u);
    EXPECT_EQ(cpMapWinsockError(10060), 0x80200000u);
    EXPECT_TRUE(vzIsWouldBlock(cpMapWinsockError(10035)));
}

TEST(SocketWrapper, CreateTwiceIsRefused) {
    vzSmartPtr holder;
    ASSERT_TRUE(holder.CreateInstance(kClassSocket));
    auto* socket = holder.As<cpCSocket>();
    EXPECT_EQ(socket->Create(0), kTransportOk);
    EXPECT_EQ(socket->Create(0), kSocketExists);
    EXPECT_EQ(socket->Close(), kTransportOk);
    EXPECT_EQ(socket->Send("x", 1, nullptr), kSocketCreateFail);
}

TEST(SocketWrapper, BlockingConnectToAClosedPortIsRefused) {
    vzSmartPtr holder;
    EXPECT_TRUE(holder.CreateInstance(kClassSocket));
    auto* socket = holder.As<cpCSocket>();
    ASSERT_EQ(socket->Create(0), kTransportOk);
    plat::SockAddrIn closed = UnusedLoopbackPort();
    cpSocketAddress to{closed.addrNet, plat::NetToHost16(closed.portNet)};
    EXPECT_EQ(socket->Connect(to), kConnRefused);
}

TEST(SocketWrapper, ListenAcceptSendAndReceiveOverLoopback) {
    vzSmartPtr serverHolder, clientHolder;
    EXPECT_TRUE(serverHolder.CreateInstance(kClassSocket));
    EXPECT_TRUE(clientHolder.CreateInstance(kClassSocket));
    auto* server = serverHolder.As<cpCSocket>();
    auto* client = clientHolder.As<cpCSocket>();
    ASSERT_EQ(server->Create(0), kTransportOk);
    cpSocketAddress any{plat::HostToNet32(plat::kLoopbackHostOrder), 0};
    ASSERT_EQ(server->Bind(any), kTransportOk);
    ASSERT_EQ(server->Listen(), kTransportOk);
    plat::SockAddrIn bound;
    ASSERT_EQ(plat::GetSockName(server->Record()->handle, &bound), 0);

    ASSERT_EQ(client->Create(0), kTransportOk);
    ASSERT_EQ(client->Connect({bound.addrNet, plat::NetToHost16(bound.portNet)}), kTransportOk);
    cpSocketRecord* accepted = nullptr;
    cpSocketAddress peer;
    ASSERT_EQ(server->Accept(&accepted, &peer), kTransportOk);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(peer.addressNet, plat::HostToNet32(plat::kLoopbackHostOrder));
    EXPECT_EQ(accepted->slot, -1);

    int sent = 0;
    ASSERT_EQ(client->Send("ping", 4, &sent), kTransportOk);
    EXPECT_EQ(sent, 4);
    char buf[8] = {};
    EXPECT_EQ(plat::Recv(accepted->handle, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "ping");
    cpDestroySocketRecord(accepted);
    int received = -1;
    EXPECT_EQ(client->Receive(buf, sizeof buf, &received), kTransportFail);  // the peer went away
}
