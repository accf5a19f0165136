// Unpacking a checked update archive into a folder, with the unpacker its
// type names (the install around it is engine_install.h).
//
// Plain functions; the updater calls them on the service worker thread.
// They block for as long as unpacking takes.
#pragma once

#include <cstdint>
#include <string>

#include "updater/archive_source.h"
#include "updater/update_digest.h"

inline constexpr const char* kEngineExecutableName = "TLXDownloadV32.exe";

// Unpacks with the unpacker for `type` into `folder` and maps its answer
// for the updater: 0 done; 5 unknown type or any unpacking failure (1 to
// 4); 6 for the unpacker's 5; anything above 5 counts as done.
[[nodiscard]] int ExtractArchive(int type, const CArchiveSource& source, const std::string& folder);
// The same over `size` bytes at `data` (not owned).
[[nodiscard]] int ExtractArchive(int type, const std::uint8_t* data, std::int64_t size,
                                 const std::string& folder);
