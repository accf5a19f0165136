#pragma once
// Players who fetch the same file at the same time share the file servers'
// work without a word about it: each piece nobody has yet belongs to one of
// the players that lack it, the same one in every player's eyes (the lowest
// rank of its id with the piece), and a player asks the servers for its own
// pieces first. Two players then rarely fetch the same piece, also at the
// end, when few pieces are left and random picks would meet.
//
// Players know each other by the prefix of their BitTorrent peer id; other
// clients own nothing, since they never ask a file server.
//
// Pure functions; any thread.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::string_view kPlayerIdPrefix = "-ZK4000-";

// A 20-byte peer id: the prefix, then random letters and digits.
std::string MakePlayerId(std::mt19937_64& random);
bool IsPlayerId(std::string_view peerId);
// The rank of a player for a piece: the lowest rank owns it.
std::uint64_t PieceRank(std::string_view peerId, int piece);

}  // namespace engine
