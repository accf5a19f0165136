// Checking a fetched update archive against its digest file, and telling
// the archive's type from its address.
//
// A digest file holds the digest sequence of the archive: the MD4 of each
// 1 MiB piece in order (the last piece possibly shorter), then the MD4 of
// those piece digests put together, (n + 1) x 16 bytes for n pieces.
//
// Only the whole sequence verifies. A digest file that is empty, absent,
// shorter or longer than the sequence, or not a multiple of 16 bytes long,
// does not: a leading part would leave the rest of the archive unchecked.
// Callers treat an archive without a digest as a failed try, never as an
// unchecked install. Plain functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr std::int64_t kDigestPieceBytes = 1024 * 1024;

// The bytes of an entry's digest file, as fetched.
struct CExpectedDigest {
    std::vector<std::uint8_t> bytes;
};

// The digest sequence of `size` bytes at `data` (empty for size <= 0).
std::vector<std::uint8_t> DigestSequence(const std::uint8_t* data, std::int64_t size);

// True only when `expected` holds exactly the digest sequence of the data.
// Null or empty `expected`, null data or size <= 0: false.
[[nodiscard]] bool VerifyDigest(std::int64_t size, const CExpectedDigest* expected,
                                const std::uint8_t* data);

enum ArchiveType : int { kArchiveUnknown = 0, kArchive7z = 1, kArchiveZip = 2 };

// By the text after the address's last ".", without regard to case: "7z"
// or "zip". No ".", a "." as first character, or anything else (a query
// after the extension included): kArchiveUnknown.
ArchiveType ArchiveTypeOf(std::string_view url);
