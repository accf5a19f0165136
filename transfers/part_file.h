// Where a file is written while it arrives: "<name>.part" beside its final
// name, renamed to the final name only once it is whole, so a file under its
// final name is always a whole one (after a crash, a kill, a full disk). The
// engine writes its partial files the same way, so either path continues
// what the other left.
//
// A partial file under its final name, left by a run before partial files
// had their own name, is still continued: it is renamed to the partial name
// first (unless a partial file exists already, which is then the newer).
//
// The engine's peer transfers write their pieces in any order and note
// which are verified beside the partial file ("<name>.part.pieces"). Such a
// file is continued here only from what is whole from its first byte on,
// as that note says once the transfer stopped in order; a note of a
// transfer that did not stop in order (the engine was killed) vouches for
// nothing, and the file starts over.
//
// Plain functions; any thread. Paths are the final paths.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kPartSuffix = ".part";

std::string PartPathOf(const std::string& path);
// The final path of a partial file's path; `partPath` itself when it has no
// partial file's suffix.
std::string FinalPathOf(const std::string& partPath);

// The bytes a transfer of `path` would keep: the partial file's, else those
// of a file under the final name; 0 when there is neither.
std::int64_t KeptBytesOf(const std::string& path);

// The piece note of a peer transfer beside a partial file.
std::string PieceNotePathOf(const std::string& partPath);
// How much of the partial file its piece note vouches for from its start:
// -1 without a note, 0 for a note that vouches for nothing.
std::int64_t VouchedBytesOf(const std::string& partPath);

// Prepares `path` for writing and answers the file to open: the partial
// file, after a file under the final name was moved there when no partial
// file exists (*moved then true: a writer that ends without writing puts it
// back). False (errno set, *partPath then the final path) when something
// other than a file stands under the final name, or the move failed.
[[nodiscard]] bool PrepareToWrite(const std::string& path, std::string* partPath, bool* moved);
