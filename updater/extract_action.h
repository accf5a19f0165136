// The unpackers of update archives. Each one unpacks a whole archive (read
// through its source: a file, or memory) into a target folder and answers a code; the caller (see
// extract_archive.h) maps it for the updater and decides what becomes of
// the folder. An unpacker never leaves the target folder: names are
// checked first (extract_names.h) and files are created below a descriptor
// of the folder without following links (extract_sink.h).
//
// Stateless; any thread, one archive per call.
#pragma once

#include <cstdint>
#include <string>

#include "updater/archive_source.h"

enum ExtractActionResult : int {
    kExtractDone = 0,
    kExtractItemFailed = 1,    // an item could not be unpacked, or was refused
    kExtractOpenFailed = 2,    // not an archive of this kind, or damaged at its start
    kExtractBadArguments = 3,  // no data, no size or no folder
    kExtractZipFailed = 4,     // the zip unpacker's failure, at opening or at an item
};

class IExtractAction {
public:
    virtual ~IExtractAction() = default;
    // `folder` is created when missing.
    [[nodiscard]] virtual int Extract(const CArchiveSource& source, const std::string& folder) = 0;
    // The same over `size` bytes at `data` (not owned).
    [[nodiscard]] int Extract(const std::uint8_t* data, std::int64_t size,
                              const std::string& folder) {
        return Extract(CArchiveSource(data, size), folder);
    }
};

// 7z archives, through libarchive's 7-Zip reader.
class C7ZipExtractAction : public IExtractAction {
public:
    using IExtractAction::Extract;
    [[nodiscard]] int Extract(const CArchiveSource& source, const std::string& folder) override;
};

// Zip archives, through minizip's reader over the source.
class CGZipExtractAction : public IExtractAction {
public:
    using IExtractAction::Extract;
    [[nodiscard]] int Extract(const CArchiveSource& source, const std::string& folder) override;
};
