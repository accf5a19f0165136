// The connection context over real loopback sockets, with a recording layer
// on top and the message loop pumped by the test thread.
#include "transport/qos_context.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/sockets.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/host_cache.h"
#include "transport/zel.h"

namespace {

class RecordingLayer : public vzCRefCounted<nwIQoSNetStack> {
public:
    vzStatus QueryInterface(std::uint32_t id, void** out) override {
        if (id != kInterfaceNetStack) return kLayerFail;
        *out = static_cast<nwIQoSNetStack*>(this);
        return kLayerOk;
    }
    vzStatus GetReceiveRate(std::int64_t* r) override { return owner->GetReceiveRate(r); }
    vzStatus GetSendRate(std::int64_t* r) override { return owner->GetSendRate(r); }
    void OnSendFromAbove(const cpBuffer&) override {}
    vzStatus Close() override { return owner->Close(); }
    bool OnConnected() override {
        events.push_back("connected");
        return true;
    }
    bool OnUnreachable() override {
        events.push_back("unreachable");
        return true;
    }
    bool OnEvent(int code) override {
        events.push_back("event" + std::to_string(code));
        if (code == kEventSendQueueEmpty && !refill.empty()) {
            std::string more = std::move(refill);
            refill.clear();
            EXPECT_TRUE(
                vzSucceeded(owner->SendRaw(more.data(), static_cast<std::uint32_t>(more.size()))));
        }
        return true;
    }
    std::int32_t OnReceive(const void* data, std::int32_t length) override {
        if (closeInReceive) {
            EXPECT_TRUE(vzSucceeded(owner->Close()));  // and only then read what was given
        }
        std::int32_t take = consumeAtMost < 0 ? length : std::min(length, consumeAtMost);
        deliveries.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(length));
        received.append(static_cast<const char*>(data), static_cast<std::size_t>(take));
        return take;
    }
    void OnShutdown() override { events.push_back("shutdown"); }
    vzStatus SetFlags(std::uint32_t f) override { return owner->SetFlags(f); }
    vzStatus AddFlags(std::uint32_t f) override { return owner->AddFlags(f); }
    vzStatus RemoveFlags(std::uint32_t f) override { return owner->RemoveFlags(f); }
    vzStatus Connect(const cpSocketAddress& a) override { return owner->Connect(a); }
    vzStatus NotifyConnected() override { return owner->ConnectedFrom(this); }
    std::int32_t DeliverUp(const void* d, std::int32_t n) override {
        return owner->DeliverUp(this, d, n);
    }
    vzStatus SendDown(const cpBuffer& b) override { return owner->SendFrom(this, b); }
    void OnClosed() override {}
    bool OnConnectFailedEvent() override { return true; }
    bool OnSendQueueEmptyEvent() override { return true; }
    bool OnIdleTimeoutEvent() override { return true; }
    bool OnEvent64() override { return true; }
    void RegisterHandlers() override {}
    void SetOwner(vzIQoSContext* o) override { owner = o; }

    int Count(const std::string& e) const {
        return static_cast<int>(std::count(events.begin(), events.end(), e));
    }

    vzIQoSContext* owner = nullptr;
    std::vector<std::string> events;
    std::vector<std::string> deliveries;
    std::string received;
    std::string refill;
    std::int32_t consumeAtMost = -1;
    bool closeInReceive = false;
};

class QoSContextTest : public NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        cpQoS()->StopSecondTimerForTesting();  // ticks are run by hand
    }
    void TearDown() override {
        holder_.Reset();
        NetworkTest::TearDown();
    }

    cpCQoSContext* NewContext(int actionType, std::uint32_t flags) {
        EXPECT_TRUE(holder_.CreateInstance(kClassQoSContext));
        auto* context = static_cast<cpCQoSContext*>(holder_.As<vzIQoSContext>());
        EXPECT_EQ(context->Open(actionType, flags, nullptr), kTransportOk);
        layer_ = new RecordingLayer;
        EXPECT_EQ(context->AttachLayer(layer_, 1, true), kTransportOk);
        return context;
    }
    static cpSocketAddress ToAddress(const plat::SockAddrIn& a) {
        return cpSocketAddress{a.addrNet, plat::NetToHost16(a.portNet)};
    }
    vzSmartPtr holder_;
    RecordingLayer* layer_ = nullptr;
};

}  // namespace

