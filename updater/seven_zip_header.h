// A bounded look at a 7z archive's header before libarchive reads it.
//
// libarchive's 7-Zip reader sizes its tables from the counts the header
// declares (folders, pack streams, unpack streams, files: up to 10^8 of
// each), sets up its decoders with the dictionary or model size a coder's
// properties name (up to 4 GiB), and reads an encoded header into a buffer
// as large as the header claims to unpack to, all before it hands out a
// single entry. An archive of a few hundred bytes can therefore make it
// allocate gigabytes. CheckSevenZipHeader walks the same structure first,
// the way libarchive reads it, unpacking an encoded header itself within a
// cap, and refuses an archive whose counts, header size or decoder memory
// are past what an update package needs. It refuses anything it does not
// read (archive properties, additional streams, external folders, an
// encoded header packed by anything but copy, LZMA, LZMA2 or Deflate), so
// that every count libarchive sizes a table from has been looked at here.
//
// Reads the archive's first bytes, its header and (for an encoded header)
// the header's packed stream, nothing else; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "updater/archive_source.h"

struct SevenZipHeaderLimits {
    std::uint64_t maxFiles = 4096;  // items in the archive, folders included
    // Folders, pack streams and unpack streams: each at most this many.
    std::uint64_t maxStreams = 4 * 4096;
    std::uint64_t maxHeaderBytes = 16u << 20;  // the header as read, unpacked
    // One LZMA dictionary, PPMd model or BCJ2 stream held whole.
    std::uint64_t maxCoderMemory = 128u << 20;
    std::uint64_t maxUnpackedBytes = std::uint64_t{1} << 30;  // one folder, unpacked
};

// True when libarchive may read the archive's header: the signature at the
// start, the header inside the archive, and every count and coder within
// `limits`. Otherwise false with the reason in `why` (for the log).
[[nodiscard]] bool CheckSevenZipHeader(const CArchiveSource& source,
                                       const SevenZipHeaderLimits& limits, std::string* why);
[[nodiscard]] bool CheckSevenZipHeader(const std::uint8_t* data, std::size_t size,
                                       const SevenZipHeaderLimits& limits, std::string* why);
