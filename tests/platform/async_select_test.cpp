// WSAAsyncSelect over real loopback sockets: the notifications a Windows
// program relies on, in the order and number Winsock posts them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/sockets.h"
#include "platform/window.h"
#include "tests/support/loopback_peer.h"

namespace {

constexpr std::uint32_t kNotify = plat::kWmUser + 10;

struct Note {
    int event;
    int error;
};
std::vector<Note> g_notes;

plat::LResult NoteProc(plat::Hwnd, std::uint32_t message, plat::WParam, plat::LParam lParam) {
    if (message == kNotify)
        g_notes.push_back({plat::SelectEvent(lParam), plat::SelectError(lParam)});
    return 0;
}

class AsyncSelectTest : public testing::Test {
protected:
    void SetUp() override {
        g_notes.clear();
        window_ = plat::CreateHiddenWindow(NoteProc, "async select test");
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        if (socket_ != plat::kInvalidSocket) plat::CloseSocket(socket_);
        plat::DestroyWindow(window_);
    }

    // Dispatches messages for `ms`, or until `stop` holds.
    template <class Stop>
    void Pump(int ms, Stop stop) {
        std::int64_t end = plat::MonotonicMs() + ms;
        plat::Msg msg;
        while (!stop()) {
            std::int64_t left = end - plat::MonotonicMs();
            if (left <= 0) return;
            if (plat::GetMessageFor(&msg, static_cast<int>(left)) == plat::WaitResult::kMessage)
                plat::DispatchMessage(msg);
        }
    }
    void Pump(int ms) {
        Pump(ms, [] { return false; });
    }
    bool PumpUntilEvent(int event, int ms = 5000) {
        Pump(ms, [&] { return Count(event) > 0; });
        return Count(event) > 0;
    }
    // Sends until the socket would block; the bytes that went out.
    long FillUntilWouldBlock() {
        std::string chunk(65536, 'y');
        long sent = 0;
        for (;;) {
            int n = plat::Send(socket_, chunk.data(), static_cast<int>(chunk.size()));
            if (n < 0) return sent;
            sent += n;
        }
    }
    static int Count(int event) {
        int n = 0;
        for (const Note& note : g_notes) n += note.event == event;
        return n;
    }

    // A connected stream socket selected with every event, and the peer end.
    int ConnectToPeer(LoopbackListener& listener) {
        socket_ = plat::CreateSocket(plat::SocketKind::kStream);
        EXPECT_EQ(plat::WSAAsyncSelect(socket_, window_, kNotify, 63), 0);
        EXPECT_EQ(plat::Connect(socket_, listener.Address()), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEwouldblock);
        int peer = listener.AcceptOne();
        EXPECT_TRUE(PumpUntilEvent(plat::kFdConnect));
        return peer;
    }

    plat::Hwnd window_ = nullptr;
    plat::Socket socket_ = plat::kInvalidSocket;
};

}  // namespace

TEST_F(AsyncSelectTest, ConnectToAClosedPortPostsFdConnectWithConnectionRefused) {
    plat::SockAddrIn closed = UnusedLoopbackPort();
    socket_ = plat::CreateSocket(plat::SocketKind::kStream);
    ASSERT_EQ(plat::WSAAsyncSelect(socket_, window_, kNotify, 63), 0);
    EXPECT_EQ(plat::Connect(socket_, closed), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEwouldblock);
    ASSERT_TRUE(PumpUntilEvent(plat::kFdConnect));
    Pump(50);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].error, plat::kWsaEconnrefused);
}

TEST_F(AsyncSelectTest, SuccessfulConnectPostsFdConnectThenFdWrite) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    Pump(50);
    ASSERT_GE(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[0].event, plat::kFdConnect);
    EXPECT_EQ(g_notes[0].error, 0);
    EXPECT_EQ(g_notes[1].event, plat::kFdWrite);
    EXPECT_EQ(Count(plat::kFdWrite), 1);  // not again while nothing would block
    close(peer);
}

TEST_F(AsyncSelectTest, FdReadIsNotRepeatedUntilRecvIsCalled) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    g_notes.clear();
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    ASSERT_TRUE(PumpUntilEvent(plat::kFdRead));
    ASSERT_EQ(write(peer, "abcdef", 6), 6);
    Pump(100);
    EXPECT_EQ(Count(plat::kFdRead), 1);

    char buf[64];
    ASSERT_EQ(plat::Recv(socket_, buf, 4), 4);  // data still waits: a new FD_READ
    Pump(100, [] { return Count(plat::kFdRead) >= 2; });
    EXPECT_EQ(Count(plat::kFdRead), 2);
    ASSERT_EQ(plat::Recv(socket_, buf, sizeof buf), 12);
    Pump(100);
    EXPECT_EQ(Count(plat::kFdRead), 2);  // nothing left: no further FD_READ
    EXPECT_EQ(plat::Recv(socket_, buf, sizeof buf), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEwouldblock);
    close(peer);
}

