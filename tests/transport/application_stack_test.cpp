// The common layer base against a mocked connection: what reaches the owner,
// how events fan out, received data and shutdown, framed sending, and the
// count shared by a layer's two interfaces.
#include "transport/application_stack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/frame.h"

namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrictMock;

class MockQoSContext : public vzIQoSContext {
public:
    MOCK_METHOD(vzStatus, AddRef, (), (override));
    MOCK_METHOD(vzStatus, Release, (), (override));
    MOCK_METHOD(vzStatus, QueryInterface, (std::uint32_t, void**), (override));
    MOCK_METHOD(vzStatus, Open, (int, std::uint32_t, cpSocketRecord*), (override));
    MOCK_METHOD(vzStatus, SetRate, (int, const std::uint32_t*), (override));
    MOCK_METHOD(vzStatus, GetReceiveBudgetLeft, (std::uint32_t*), (override));
    MOCK_METHOD(vzStatus, LimitReceiveBudget, (std::uint32_t), (override));
    MOCK_METHOD(vzStatus, SetActionType, (int), (override));
    MOCK_METHOD(vzStatus, SetFlags, (std::uint32_t), (override));
    MOCK_METHOD(vzStatus, AddFlags, (std::uint32_t), (override));
    MOCK_METHOD(vzStatus, RemoveFlags, (std::uint32_t), (override));
    MOCK_METHOD(vzStatus, SetOption, (int, const std::uint32_t*), (override));
    MOCK_METHOD(vzStatus, GetState, (int*), (override));
    MOCK_METHOD(vzStatus, Connect, (const cpSocketAddress&), (override));
    MOCK_METHOD(vzStatus, SendFrom, (nwIQoSNetStack*, const cpBuffer&), (override));
    MOCK_METHOD(vzStatus, AddLayer, (std::uint32_t, bool), (override));
    MOCK_METHOD(vzStatus, FindLayer, (std::uint32_t, vzIUnknown**), (override));
    MOCK_METHOD(vzStatus, ResumeEvents, (), (override));
    MOCK_METHOD(vzStatus, RegisterHandler, (std::uint16_t, std::uint32_t, nwFramedCallback, void*),
                (override));
    MOCK_METHOD(vzStatus, SetPeerAddress, (const cpSocketAddress&), (override));
    MOCK_METHOD(vzStatus, GetPeerAddress, (const cpSocketAddress**), (override));
    MOCK_METHOD(vzStatus, Close, (), (override));
    MOCK_METHOD(vzStatus, PostClose, (), (override));
    MOCK_METHOD(vzIUnknown*, GetTopLayer, (), (override));
    MOCK_METHOD(vzStatus, ConnectedFrom, (nwIQoSNetStack*), (override));
    MOCK_METHOD(std::int32_t, DeliverUp, (nwIQoSNetStack*, const void*, std::int32_t), (override));
    MOCK_METHOD(vzStatus, GetSendBuffer, (const void**, std::uint32_t*), (override));
    MOCK_METHOD(vzStatus, SendRaw, (const void*, std::uint32_t), (override));
    MOCK_METHOD(vzStatus, GetReceiveRate, (std::int64_t*), (override));
    MOCK_METHOD(vzStatus, GetSendRate, (std::int64_t*), (override));
    MOCK_METHOD(vzStatus, GetQueuedBytes, (std::uint32_t*), (override));
    MOCK_METHOD(vzStatus, GetHostName, (const char**), (override));
    MOCK_METHOD(vzStatus, SetHostName, (const char*), (override));
    MOCK_METHOD(vzStatus, MarkAddressGood, (), (override));
    MOCK_METHOD(vzStatus, MarkAddressBad, (), (override));
    MOCK_METHOD(vzStatus, RestartWatches, (), (override));
};

class ITestListener {};

class ITestLayer : public vzIUnknown {
public:
    virtual vzStatus SetListener(ITestListener* listener, std::uint32_t value) = 0;
};

// A layer as the concrete ones are written: the three per-layer slots, and
// recording overrides of the event slots.
class TestLayer : public nwCLayer<ITestLayer, ITestListener> {
public:
    explicit TestLayer(bool* destroyed = nullptr) : destroyed_(destroyed) { RegisterHandlers(); }
    ~TestLayer() override {
        if (destroyed_) *destroyed_ = true;
    }

    vzStatus SetListener(ITestListener* listener, std::uint32_t value) override {
        return StoreListener(listener, value);
    }
    bool OnConnected() override { return true; }
    void OnClosed() override { closedWhileStopped.push_back(Dispatcher().IsStopped()); }
    void RegisterHandlers() override {
        EXPECT_TRUE(vzSucceeded(Dispatcher().RegisterHandler(0x300, 0x83, &OnReport, this)));
    }

