// ResultRecord: what the report server learns about one file of a finished
// job. The struct is the wire layout itself, 298 bytes without padding:
//
//   offset   0   33 bytes  service key, NUL-terminated, zero-filled
//   offset  33  256 bytes  the file's URL field as added to the job (all
//                          "|"-separated alternatives), NUL-terminated,
//                          zero-filled
//   offset 289    8 bytes  bytes written for this file by this run, signed,
//                          little-endian
//   offset 297    1 byte   1
//
// The byte count is kept as bytes rather than an int64 member so that the
// wire order does not depend on the host and no unaligned int64 is ever
// referenced. Text that does not fit is cut (see SetServiceKey, SetUrl),
// never written past its column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/agent_interfaces.h"

#pragma pack(push, 1)
struct ResultRecord {
    static constexpr std::size_t kServiceKeySize = 33;
    static constexpr std::size_t kUrlSize = 256;
    static constexpr std::uint8_t kMarker = 1;

    // A zero-filled record with the marker set.
    ResultRecord() = default;
    // A record for one file: key and URL cut as their setters do.
    static ResultRecord Make(std::string_view serviceKey, std::string_view url,
                             std::int64_t bytesWritten);

    // Copies up to 32 bytes of the key (up to its first NUL) and zero-fills
    // the rest. False when the key was cut.
    bool SetServiceKey(std::string_view serviceKey);
    // Copies up to 255 bytes of the URL field (up to its first NUL) and
    // zero-fills the rest, so the column always ends with a NUL. The cut is
    // by bytes: a multibyte character at the edge may lose its tail. False
    // when the field was cut.
    bool SetUrl(std::string_view url);
    void SetBytesWritten(std::int64_t bytes);

    // The key and URL up to their NUL (never past the column).
    std::string_view ServiceKey() const;
    std::string_view Url() const;
    std::int64_t BytesWritten() const;

    char serviceKey[kServiceKeySize] = {};
    char url[kUrlSize] = {};
    std::uint8_t bytesWritten[8] = {};  // little-endian
    std::uint8_t marker = kMarker;
};
#pragma pack(pop)

static_assert(sizeof(ResultRecord) == kAgentRecordSize);
static_assert(offsetof(ResultRecord, url) == 33);
static_assert(offsetof(ResultRecord, bytesWritten) == 289);
static_assert(offsetof(ResultRecord, marker) == 297);
