// Socket notifications travel from the platform's async select through the
// socket window and the connection table into a connection's handlers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/sockets.h"
#include "platform/window.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "tests/support/temp_folder.h"
#include "transport/connection_handlers.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/zel.h"

namespace {

class RecordingConnection : public vzCAtomicRefCounted<cpIConnectionHandlers> {
public:
    void OnReceiveReady() override {
        calls.push_back("read");
        char buf[4096];
        int n = plat::Recv(record->handle, buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
    }
    void OnSendReady() override { calls.push_back("write"); }
    void OnConnected() override { calls.push_back("connected"); }
    void OnConnectFailed() override { calls.push_back("connect-failed"); }
    void Shutdown() override { calls.push_back("shutdown"); }
    void OnDeferredEvent(cpSocketRecord* r) override {
        calls.push_back("deferred");
        deferredRecord = r;
    }
    void NotifyUnreachable() override { calls.push_back("unreachable"); }
    void OnSecondTick() override { ++ticks; }

    int Count(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }

    cpSocketRecord* record = nullptr;
    cpSocketRecord* deferredRecord = nullptr;
    std::vector<std::string> calls;
    std::string received;
    int ticks = 0;
};

class SocketWindowTest : public NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        qos_ = cpQoS();
    }
    void TearDown() override {
        for (auto& c : connections_)
            if (c->record) qos_->UnregisterConnection(c->record);
        connections_.clear();
        NetworkTest::TearDown();
    }

    RecordingConnection* Register() {
        auto* c = new RecordingConnection;
        EXPECT_TRUE(vzSucceeded(c->AddRef()));
        connections_.emplace_back(c, [](RecordingConnection* p) { (void)p->Release(); });
        cpSocketRecord* record = nullptr;
        if (vzFailed(qos_->RegisterConnection(c, nullptr, &record))) return nullptr;
        c->record = record;
        return c;
    }
    void Unregister(RecordingConnection* c) {
        qos_->UnregisterConnection(c->record);
        c->record = nullptr;
    }
    cpCQoS* qos_ = nullptr;
    std::vector<std::unique_ptr<RecordingConnection, void (*)(RecordingConnection*)>> connections_;
};

}  // namespace

TEST_F(SocketWindowTest, ConnectReceiveAndCloseReachTheConnection) {
    LoopbackListener listener;
    RecordingConnection* c = Register();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->RefCount(), 2);  // ours and the table's
    EXPECT_EQ(plat::Connect(c->record->handle, listener.Address()), plat::kSocketError);
    int peer = listener.AcceptOne();
    Pump([&] { return c->Count("write") > 0; });
    ASSERT_GE(c->calls.size(), 2u);
    EXPECT_EQ(c->calls[0], "connected");
    EXPECT_EQ(c->calls[1], "write");

    ASSERT_TRUE(WriteAll(peer, "GET-REPLY"));
    close(peer);
    Pump([&] { return c->Count("shutdown") > 0; });
    EXPECT_EQ(c->received, "GET-REPLY");
    EXPECT_EQ(c->Count("shutdown"), 1);
    EXPECT_EQ(c->calls.back(), "shutdown");
}

TEST_F(SocketWindowTest, RefusedConnectReachesOnConnectFailed) {
    RecordingConnection* c = Register();
    plat::Connect(c->record->handle, UnusedLoopbackPort());
    Pump([&] { return c->Count("connect-failed") > 0; });
    EXPECT_EQ(c->Count("connect-failed"), 1);
    EXPECT_EQ(c->Count("unreachable"), 0);
}

TEST_F(SocketWindowTest, ConnectErrorsRouteByTheirWinsockNumber) {
    RecordingConnection* c = Register();
    plat::Hwnd window = qos_->Window();
    std::uint32_t message = kMsgSocketBase + c->record->slot;
    auto post = [&](int event, int error) {
        plat::PostMessage(window, message, static_cast<plat::WParam>(c->record->handle),
                          (error << 16) | event);
    };
    post(plat::kFdConnect, plat::kWsaEtimedout);  // dropped: the connect time-out decides
    post(plat::kFdConnect, plat::kWsaEhostunreach);
    post(plat::kFdAccept, 0);
    plat::PostMessage(window, message, static_cast<plat::WParam>(plat::kInvalidSocket),
                      plat::kFdRead);
    Pump([&] { return c->Count("unreachable") > 0; });
    std::vector<std::string> expected = {"connect-failed", "unreachable"};
    EXPECT_EQ(c->calls, expected);
}

