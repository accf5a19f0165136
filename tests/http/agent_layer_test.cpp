// The report channel's layer over real loopback sockets: the frames it
// sends, byte for byte, and how replies, foreign frames and connection
// failures reach its listener.
#include "http/agent_layer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"

namespace {

// A connection with the agent layer stacked by class id, recording every
// listener event.
class AgentChannel : public nwIAgentListener {
public:
    AgentChannel() {
        EXPECT_TRUE(context_.CreateInstance(kClassQoSContext));
        EXPECT_TRUE(
            vzSucceeded(Context()->Open(1, kFlagReportConnectFailure | kFlagReportIdle, nullptr)));
        std::uint32_t timeout = 5;
        EXPECT_TRUE(vzSucceeded(Context()->SetOption(kOptionConnectTimeout, &timeout)));
        EXPECT_TRUE(vzSucceeded(Context()->SetOption(kOptionIdleTimeout, &timeout)));
        EXPECT_TRUE(vzSucceeded(Context()->AddLayer(kClassAgentLayer, false)));
        if (Layer()) {
            EXPECT_TRUE(vzSucceeded(Layer()->SetListener(this, 42)));
        }
    }
    ~AgentChannel() override {
        if (Layer()) {
            EXPECT_TRUE(vzSucceeded(Layer()->SetListener(nullptr, 0)));
        }
        EXPECT_TRUE(vzSucceeded(Context()->Close()));
    }

    vzIQoSContext* Context() const { return context_.As<vzIQoSContext>(); }
    vzIAgentLayer* Layer() const { return static_cast<vzIAgentLayer*>(Context()->GetTopLayer()); }
    void ConnectTo(const plat::SockAddrIn& address) {
        EXPECT_TRUE(vzSucceeded(Context()->Connect(
            cpSocketAddress{address.addrNet, plat::NetToHost16(address.portNet)})));
    }
    bool Has(const std::string& event) const {
        for (const std::string& e : events)
            if (e == event) return true;
        return false;
    }

    void OnConnected(std::uint32_t value) override { Record("connected", value); }
    void OnReply(std::uint32_t value, std::uint8_t code) override {
        Record("reply " + std::to_string(code), value);
    }
    void OnClosed(std::uint32_t value) override { Record("closed", value); }
    void OnConnectFailed(std::uint32_t value) override { Record("connect-failed", value); }
    void OnIdleTimeout(std::uint32_t value) override { Record("idle", value); }

    std::vector<std::string> events;

private:
    void Record(const std::string& event, std::uint32_t value) {
        EXPECT_EQ(value, 42u) << event;
        events.push_back(event);
    }
    vzSmartPtr context_;
};

std::string Frame(std::uint16_t type, std::uint16_t subtype, const std::string& payload) {
    std::string frame(14, '\0');
    frame[0] = static_cast<char>(type & 0xFF);
    frame[1] = static_cast<char>(type >> 8);
    frame[2] = static_cast<char>(subtype & 0xFF);
    frame[3] = static_cast<char>(subtype >> 8);
    frame[10] = static_cast<char>(payload.size() & 0xFF);
    frame[11] = static_cast<char>(payload.size() >> 8);
    return frame + payload;
}

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return v;
}

class AgentLayerTest : public NetworkTest {
protected:
    // Pumps until `count` bytes came in on `fd` (the far end); false on time-out.
    bool Receive(int fd, std::size_t count, std::string* into) {
        return Pump([&] {
            char buffer[4096];
            ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) into->append(buffer, static_cast<std::size_t>(n));
            return into->size() >= count;
        });
    }
};

}  // namespace

