#include "server_share.h"

namespace engine {

std::string MakePlayerId(std::mt19937_64& random) {
    static constexpr std::string_view kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string id(kPlayerIdPrefix);
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    while (id.size() < 20) id += kLetters[pick(random)];
    return id;
}

bool IsPlayerId(std::string_view peerId) {
    return peerId.size() == 20 && peerId.substr(0, kPlayerIdPrefix.size()) == kPlayerIdPrefix;
}

std::uint64_t PieceRank(std::string_view peerId, int piece) {
    // FNV-1a over the id and the piece, then a finishing mix so that
    // neighbouring pieces fall to different players.
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto add = [&h](unsigned char byte) {
        h ^= byte;
        h *= 0x100000001b3ull;
    };
    for (char c : peerId) add(static_cast<unsigned char>(c));
    for (int shift = 0; shift < 32; shift += 8)
        add(static_cast<unsigned char>((static_cast<std::uint32_t>(piece) >> shift) & 0xFF));
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

}  // namespace engine