TEST_F(AsyncSelectTest, FdCloseComesOnceAndOnlyAfterTheLastByteWasRead) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    g_notes.clear();
    std::string payload(100000, 'x');
    ASSERT_TRUE(WriteAll(peer, payload));
    close(peer);

    std::string received;
    char buf[8192];
    Pump(5000, [&] {
        if (Count(plat::kFdClose) > 0) return true;
        if (!g_notes.empty() && g_notes.back().event == plat::kFdRead) {
            int n = plat::Recv(socket_, buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
            g_notes.back().event = -1;  // consumed
        }
        return false;
    });
    ASSERT_EQ(Count(plat::kFdClose), 1);
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_EQ(g_notes.back().event, plat::kFdClose);
    EXPECT_EQ(g_notes.back().error, 0);
    EXPECT_EQ(plat::Recv(socket_, buf, sizeof buf), 0);
    Pump(100);
    EXPECT_EQ(Count(plat::kFdClose), 1);
}

TEST_F(AsyncSelectTest, ReselectingPostsFdReadAndFdWriteAtOnce) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    ASSERT_EQ(write(peer, "hello", 5), 5);
    ASSERT_TRUE(PumpUntilEvent(plat::kFdRead));
    g_notes.clear();
    ASSERT_EQ(plat::WSAAsyncSelect(socket_, window_, kNotify, 39), 0);
    Pump(2000, [] { return Count(plat::kFdRead) > 0 && Count(plat::kFdWrite) > 0; });
    EXPECT_EQ(Count(plat::kFdRead), 1);
    EXPECT_EQ(Count(plat::kFdWrite), 1);
    close(peer);
}

TEST_F(AsyncSelectTest, MaskZeroStopsAndWithdrawsNotifications) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    ASSERT_EQ(write(peer, "hello", 5), 5);
    // Let the readiness turn into a queued FD_READ, then withdraw it unseen.
    plat::SleepMs(50);
    g_notes.clear();
    ASSERT_EQ(plat::WSAAsyncSelect(socket_, window_, 0, 0), 0);
    close(peer);
    Pump(200);
    EXPECT_TRUE(g_notes.empty());
}

TEST_F(AsyncSelectTest, SendThatWouldBlockGetsFdWriteOnceSpaceReturns) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    Pump(50);
    g_notes.clear();
    const long sent = FillUntilWouldBlock();
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEwouldblock);
    Pump(50);
    EXPECT_EQ(Count(plat::kFdWrite), 0);
    long drained = DrainFor(peer, sent);
    EXPECT_EQ(drained, sent);
    EXPECT_TRUE(PumpUntilEvent(plat::kFdWrite));
    close(peer);
}

// A re-selection posts FD_WRITE at once only while the socket can send:
// after a send that would block it comes when the peer has made room.
TEST_F(AsyncSelectTest, ReselectingAFullSocketPostsFdWriteOnlyOnceSpaceReturns) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    Pump(50);
    const long sent = FillUntilWouldBlock();
    ASSERT_EQ(plat::WSAGetLastError(), plat::kWsaEwouldblock);
    g_notes.clear();
    ASSERT_EQ(plat::WSAAsyncSelect(socket_, window_, kNotify, 39), 0);
    Pump(50);
    EXPECT_EQ(Count(plat::kFdWrite), 0);
    EXPECT_EQ(DrainFor(peer, sent), sent);
    EXPECT_TRUE(PumpUntilEvent(plat::kFdWrite));
    // Room again: the next re-selection posts it once, not once more when
    // epoll sees the room.
    g_notes.clear();
    ASSERT_EQ(plat::WSAAsyncSelect(socket_, window_, kNotify, 39), 0);
    EXPECT_TRUE(PumpUntilEvent(plat::kFdWrite));
    Pump(50);
    EXPECT_EQ(Count(plat::kFdWrite), 1);
    close(peer);
}

TEST_F(AsyncSelectTest, ResetByPeerIsReportedAsFdCloseWithConnReset) {
    LoopbackListener listener;
    int peer = ConnectToPeer(listener);
    Pump(50);
    g_notes.clear();
    ResetAndClose(peer);
    ASSERT_TRUE(PumpUntilEvent(plat::kFdClose));
    EXPECT_EQ(g_notes.back().error, plat::kWsaEconnreset);
}

TEST(Winsock, ErrorsUseWinsockNumbers) {
    char buf[4];
    EXPECT_EQ(plat::Recv(987654, buf, 4), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEnotsock);
    EXPECT_EQ(plat::CloseSocket(987654), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEnotsock);
    plat::Socket s = plat::CreateSocket(plat::SocketKind::kStream);
    EXPECT_EQ(plat::WSAAsyncSelect(s, reinterpret_cast<plat::Hwnd>(1), 0x500, 63),
              plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kWsaEinval);
    plat::CloseSocket(s);
}