    bool OnConnectFailedEvent() override { return Note("connect-failed"); }
    bool OnSendQueueEmptyEvent() override { return Note("queue-empty"); }
    bool OnIdleTimeoutEvent() override { return Note("idle"); }
    bool OnEvent64() override { return Note("64"); }

    std::vector<std::string> events;
    std::vector<std::string> reports;
    std::vector<bool> closedWhileStopped;
    bool closeInReport = false;

private:
    bool Note(const char* event) {
        events.push_back(event);
        return false;  // distinguishable from the default true
    }
    static void OnReport(const void* payload, std::uint32_t length, void* user) {
        auto* self = static_cast<TestLayer*>(user);
        self->reports.emplace_back(static_cast<const char*>(payload), length);
        if (self->closeInReport) {
            EXPECT_TRUE(vzSucceeded(self->Close()));
        }
    }

    bool* destroyed_;
};

// Two 24-byte report frames, "one" and "two", back to back.
std::vector<std::uint8_t> TwoReports() {
    std::vector<std::uint8_t> frames, second;
    EXPECT_TRUE(vzSucceeded(nwBuildFrame(0x300, 0x83, "one", 3, &frames)));
    EXPECT_TRUE(vzSucceeded(nwBuildFrame(0x300, 0x83, "two", 3, &second)));
    frames.insert(frames.end(), second.begin(), second.end());
    return frames;
}

class ApplicationStackTest : public testing::Test {
protected:
    void SetUp() override { layer_.SetOwner(&context_); }

    StrictMock<MockQoSContext> context_;
    TestLayer layer_;
    nwIQoSNetStack* const stack_ = layer_.AsNetStack();
};

TEST_F(ApplicationStackTest, ForwardingSlotsReachTheOwnerAsThisLayer) {
    cpSocketAddress address{0x0100007F, 38006};
    const char data[] = "up";
    EXPECT_CALL(context_, Close()).WillOnce(Return(kTransportOk));
    EXPECT_CALL(context_, SetFlags(5)).WillOnce(Return(kTransportOk));
    EXPECT_CALL(context_, AddFlags(2)).WillOnce(Return(kTransportOk));
    EXPECT_CALL(context_, RemoveFlags(4)).WillOnce(Return(kTransportOk));
    EXPECT_CALL(context_, Connect(_)).WillOnce(Invoke([&](const cpSocketAddress& a) {
        EXPECT_EQ(&a, &address);
        return kTransportFail;
    }));
    EXPECT_CALL(context_, ConnectedFrom(stack_)).WillOnce(Return(kTransportOk));
    EXPECT_CALL(context_, DeliverUp(stack_, data, 2)).WillOnce(Return(1));
    EXPECT_CALL(context_, GetReceiveRate(_)).WillOnce(Return(kTransportFail));
    EXPECT_CALL(context_, GetSendRate(_)).WillOnce(Return(kTransportOk));

    std::int64_t rate = 0;
    EXPECT_EQ(stack_->Close(), kTransportOk);
    EXPECT_TRUE(vzSucceeded(stack_->SetFlags(5)));
    EXPECT_TRUE(vzSucceeded(stack_->AddFlags(2)));
    EXPECT_TRUE(vzSucceeded(stack_->RemoveFlags(4)));
    EXPECT_EQ(stack_->Connect(address), kTransportFail);
    EXPECT_TRUE(vzSucceeded(stack_->NotifyConnected()));
    EXPECT_EQ(stack_->DeliverUp(data, 2), 1);
    EXPECT_EQ(stack_->GetReceiveRate(&rate), kTransportFail);
    EXPECT_EQ(stack_->GetSendRate(&rate), kTransportOk);
    stack_->OnSendFromAbove({data, 2});  // dropped: nothing reaches the owner
}

TEST(ApplicationStackNoOwnerTest, ForwardingSlotsDoNothingWithoutAnOwner) {
    TestLayer layer;
    nwIQoSNetStack* stack = layer.AsNetStack();
    std::int64_t rate = 99;
    EXPECT_EQ(stack->Close(), kLayerFail);
    EXPECT_EQ(stack->NotifyConnected(), kLayerFail);
    EXPECT_EQ(stack->DeliverUp("x", 1), 0);
    EXPECT_EQ(stack->GetReceiveRate(&rate), kLayerFail);
    EXPECT_EQ(rate, 0);
    EXPECT_EQ(layer.SendFrame(1, "x", 1, 0x100), kLayerFail);
}

