// What a peer transfer knows of its partial file, kept beside it as
// "<file>.part.pieces": which pieces passed their hash (and which of those
// came from the file servers), so that a transfer started again keeps every
// verified piece instead of the leading ones only, and so that anything
// else resuming the partial file by HTTP (this engine's HTTP back end, the
// service's direct path), which cannot check pieces, knows how much of it
// is whole from its first byte on.
//
// A text file, replaced at once (written beside it, then renamed):
//
//   zk4-piece-state 1
//   state stopped            ("running" while a transfer writes the file)
//   info-hash <40 hex>
//   size <bytes>
//   piece-length <bytes>
//   leading <bytes>          (whole pieces from the start, all verified)
//   have <hex bitmap>        (piece i is bit 7 - i % 8 of byte i / 8)
//   servers <hex bitmap>     (of those, the pieces the file servers sent)
//
// "stopped" is written once the transfer has let go of the file, so every
// piece it names is on disk; a "running" state is what a transfer that was
// killed leaves: its pieces may not all have reached the file, so such a
// state is only a hint (the transfer checks the file again) and an HTTP
// resumer trusts none of it.
//
// Plain data and pure functions but the two file operations; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

struct PieceState {
    bool stopped = false;
    std::string infoHash;  // 40 lower-case hex digits
    std::int64_t size = 0;
    std::int64_t pieceLength = 0;
    std::vector<bool> have;
    std::vector<bool> fromServers;

    int PieceCount() const;
    std::int64_t PieceSize(int piece) const;
    // The bytes of the pieces that pass from the first one on.
    std::int64_t LeadingBytes() const;
    std::int64_t HaveBytes() const;
};

std::string PieceStatePathOf(const std::string& partPath);

std::string EncodePieceState(const PieceState& state);
// False for a text that is not a piece state, or whose bitmaps, sizes or
// counts disagree.
[[nodiscard]] bool DecodePieceState(const std::string& text, PieceState* state);

// Writes the state beside `partPath`, replacing the one there.
[[nodiscard]] bool SavePieceState(const std::string& partPath, const PieceState& state);
// The state beside `partPath`; false when there is none or it is unusable.
[[nodiscard]] bool LoadPieceState(const std::string& partPath, PieceState* state);
void RemovePieceState(const std::string& partPath);

// Before a partial file is continued by HTTP: when a piece state lies
// beside it, the file is cut to what is whole from its start (nothing for a
// "running" state or an unreadable one) and the state removed, so that the
// HTTP transfer never builds on holes. False when the cut failed.
[[nodiscard]] bool PrepareForHttpResume(const std::string& partPath, std::string* note);

}  // namespace engine