TEST_F(QoSContextTest, DataQueuedBeforeTheConnectionIsUpGoesOutInOrderAfterIt) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, 5);
    EXPECT_EQ(context->State(), kStateUnconnected);
    ASSERT_EQ(context->Connect(ToAddress(listener.Address())), kTransportOk);
    EXPECT_EQ(context->State(), kStateConnecting);
    EXPECT_TRUE(vzSucceeded(context->SendRaw("first ", 6)));
    EXPECT_TRUE(vzSucceeded(context->SendRaw("second", 6)));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    EXPECT_EQ(DrainFor(peer, 12), 12);
    close(peer);
    ASSERT_TRUE(Pump([&] { return layer_->Count("shutdown") == 1; }));
    EXPECT_EQ(context->State(), kStateClosed);
    EXPECT_EQ(context->Socket(), nullptr);
}

TEST_F(QoSContextTest, PartlyConsumedDataComesAgainWithTheNewBytesBehindIt) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, 5);
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    layer_->consumeAtMost = 10;
    WriteAll(peer, "0123456789abcdefghijklmno");  // 25 bytes
    ASSERT_TRUE(Pump([&] { return layer_->deliveries.size() == 1; }));
    EXPECT_EQ(context->ReceivedHeld(), 15u);
    layer_->consumeAtMost = -1;
    WriteAll(peer, "XYZ");
    ASSERT_TRUE(Pump([&] { return layer_->deliveries.size() == 2; }));
    EXPECT_EQ(layer_->deliveries[1], "abcdefghijklmnoXYZ");
    EXPECT_EQ(layer_->received, "0123456789abcdefghijklmnoXYZ");
    EXPECT_EQ(context->ReceivedHeld(), 0u);
    close(peer);
}

TEST_F(QoSContextTest, RefusedConnectWithFlagOneReportsEventOneAndCloses) {
    cpCQoSContext* context = NewContext(1, kFlagReportConnectFailure);
    EXPECT_TRUE(vzSucceeded(context->SetHostName("refused.example")));
    cpSocketAddress address = ToAddress(UnusedLoopbackPort());
    EXPECT_TRUE(vzSucceeded(context->SetPeerAddress(address)));
    ASSERT_EQ(context->Connect(address), kTransportOk);
    ASSERT_TRUE(Pump([&] { return layer_->Count("shutdown") == 1; }));
    std::vector<std::string> expected = {"event1", "shutdown"};
    EXPECT_EQ(layer_->events, expected);
    EXPECT_EQ(context->State(), kStateClosed);
    // The address was marked bad in the host cache.
    const cpHostCacheEntry* entry = cpHostCache().Find("refused.example", address.port);
    EXPECT_EQ(entry, nullptr);  // marking never creates entries
}

TEST_F(QoSContextTest, ConnectThatNeverCompletesTimesOut) {
    // A listener that never accepts, with its backlog full, drops further SYNs.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    plat::SockAddrIn any = UnusedLoopbackPort();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = any.portNet;
    addr.sin_addr.s_addr = any.addrNet;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(c);
    }
    plat::SleepMs(50);
    cpCQoSContext* context = NewContext(1, kFlagReportConnectFailure);
    std::uint32_t oneSecond = 1;
    EXPECT_TRUE(vzSucceeded(context->SetOption(kOptionConnectTimeout, &oneSecond)));
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(any))));
    bool closed = Pump([&] { return layer_->Count("shutdown") == 1; }, 6000);
    for (int c : fillers) close(c);
    close(fd);
    if (layer_->Count("connected") == 1) GTEST_SKIP() << "the kernel accepted past the backlog";
    ASSERT_TRUE(closed);
    EXPECT_EQ(layer_->events.front(), "event1");
}

TEST_F(QoSContextTest, IdleEventComesInTheTickAfterTheTimeOutAndOnlyOnce) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, kFlagReportIdle);
    std::uint32_t four = 4;
    EXPECT_TRUE(vzSucceeded(context->SetOption(kOptionIdleTimeout, &four)));
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    for (int tick = 1; tick <= 4; ++tick) cpQoS()->RunSecondTickForTesting();
    PumpFor(50);
    EXPECT_EQ(layer_->Count("event4"), 0);
    cpQoS()->RunSecondTickForTesting();  // the 5th tick without data
    ASSERT_TRUE(Pump([&] { return layer_->Count("event4") == 1; }));
    for (int tick = 0; tick < 3; ++tick) cpQoS()->RunSecondTickForTesting();
    PumpFor(50);
    EXPECT_EQ(layer_->Count("event4"), 1);
    EXPECT_NE(context->State(), kStateClosed);  // the owner decides
    close(peer);
}