TEST_F(SocketWindowTest, DeferredEventCarriesTheRecordToTheSlotsConnection) {
    RecordingConnection* c = Register();
    ASSERT_TRUE(qos_->PostDeferredEvent(c->record));
    plat::PostMessage(qos_->Window(), kMsgDeferredEvent, 64, 0);  // no such slot: dropped
    Pump([&] { return c->Count("deferred") > 0; });
    EXPECT_EQ(c->deferredRecord, c->record);
    EXPECT_EQ(c->Count("deferred"), 1);
}

TEST_F(SocketWindowTest, UnregisteredConnectionHearsNothingMore) {
    LoopbackListener listener;
    RecordingConnection* c = Register();
    plat::Connect(c->record->handle, listener.Address());
    int peer = listener.AcceptOne();
    Pump([&] { return c->Count("write") > 0; });
    WriteAll(peer, "late");
    plat::SleepMs(20);
    std::size_t before = c->calls.size();
    Unregister(c);
    EXPECT_EQ(c->RefCount(), 1);
    Pump([] { return false; }, 100);
    EXPECT_EQ(c->calls.size(), before);
    close(peer);
}

TEST_F(SocketWindowTest, SlotsAreReusedAfterTheSearchWrapsAround) {
    std::vector<RecordingConnection*> c;
    for (int i = 0; i < 6; ++i) c.push_back(Register());
    EXPECT_EQ(c[5]->record->slot, 5);
    Unregister(c[2]);
    EXPECT_EQ(qos_->NextFreeSlot(), 6);
    RecordingConnection* sixth = Register();
    EXPECT_EQ(sixth->record->slot, 6);
    for (int slot = 7; slot < kConnectionSlots; ++slot) ASSERT_EQ(Register()->record->slot, slot);
    RecordingConnection* wrapped = Register();
    ASSERT_NE(wrapped, nullptr);
    EXPECT_EQ(wrapped->record->slot, 2);
    // All 64 taken: the next registration is refused and no slot is touched.
    cpSocketRecord* refused = reinterpret_cast<cpSocketRecord*>(1);
    auto* extra = new RecordingConnection;
    EXPECT_TRUE(vzSucceeded(extra->AddRef()));
    EXPECT_TRUE(vzFailed(qos_->RegisterConnection(extra, nullptr, &refused)));
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(extra->RefCount(), 1);
    EXPECT_TRUE(vzSucceeded(extra->Release()));
    EXPECT_EQ(qos_->SlotConnection(2), wrapped);
}

TEST_F(SocketWindowTest, RegistrationFailsWhenNoSocketCanBeCreated) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // Use up the descriptor limit so that socket() fails.
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    auto* c = new RecordingConnection;
    EXPECT_TRUE(vzSucceeded(c->AddRef()));
    cpSocketRecord* record = nullptr;
    vzStatus status = qos_->RegisterConnection(c, nullptr, &record);
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(status, kSocketCreateFail);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(c->RefCount(), 1);
    EXPECT_TRUE(vzSucceeded(c->Release()));
    EXPECT_EQ(qos_->SlotConnection(qos_->NextFreeSlot()), nullptr);
}

TEST_F(SocketWindowTest, PerSecondTickReachesRegisteredConnections) {
    RecordingConnection* c = Register();
    Pump([&] { return c->ticks > 0; }, 3000);
    EXPECT_GE(c->ticks, 1);
    EXPECT_GE(qos_->SecondTicks(), 1u);
}

TEST(SocketWindowStart, ContextReportsAFailedStartWithoutASocketWindow) {
    vzSmartPtr lock;
    EXPECT_TRUE(lock.CreateInstance(kClassMutex));
    plat::SetWindowCreationFailsForTesting(1);
    CZel zel(lock);
    EXPECT_FALSE(zel.Started());
}
