// Unpacking a checked update archive into the engine folder.
//
// InstallArchive never leaves a half-installed engine: it unpacks into a
// fresh staging folder beside the engine folder
// ("<parent>/tlxDownloadV32.update-XXXXXX"), flushes every file, and only
// then moves the files into place one by one (the engine executable last,
// so that an interrupted install still carries the old version and is
// redone by the next pass). Files it replaces are kept in the staging
// folder until the end, so a failure while moving puts them back. Any
// failure deletes the staging folder; the engine folder is then as before.
//
// Plain functions; the updater calls them on the service worker thread.
// They block for as long as unpacking takes.
#pragma once

#include <cstdint>
#include <string>

#include "updater/update_digest.h"

inline constexpr const char* kEngineExecutableName = "TLXDownloadV32.exe";
inline constexpr const char* kStagingPrefix = "tlxDownloadV32.update-";

// Unpacks with the unpacker for `type` straight into `folder` and maps its
// answer for the updater: 0 done; 5 unknown type or any unpacking failure
// (1 to 4); 6 for the unpacker's 5; anything above 5 counts as done.
[[nodiscard]] int ExtractArchive(int type, const std::uint8_t* data, std::int64_t size,
                                 const std::string& folder);

// Unpacks through a staging folder and moves the result into
// `engineFolder` (created when missing). Answers as ExtractArchive; a
// failure to stage or to move the files in is 5.
[[nodiscard]] int InstallArchive(int type, const std::uint8_t* data, std::int64_t size,
                                 const std::string& engineFolder);

// Test seam: the move into place fails once `moves` files have moved (-1,
// the default, never), so tests can watch the replaced files come back.
void FailInstallMovesForTesting(int moves);

// Deletes staging folders an interrupted pass left beside `engineFolder`.
// True when none is left.
bool RemoveLeftoverStaging(const std::string& engineFolder);