TEST_F(QoSContextTest, DataArrivingBeforeTheQueuedIdleEventIsHandledCancelsIt) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, kFlagReportIdle);
    std::uint32_t one = 1;
    EXPECT_TRUE(vzSucceeded(context->SetOption(kOptionIdleTimeout, &one)));
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    cpQoS()->RunSecondTickForTesting();
    cpQoS()->RunSecondTickForTesting();  // queues event 4
    EXPECT_EQ(context->DeferredCount(), 1u);
    WriteAll(peer, "x");
    plat::SleepMs(20);
    context->OnReceiveReady();  // the data is read before the queued event is handled
    EXPECT_EQ(layer_->received, "x");
    ASSERT_TRUE(Pump([&] { return context->DeferredCount() == 0; }));
    EXPECT_EQ(layer_->Count("event4"), 0);
    close(peer);
}

TEST_F(QoSContextTest, SendQueueEmptyEventLetsTheLayerSupplyMoreWithoutRecursion) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, kFlagAskForData);
    layer_->refill = "-and-more";
    EXPECT_TRUE(vzSucceeded(context->SendRaw("start", 5)));
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    std::string got;
    char buf[64];
    pollfd p{peer, POLLIN, 0};
    while (got.size() < 14 && poll(&p, 1, 2000) == 1) {
        ssize_t n = read(peer, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "start-and-more");
    close(peer);
}

TEST_F(QoSContextTest, FlagRules) {
    cpCQoSContext* context = NewContext(1, 1);
    EXPECT_TRUE(vzSucceeded(context->AddFlags(3)));
    EXPECT_EQ(context->Flags(), 1u);
    EXPECT_TRUE(vzSucceeded(context->SetFlags(5)));
    EXPECT_TRUE(vzSucceeded(context->AddFlags(2)));
    EXPECT_EQ(context->Flags(), 7u);
    EXPECT_TRUE(vzSucceeded(context->RemoveFlags(6)));
    EXPECT_EQ(context->Flags(), 1u);
    EXPECT_EQ(context->Open(1, 0, nullptr), kTransportFail);  // only once
    std::uint32_t v = 3;
    EXPECT_EQ(context->SetOption(2, &v), kTransportFail);
}

TEST_F(QoSContextTest, CloseTwiceAndForeignDeferredEventsAreHarmless) {
    cpCQoSContext* context = NewContext(1, 0);
    cpSocketRecord other;
    EXPECT_TRUE(vzSucceeded(context->PostClose()));
    context->OnDeferredEvent(&other);
    EXPECT_EQ(context->DeferredCount(), 1u);
    EXPECT_TRUE(vzSucceeded(context->Close()));
    EXPECT_TRUE(vzSucceeded(context->Close()));
    EXPECT_EQ(layer_->Count("shutdown"), 1);
    EXPECT_EQ(context->DeferredCount(), 0u);
    EXPECT_TRUE(vzSucceeded(context->SendRaw("dropped", 7)));
    std::uint32_t queued = 1;
    EXPECT_TRUE(vzSucceeded(context->GetQueuedBytes(&queued)));
    EXPECT_EQ(queued, 0u);
}

TEST_F(QoSContextTest, SetActionTypeKeepsTheSameTypeAndRefusesUnknownOnes) {
    cpCQoSContext* context = NewContext(5, 0);
    cpCQoSContextAction* action = context->Action();
    EXPECT_EQ(context->SetActionType(5), kTransportOk);
    EXPECT_EQ(context->Action(), action);
    EXPECT_EQ(context->SetActionType(8), kTransportFail);
    EXPECT_EQ(context->Action(), nullptr);
    EXPECT_EQ(context->SetActionType(6), kTransportOk);
    EXPECT_EQ(context->Action()->GetType(), 6);
}

