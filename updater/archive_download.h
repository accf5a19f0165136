// An update archive on its way to the disk: written to a file as it
// arrives, its MD4 piece digests and SHA-256 computed as it goes, so the
// memory an archive takes does not grow with its size. When the archive
// does not match its digests, the longest leading run of pieces that did
// match stays on disk and the next try asks only for the rest (a Range
// request); when nothing can make it match (the digest file does not fit
// the archive's length, or the archive's pieces all match a digest file
// whose last digest does not) no byte of it is fetched again.
//
// Owned by its update entry; used on the service worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "updater/md4.h"
#include "updater/update_digest.h"

struct evp_md_ctx_st;

class CArchiveDownload {
public:
    using Sha256 = std::array<std::uint8_t, 32>;

    explicit CArchiveDownload(std::string path);
    ~CArchiveDownload();
    CArchiveDownload(const CArchiveDownload&) = delete;
    CArchiveDownload& operator=(const CArchiveDownload&) = delete;

    const std::string& Path() const { return path_; }
    // Where the next request should begin: the verified bytes kept from an
    // earlier try, 0 when there are none.
    std::int64_t ResumeOffset() const { return kept_; }
    // Whether the whole archive is on disk from an earlier try and only its
    // digests are in doubt: it is checked again, not fetched again.
    bool WholeOnDisk() const { return whole_; }

    // A body that begins at `offset` (ResumeOffset(), or 0 when the server
    // sends all of it) of an archive of `total` bytes. False when the file
    // cannot be opened or cut there.
    [[nodiscard]] bool Begin(std::int64_t offset, std::int64_t total);
    // Appends body bytes; false when the disk takes them not.
    [[nodiscard]] bool Write(const void* data, std::size_t length);
    // The body is all there: flushed to the disk. False when it is short or
    // cannot be flushed.
    [[nodiscard]] bool Finish();
    // The bytes on disk so far.
    std::int64_t Held() const { return held_; }

    enum class Check { kMatches, kRetry, kCannotMatch };
    // Checks the finished archive against its MD4 digest file (required)
    // and, when the manifest named them, its SHA-256 and size. A mismatch
    // keeps what can be kept for the next try (kRetry) or nothing at all
    // would help (kCannotMatch); `why` says what failed.
    Check Verify(const CExpectedDigest* md4, const std::optional<Sha256>& sha256,
                 std::int64_t size, std::string* why);

    // Forgets the file (removed).
    void Discard();

private:
    void StartHashes();
    void HashIn(const std::uint8_t* data, std::size_t length);
    // Re-reads the first `length` bytes of the file into the hashes.
    bool HashPrefix(std::int64_t length);
    // Cuts the file to `length` bytes and keeps it for the next try.
    void KeepPrefix(std::int64_t length);

    std::string path_;
    plat::File file_;
    std::int64_t total_ = 0;
    std::int64_t held_ = 0;
    std::int64_t kept_ = 0;
    bool whole_ = false;
    std::vector<ctCMD4::Digest> pieces_;  // of the whole pieces so far
    ctCMD4 piece_;
    std::int64_t inPiece_ = 0;
    evp_md_ctx_st* sha_ = nullptr;
};
