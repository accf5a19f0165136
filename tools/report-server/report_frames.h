// The report channel's frames as the report server sees them. Written from
// the wire layout alone, without the program's own headers, so that the
// server checks what the program sends rather than sharing its mistakes.
//
// Frame: 14-byte little-endian header (type 16, subtype 16, six zero bytes,
// payload length 32 with the padding), then the payload; the whole frame is
// padded to a multiple of 8. A report (type 0x300, subtype 0x9A) carries a
// 32-bit record count and that many 298-byte records; the reply (type 0x300,
// subtype 0x83) carries the reply code in its first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kFrameHeaderSize = 14;
inline constexpr std::size_t kRecordSize = 298;
// Far above any report the program sends (it queues at most 1000 records,
// about 300 KB), small enough that one client cannot make the server hold
// much memory.
inline constexpr std::uint32_t kMaxPayload = 1u << 20;

struct ReceivedRecord {
    std::string key;  // up to its NUL, never past its 33-byte column
    std::string url;  // up to its NUL, never past its 256-byte column
    std::int64_t bytes = 0;
};

enum class FrameRead {
    kNeedMore,  // no whole frame yet
    kReport,    // one report taken
    kGarbage,   // not a report, too large, or records that do not fit
};

// Reads the report frame at the front of `data`. On kReport, *frameSize is
// the bytes it took and its records are appended to *records.
FrameRead ReadReport(std::string_view data, std::size_t* frameSize,
                     std::vector<ReceivedRecord>* records);

// The reply frame: header and one code byte, padded to 16 bytes.
std::string ReplyFrame(std::uint8_t code);
