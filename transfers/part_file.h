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

// Prepares `path` for writing and answers the file to open: the partial
// file, after a file under the final name was moved there when no partial
// file exists (*moved then true: a writer that ends without writing puts it
// back). False (errno set, *partPath then the final path) when something
// other than a file stands under the final name, or the move failed.
[[nodiscard]] bool PrepareToWrite(const std::string& path, std::string* partPath, bool* moved);
