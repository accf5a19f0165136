// Sequential paced connections of one session share one second's budget:
// real nginx, a real paced connection, the controller's ticks run by hand.
#include "transfers/connection_recipe.h"

#include <gtest/gtest.h>

#include "tests/support/network_fixture.h"
#include "tests/support/nginx_server.h"

namespace {

class BodyListener : public nwIHttpClientExEventListener {
public:
    void OnConnected(std::uint32_t) override {}
    void OnHeaderReceived(std::uint32_t) override {}
    std::int32_t OnBodyData(std::uint32_t, const void*, std::int32_t length) override {
        bodyBytes += length;
        return length;
    }
    void OnComplete(std::uint32_t) override { ended = true; }
    void OnSendReady(std::uint32_t) override {}
    void OnClosed(std::uint32_t) override { ended = true; }
    void OnConnectFailed(std::uint32_t) override { ended = true; }
    void OnIdleTimeout(std::uint32_t) override { ended = true; }
    void OnHostUnreachable(std::uint32_t) override {}

    std::int64_t bodyBytes = 0;
    bool ended = false;
};

class ReceiveBudgetCarryTest : public NetworkTest {
protected:
    static constexpr std::uint32_t kRate = 100000;

    void SetUp() override {
        NetworkTest::SetUp();
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        nginx_.WriteFile("a.bin", 60000);
        nginx_.WriteFile("b.bin", 60000, 2);
        ASSERT_TRUE(nginx_.Start()) << nginx_.Error();
        cpQoS()->StopSecondTimerForTesting();  // a whole second, as long as the test needs
        settings_.actionType = 5;
        settings_.pacedActionType = 6;
        settings_.receiveRate = kRate;
        settings_.carry = &carry_;
    }
    void TearDown() override {
        DropHttpConnection(connection_);
        NetworkTest::TearDown();
    }

    // Fetches `path` on a paced connection and drops it, saving the carry.
    void FetchAndDrop(const std::string& path, BodyListener& listener) {
        ASSERT_TRUE(OpenHttpConnection(connection_, settings_, &listener, nginx_.Url(path)));
        ASSERT_TRUE(Pump([&] { return listener.ended; }));
        DropHttpConnection(connection_, carry_);
    }
    std::uint32_t BudgetOfNewConnection(BodyListener& listener) {
        EXPECT_TRUE(OpenHttpConnection(connection_, settings_, &listener, nginx_.Url("/b.bin")));
        std::uint32_t left = 0;
        EXPECT_FALSE(vzFailed(connection_.As<vzIQoSContext>()->GetReceiveBudgetLeft(&left)));
        return left;
    }

    NginxServer nginx_;
    vzSmartPtr connection_;
    HttpConnectionSettings settings_;
    ReceiveBudgetCarry carry_;
};

TEST_F(ReceiveBudgetCarryTest, NextConnectionInTheSameSecondContinuesFromWhatWasLeft) {
    BodyListener first;
    FetchAndDrop("/a.bin", first);
    EXPECT_EQ(first.bodyBytes, 60000);
    ASSERT_TRUE(carry_.held);
    // The head and the body came out of the first connection's budget.
    EXPECT_LT(carry_.left, kRate - 60000);

    BodyListener second;
    EXPECT_EQ(BudgetOfNewConnection(second), carry_.left);
    // Together the two move no more than one second's rate.
    ASSERT_TRUE(Pump([&] { return second.ended || second.bodyBytes > 0; }));
    PumpFor(200);
    EXPECT_LE(first.bodyBytes + second.bodyBytes, static_cast<std::int64_t>(kRate));
    EXPECT_LT(second.bodyBytes, 60000);  // starved until the next tick
    cpQoS()->RunSecondTickForTesting();
    ASSERT_TRUE(Pump([&] { return second.ended; }));
    EXPECT_EQ(second.bodyBytes, 60000);
}

TEST_F(ReceiveBudgetCarryTest, CarryFromAnEarlierSecondIsIgnored) {
    BodyListener first;
    FetchAndDrop("/a.bin", first);
    cpQoS()->RunSecondTickForTesting();
    BodyListener second;
    EXPECT_EQ(BudgetOfNewConnection(second),
              kRate);  // a whole second is left with the timer stopped
}

}  // namespace