TEST_F(QoSContextTest, OwnReceiveBudgetCapsWhatMovesBetweenTicks) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(6, 0);
    std::uint32_t rate = 393216;
    EXPECT_TRUE(vzSucceeded(context->SetRate(0, &rate)));  // a new action gets this budget at once
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    std::string payload(1'000'000, 'p');
    std::thread writer([&] { WriteAll(peer, payload); });
    ASSERT_TRUE(Pump([&] { return layer_->received.size() == rate; }));
    PumpFor(200);
    EXPECT_EQ(layer_->received.size(), rate);  // starved until the next tick
    cpQoS()->RunSecondTickForTesting();
    ASSERT_TRUE(Pump([&] { return layer_->received.size() == 2 * rate; }));
    PumpFor(200);
    EXPECT_EQ(layer_->received.size(), 2 * rate);
    cpQoS()->RunSecondTickForTesting();
    ASSERT_TRUE(Pump([&] { return layer_->received.size() == payload.size(); }));
    writer.join();
    close(peer);
}

TEST_F(QoSContextTest, LayerClosingWhileReadingStillReadsWhatItWasGiven) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(1, 0);
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    layer_->closeInReceive = true;
    WriteAll(peer, "last words");
    ASSERT_TRUE(Pump([&] { return layer_->Count("shutdown") == 1; }));
    EXPECT_EQ(layer_->received, "last words");
    EXPECT_EQ(context->ReceivedHeld(), 0u);  // released once the layer returned
    close(peer);
}

TEST_F(QoSContextTest, OwnActionWithoutARateMovesNothing) {
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(5, 0);
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    WriteAll(peer, "waiting");
    PumpFor(100);
    cpQoS()->RunSecondTickForTesting();
    PumpFor(100);
    EXPECT_TRUE(layer_->received.empty());
    std::uint32_t rate = 1000;
    EXPECT_TRUE(vzSucceeded(context->SetRate(0, &rate)));
    cpQoS()->RunSecondTickForTesting();
    ASSERT_TRUE(Pump([&] { return layer_->received == "waiting"; }));
    close(peer);
}

TEST_F(QoSContextTest, ControllerSendBudgetStarvesAndResumesAtTheTick) {
    cpQoS()->SetBudgetForTesting(1u << 30, 100);
    LoopbackListener listener;
    cpCQoSContext* context = NewContext(4, 0);
    EXPECT_TRUE(vzSucceeded(context->Connect(ToAddress(listener.Address()))));
    int peer = listener.AcceptOne();
    ASSERT_TRUE(Pump([&] { return layer_->Count("connected") == 1; }));
    std::string payload(300, 's');
    EXPECT_TRUE(
        vzSucceeded(context->SendRaw(payload.data(), static_cast<std::uint32_t>(payload.size()))));
    EXPECT_EQ(DrainFor(peer, 300), 100);
    cpQoS()->SetBudgetForTesting(1u << 30, 100);
    cpQoS()->RunSecondTickForTesting();  // refills to the full limit and re-arms
    ASSERT_TRUE(Pump([&] {
        const void* data = nullptr;
        EXPECT_TRUE(vzSucceeded(context->GetSendBuffer(&data, nullptr)));
        return data == nullptr;
    }));
    EXPECT_EQ(DrainFor(peer, 200), 200);
    close(peer);
}

TEST(QoSActions, CreateActionKnowsTypesOneToSeven) {
    cpSendBuffer send;
    cpReceiveBuffer receive;
    cpSocketRecord* socket = nullptr;
    cpActionBinding binding{&send, &receive, &socket};
    EXPECT_EQ(CreateAction(0, binding), nullptr);
    EXPECT_EQ(CreateAction(8, binding), nullptr);
    for (int type = 1; type <= 7; ++type) EXPECT_EQ(CreateAction(type, binding)->GetType(), type);
}

TEST(QoSActions, OwnBudgetTakesAndReturns) {
    cpSendBuffer send;
    cpReceiveBuffer receive;
    cpSocketRecord* socket = nullptr;
    cpCQoSOwnContextAction action(cpActionBinding{&send, &receive, &socket});
    std::uint32_t rate = 1500;
    action.SetRate(0, &rate);
    EXPECT_EQ(action.TakeReceiveBudget(1024), 1024u);
    action.ReturnReceiveBudget(724);  // 300 were received
    EXPECT_EQ(action.ReceiveRemaining(), 1200u);
    EXPECT_EQ(action.TakeReceiveBudget(4096), 1200u);
    EXPECT_EQ(action.TakeReceiveBudget(1), 0u);
    action.Refill();
    std::uint32_t lower = 10;
    action.SetRate(0, &lower);  // after a refill a new rate waits for the next one
    EXPECT_EQ(action.ReceiveRemaining(), 1500u);
    action.Refill();
    EXPECT_EQ(action.ReceiveRemaining(), 10u);
}
