// The unpackers of update archives. Each one unpacks a whole archive held
// in memory into a target folder and answers a code; the caller (see
// extract_archive.h) maps it for the updater and decides what becomes of
// the folder. An unpacker never leaves the target folder: names are
// checked first (extract_names.h) and files are created below a descriptor
// of the folder without following links (extract_sink.h).
//
// Stateless; any thread, one archive per call.
#pragma once

#include <cstdint>
#include <string>

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
    // `data` (not owned, `size` bytes) stays valid during the call; `folder`
    // is created when missing.
    [[nodiscard]] virtual int Extract(const std::uint8_t* data, std::int64_t size,
                                      const std::string& folder) = 0;
};

// 7z archives, through libarchive's 7-Zip reader.
class C7ZipExtractAction : public IExtractAction {
public:
    [[nodiscard]] int Extract(const std::uint8_t* data, std::int64_t size,
                              const std::string& folder) override;
};

// Zip archives, through minizip's reader over the memory block.
class CGZipExtractAction : public IExtractAction {
public:
    [[nodiscard]] int Extract(const std::uint8_t* data, std::int64_t size,
                              const std::string& folder) override;
};
