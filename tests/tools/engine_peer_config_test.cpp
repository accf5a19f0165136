// What the engine accepts as peers and peer settings from its environment:
// numeric addresses only (nothing to look up), bounded lists, defaults kept
// when a value is malformed.
#include <gtest/gtest.h>

#include "peer_config.h"
#include "tests/support/scoped_env.h"

namespace {

using engine::PeerEndpoint;

TEST(EnginePeerConfigTest, EndpointsAreNumericWithAPort) {
    PeerEndpoint e;
    ASSERT_TRUE(engine::ParsePeerEndpoint("127.0.0.1:6881", &e));
    EXPECT_EQ(e.address, "127.0.0.1");
    EXPECT_EQ(e.port, 6881);
    ASSERT_TRUE(engine::ParsePeerEndpoint("[::1]:7000", &e));
    EXPECT_EQ(e.address, "::1");
    EXPECT_EQ(e.port, 7000);
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                            "localhost:6881", "::1:6881", "[::1]6881", "[127.0.0.1]:1", "1.2.3:80",
                            "127.0.0.1:+5", "127.0.0.1: 5", "[::1]:"})
        EXPECT_FALSE(engine::ParsePeerEndpoint(bad, &e)) << bad;
    // Listening may leave the port to the system.
    ASSERT_TRUE(engine::ParseListenEndpoint("127.0.0.1:0", &e));
    EXPECT_EQ(e.port, 0);
}

TEST(EnginePeerConfigTest, AListKeepsTheGoodPeersAndNamesTheBadOnes) {
    std::vector<PeerEndpoint> peers;
    std::vector<std::string> problems;
    EXPECT_FALSE(engine::ParsePeerList("127.0.0.1:1,,peer.example:2,[::1]:3,", &peers, &problems));
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[1].address, "::1");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("peer.example:2"), std::string::npos);

    // Bounded: a huge list cannot grow the engine without limit.
    std::string many;
    for (int i = 1; i <= 100; ++i) many += "127.0.0.1:" + std::to_string(i) + ",";
    peers.clear();
    problems.clear();
    EXPECT_FALSE(engine::ParsePeerList(many, &peers, &problems));
    EXPECT_EQ(peers.size(), 64u);
    EXPECT_EQ(problems.size(), 36u);
}

TEST(EnginePeerConfigTest, MalformedValuesKeepTheDefaults) {
    ScopedEnv peers("TLX_ENGINE_PEERS", "127.0.0.1:9");
    ScopedEnv listen("TLX_ENGINE_PEER_LISTEN", "everywhere");
    ScopedEnv lsd("TLX_ENGINE_LSD", "yes");
    ScopedEnv cap("TLX_ENGINE_UPLOAD_CAP", "-5");
    ScopedEnv grace("TLX_ENGINE_SEED_GRACE", "0");
    ScopedEnv stall("TLX_ENGINE_PEER_STALL", "7");
    const engine::PeerConfig config = engine::ReadPeerConfig();
    ASSERT_EQ(config.peers.size(), 1u);
    EXPECT_FALSE(config.listenGiven);
    EXPECT_EQ(config.localDiscovery, ZK4_ENGINE_LSD_DEFAULT != 0);
    EXPECT_EQ(config.uploadCap, 0);
    EXPECT_EQ(config.seedGraceSeconds, engine::kDefaultSeedGraceSeconds);
    EXPECT_EQ(config.stallSeconds, 7);
    EXPECT_EQ(config.problems.size(), 4u);

    ScopedEnv off("TLX_ENGINE_LSD", "0");
    EXPECT_FALSE(engine::ReadPeerConfig().localDiscovery);
}

}  // namespace