TEST_F(ApplicationStackTest, OnEventMapsItsFourCodesAndPassesTheRestOn) {
    EXPECT_FALSE(stack_->OnEvent(kEventConnectFailure));
    EXPECT_FALSE(stack_->OnEvent(kEventSendQueueEmpty));
    EXPECT_FALSE(stack_->OnEvent(kEventIdleTimeout));
    EXPECT_FALSE(stack_->OnEvent(kEvent64));
    EXPECT_TRUE(stack_->OnEvent(kEventCloseRequest));
    EXPECT_TRUE(stack_->OnEvent(8));
    EXPECT_THAT(layer_.events, testing::ElementsAre("connect-failed", "queue-empty", "idle", "64"));
}

TEST_F(ApplicationStackTest, ReceivedFramesGoToTheHandlersUntilShutdown) {
    auto input = TwoReports();
    input.push_back(0x00);  // the start of a third frame stays

    EXPECT_EQ(stack_->OnReceive(input.data(), static_cast<std::int32_t>(input.size())), 48);
    EXPECT_THAT(layer_.reports, testing::ElementsAre(std::string("one\0\0\0\0\0\0\0", 10),
                                                     std::string("two\0\0\0\0\0\0\0", 10)));

    stack_->OnShutdown();
    EXPECT_THAT(layer_.closedWhileStopped, testing::ElementsAre(true));
    EXPECT_EQ(stack_->OnReceive(input.data(), 24), 0);
    EXPECT_EQ(layer_.reports.size(), 2u);
}

TEST_F(ApplicationStackTest, ClosingInsideAHandlerStopsTheRestOfTheReceive) {
    // The connection's Close shuts every layer down before it returns.
    EXPECT_CALL(context_, Close()).WillOnce(Invoke([&] {
        stack_->OnShutdown();
        return kTransportOk;
    }));
    layer_.closeInReport = true;
    auto input = TwoReports();

    EXPECT_EQ(stack_->OnReceive(input.data(), static_cast<std::int32_t>(input.size())), 24);
    EXPECT_EQ(layer_.reports.size(), 1u);
    EXPECT_EQ(layer_.closedWhileStopped.size(), 1u);
}

TEST_F(ApplicationStackTest, SendFrameSendsHeaderPayloadAndPaddingDownInOnePiece) {
    std::vector<std::uint8_t> sent;
    EXPECT_CALL(context_, SendFrom(stack_, _))
        .WillOnce(Invoke([&](nwIQoSNetStack*, const cpBuffer& b) {
            const auto* p = static_cast<const std::uint8_t*>(b.data);
            sent.assign(p, p + b.length);
            return kTransportOk;
        }));

    EXPECT_EQ(layer_.SendFrame(0x0B, "12345", 5, 0x100), kLayerOk);
    const std::vector<std::uint8_t> expected = {0x00, 0x01, 0x0B, 0x00, 0, 0, 0,   0,
                                                0,    0,    10,   0,    0, 0, '1', '2',
                                                '3',  '4',  '5',  0,    0, 0, 0,   0};
    EXPECT_EQ(sent, expected);
    // Too large for any receiver: refused before anything goes down.
    EXPECT_EQ(layer_.SendFrame(1, "x", kFrameMaxPayload, 0x100), kLayerFail);
}

TEST(LayerObjectTest, BothInterfacesShareOneCountAndQueryInterfaceGivesTheStack) {
    bool destroyed = false;
    auto* layer = new TestLayer(&destroyed);
    ITestLayer* own = layer->AsOwnInterface();
    nwIQoSNetStack* stack = layer->AsNetStack();
    EXPECT_TRUE(vzSucceeded(own->AddRef()));  // the creator's reference
    EXPECT_TRUE(vzSucceeded(stack->AddRef()));
    EXPECT_EQ(layer->RefCount(), 2);

    void* out = nullptr;
    EXPECT_EQ(own->QueryInterface(kInterfaceNetStack, &out), kLayerOk);
    EXPECT_EQ(out, stack);
    EXPECT_EQ(layer->RefCount(), 2);  // no reference added
    out = own;
    EXPECT_EQ(stack->QueryInterface(8215, &out), kLayerFail);
    EXPECT_EQ(out, nullptr);

    ITestListener listener;
    EXPECT_EQ(own->SetListener(&listener, 77), kLayerOk);
    EXPECT_EQ(layer->Listener(), &listener);
    EXPECT_EQ(layer->ListenerValue(), 77u);

    EXPECT_TRUE(vzSucceeded(stack->Release()));
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(vzSucceeded(own->Release()));
    EXPECT_TRUE(destroyed);
}

}  // namespace