TEST_F(AgentLayerTest, ReportsSentBeforeConnectingGoOutInOrderAsPaddedFrames) {
    LoopbackListener listener;
    AgentChannel channel;
    ASSERT_NE(channel.Layer(), nullptr) << "class 8195 is not registered";
    std::string one(298, 'a'), two(596, '\0');
    for (std::size_t i = 0; i < two.size(); ++i) two[i] = static_cast<char>(i * 7 + 1);
    ASSERT_EQ(channel.Layer()->SendReport({1, one.data()}), kLayerOk);
    ASSERT_EQ(channel.Layer()->SendReport({2, two.data()}), kLayerOk);

    channel.ConnectTo(listener.Address());
    int fd = listener.AcceptOne();
    ASSERT_GE(fd, 0);
    std::string wire;
    ASSERT_TRUE(Receive(fd, 320 + 616, &wire));
    close(fd);
    ASSERT_EQ(wire.size(), 320u + 616u);
    EXPECT_EQ(channel.events, std::vector<std::string>{"connected"});

    // One record: 14 + 4 + 298 = 316, padded to 320; the length counts the padding.
    const std::string first = wire.substr(0, 320);
    EXPECT_EQ(first.substr(0, 14), std::string("\x00\x03\x9A\x00\0\0\0\0\0\0\x32\x01\0\0", 14));
    EXPECT_EQ(Le32(first, 14), 1u);
    EXPECT_EQ(first.substr(18, 298), one);
    EXPECT_EQ(first.substr(316), std::string(4, '\0'));
    // Two records: 14 + 4 + 596 = 614, padded to 616, payload length 602.
    const std::string second = wire.substr(320);
    EXPECT_EQ(static_cast<std::uint8_t>(second[0]), 0x00);
    EXPECT_EQ(static_cast<std::uint8_t>(second[1]), 0x03);
    EXPECT_EQ(static_cast<std::uint8_t>(second[2]), 0x9A);
    EXPECT_EQ(Le32(second, 10), 602u);
    EXPECT_EQ(Le32(second, 14), 2u);
    EXPECT_EQ(second.substr(18, 596), two);
    EXPECT_EQ(second.substr(614), std::string(2, '\0'));
}

TEST_F(AgentLayerTest, ReplyGivesItsFirstByteAndIsConsumedWhole) {
    LoopbackListener listener;
    AgentChannel channel;
    channel.ConnectTo(listener.Address());
    int fd = listener.AcceptOne();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Pump([&] { return channel.Has("connected"); }));
    // A 22-byte reply with 8 payload bytes, then a padded one: the second is
    // only understood when the first was consumed exactly.
    std::string replies = Frame(0x300, 0x83, std::string("\x07\x01\x02\x03\x04\x05\x06\x08", 8)) +
                          Frame(0x300, 0x83, std::string("\xC9\0", 2));
    ASSERT_EQ(replies.size(), 22u + 16u);
    ASSERT_TRUE(WriteAll(fd, replies));
    ASSERT_TRUE(Pump([&] { return channel.events.size() == 3; }));
    std::vector<std::string> expected = {"connected", "reply 7", "reply 201"};
    EXPECT_EQ(channel.events, expected);
    close(fd);
}

TEST_F(AgentLayerTest, ForeignFrameClosesTheConnection) {
    const std::string foreign[] = {Frame(0x300, 0x9A, std::string(2, '\0')),
                                   Frame(0x100, 0x83, std::string(2, '\0'))};
    for (const std::string& frame : foreign) {
        LoopbackListener listener;
        AgentChannel channel;
        channel.ConnectTo(listener.Address());
        int fd = listener.AcceptOne();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAll(fd, frame));
        ASSERT_TRUE(Pump([&] { return channel.Has("closed"); }));
        std::vector<std::string> expected = {"connected", "closed"};
        EXPECT_EQ(channel.events, expected);
        close(fd);
    }
}

TEST_F(AgentLayerTest, RefusedConnectReportsConnectFailedThenClosed) {
    AgentChannel channel;
    channel.ConnectTo(UnusedLoopbackPort());
    ASSERT_TRUE(Pump([&] { return channel.Has("closed"); }));
    std::vector<std::string> expected = {"connect-failed", "closed"};
    EXPECT_EQ(channel.events, expected);
}

TEST_F(AgentLayerTest, SilentServerGivesIdleTimeout) {
    LoopbackListener listener;
    AgentChannel channel;
    std::uint32_t one = 1;
    EXPECT_TRUE(vzSucceeded(channel.Context()->SetOption(kOptionIdleTimeout, &one)));
    channel.ConnectTo(listener.Address());
    int fd = listener.AcceptOne();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Pump([&] { return channel.Has("idle"); }, 6000));
    close(fd);
}

TEST_F(AgentLayerTest, ReportsThatCannotBeFramedAreRefused) {
    AgentChannel channel;
    char record[298] = {};
    EXPECT_EQ(channel.Layer()->SendReport({-1, record}), kLayerFail);
    EXPECT_EQ(channel.Layer()->SendReport({1, nullptr}), kLayerFail);
    // 298 x 60000 is beyond the frame limit: refused before anything is
    // copied, not wrapped into a short frame.
    EXPECT_EQ(channel.Layer()->SendReport({60000, record}), kLayerFail);
    std::uint32_t queued = 0;
    EXPECT_TRUE(vzSucceeded(channel.Context()->GetQueuedBytes(&queued)));
    EXPECT_EQ(queued, 0u);

    // A layer on no connection has nowhere to send.
    vzSmartPtr loose;
    ASSERT_TRUE(loose.CreateInstance(kClassAgentLayer));
    EXPECT_EQ(loose.As<vzIAgentLayer>()->SendReport({1, record}), kLayerFail);
}
