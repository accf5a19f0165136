// Players split the pieces nobody has without talking: every player must
// come to the same owner for a piece, and the work must spread.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "server_share.h"

namespace {

std::string OwnerAmong(const std::vector<std::string>& players, int piece) {
    return *std::min_element(players.begin(), players.end(), [piece](const auto& a, const auto& b) {
        return engine::PieceRank(a, piece) < engine::PieceRank(b, piece);
    });
}

TEST(ServerShare, EveryPlayerSeesTheSameOwnerAndEachGetsAFairShare) {
    std::mt19937_64 random(7);
    std::vector<std::string> players;
    for (int i = 0; i < 8; ++i) players.push_back(engine::MakePlayerId(random));
    for (const std::string& id : players) {
        EXPECT_EQ(id.size(), 20u);
        EXPECT_TRUE(engine::IsPlayerId(id)) << id;
    }
    std::map<std::string, int> owned;
    const int pieces = 4096;
    for (int piece = 0; piece < pieces; ++piece) {
        // Each player's view: itself against the others.
        const std::string owner = OwnerAmong(players, piece);
        for (std::size_t me = 0; me < players.size(); ++me) {
            std::vector<std::string> view = players;
            std::rotate(view.begin(), view.begin() + static_cast<long>(me), view.end());
            EXPECT_EQ(OwnerAmong(view, piece), owner);
        }
        ++owned[owner];
    }
    ASSERT_EQ(owned.size(), players.size());
    for (const auto& [id, count] : owned) {
        EXPECT_GT(count, pieces / 8 * 3 / 4) << id;
        EXPECT_LT(count, pieces / 8 * 5 / 4) << id;
    }
}

TEST(ServerShare, OtherClientsAreNoPlayers) {
    EXPECT_FALSE(engine::IsPlayerId("-TR3000-abcdefghijkl"));
    EXPECT_FALSE(engine::IsPlayerId("-LT2080-abcdefghijkl"));
    EXPECT_FALSE(engine::IsPlayerId("-ZK4000-short"));
}

}  // namespace
