#include "updater/update_digest.h"

#include <algorithm>
#include <string>

#include "updater/md4.h"

std::vector<std::uint8_t> DigestSequence(const std::uint8_t* data, std::int64_t size) {
    std::vector<std::uint8_t> sequence;
    if (!data || size <= 0) return sequence;
    const std::int64_t pieces = (size + kDigestPieceBytes - 1) / kDigestPieceBytes;
    sequence.reserve(static_cast<std::size_t>(pieces + 1) * ctCMD4::kDigestSize);
    for (std::int64_t at = 0; at < size; at += kDigestPieceBytes) {
        const std::int64_t length = std::min(kDigestPieceBytes, size - at);
        ctCMD4::Digest piece = ctCMD4::Of(data + at, static_cast<std::size_t>(length));
        sequence.insert(sequence.end(), piece.begin(), piece.end());
    }
    ctCMD4::Digest whole = ctCMD4::Of(sequence.data(), sequence.size());
    sequence.insert(sequence.end(), whole.begin(), whole.end());
    return sequence;
}

bool VerifyDigest(std::int64_t size, const CExpectedDigest* expected, const std::uint8_t* data) {
    if (!expected || expected->bytes.empty() || !data || size <= 0) return false;
    const std::uint64_t length = expected->bytes.size();
    if (length % ctCMD4::kDigestSize != 0) return false;
    const std::uint64_t pieces =
        (static_cast<std::uint64_t>(size) + kDigestPieceBytes - 1) / kDigestPieceBytes;
    // Compare lengths before hashing: a wrong-sized file costs nothing.
    if (length != (pieces + 1) * ctCMD4::kDigestSize) return false;
    return DigestSequence(data, size) == expected->bytes;
}

ArchiveType ArchiveTypeOf(std::string_view url) {
    const std::size_t dot = url.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return kArchiveUnknown;
    std::string extension(url.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == "7z") return kArchive7z;
    if (extension == "zip") return kArchiveZip;
    return kArchiveUnknown;
}
