#include "updater/archive_download.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "platform/files.h"

namespace {

constexpr std::size_t kRehashBlock = 1 << 20;

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

CArchiveDownload::CArchiveDownload(std::string path) : path_(std::move(path)) {}

CArchiveDownload::~CArchiveDownload() {
    if (sha_) EVP_MD_CTX_free(sha_);
}

void CArchiveDownload::StartHashes() {
    pieces_.clear();
    piece_.Init();
    inPiece_ = 0;
    if (!sha_) sha_ = EVP_MD_CTX_new();
    if (sha_) (void)EVP_DigestInit_ex(sha_, EVP_sha256(), nullptr);  // checked at the end
}

void CArchiveDownload::HashIn(const std::uint8_t* data, std::size_t length) {
    if (sha_) (void)EVP_DigestUpdate(sha_, data, length);  // checked at the end
    while (length > 0) {
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::int64_t>(kDigestPieceBytes - inPiece_, static_cast<std::int64_t>(length)));
        piece_.Update(data, take);
        inPiece_ += static_cast<std::int64_t>(take);
        data += take;
        length -= take;
        if (inPiece_ == kDigestPieceBytes) {
            ctCMD4::Digest digest;
            piece_.Final(digest.data());
            pieces_.push_back(digest);
            piece_.Init();
            inPiece_ = 0;
        }
    }
}

bool CArchiveDownload::HashPrefix(std::int64_t length) {
    plat::ReadOnlyFile file;
    if (!file.Open(path_) || file.Size() < length) return false;
    std::vector<std::uint8_t> block(kRehashBlock);
    for (std::int64_t at = 0; at < length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::int64_t>(kRehashBlock, length - at));
        if (!file.ReadAt(at, block.data(), n)) return false;
        HashIn(block.data(), n);
        at += static_cast<std::int64_t>(n);
    }
    return true;
}

bool CArchiveDownload::Begin(std::int64_t offset, std::int64_t total) {
    if (offset < 0 || offset > kept_ || total <= offset) return false;
    whole_ = false;
    total_ = total;
    if (!file_.OpenKeep(path_)) return false;
    if (!file_.Truncate(offset)) return false;
    held_ = offset;
    StartHashes();
    // The hashes of the kept bytes are made again from the disk: a SHA-256
    // cannot be taken back to where a try left off.
    if (offset > 0 && !HashPrefix(offset)) return false;
    return true;
}

bool CArchiveDownload::Write(const void* data, std::size_t length) {
    if (!file_.IsOpen() || held_ + static_cast<std::int64_t>(length) > total_) return false;
    if (!file_.Append(data, length)) return false;
    HashIn(static_cast<const std::uint8_t*>(data), length);
    held_ += static_cast<std::int64_t>(length);
    return true;
}

bool CArchiveDownload::Finish() {
    if (!file_.IsOpen() || held_ != total_) return false;
    const bool flushed = file_.Sync();
    file_.Close();
    if (!flushed) return false;
    if (inPiece_ > 0) {
        ctCMD4::Digest digest;
        piece_.Final(digest.data());
        pieces_.push_back(digest);
        piece_.Init();
        inPiece_ = 0;
    }
    whole_ = true;
    kept_ = held_;
    return true;
}

void CArchiveDownload::KeepPrefix(std::int64_t length) {
    file_.Close();
    whole_ = false;
    kept_ = 0;
    plat::File file;
    if (length > 0 && file.OpenKeep(path_) && file.Truncate(length)) {
        kept_ = length;
        return;
    }
    (void)plat::RemoveFile(path_);  // nothing kept: the next try starts over
}

CArchiveDownload::Check CArchiveDownload::Verify(const CExpectedDigest* md4,
                                                  const std::optional<Sha256>& sha256,
                                                  std::int64_t size, std::string* why) {
    if (!whole_) {
        *why = "the archive is not whole";
        return Check::kRetry;
    }
    if (size >= 0 && total_ != size) {
        *why = "the archive has " + std::to_string(total_) + " bytes, the manifest names " +
               std::to_string(size);
        KeepPrefix(0);
        return Check::kRetry;
    }
    // The digest file: the pieces' digests, then the digest of them all.
    const std::size_t pieces = pieces_.size();
    const std::size_t wanted = (pieces + 1) * ctCMD4::kDigestSize;
    if (!md4 || md4->bytes.size() != wanted) {
        *why = !md4 || md4->bytes.empty()
                   ? "no digest file"
                   : "the digest file (" + std::to_string(md4->bytes.size()) +
                         " bytes) does not fit an archive of " + std::to_string(total_) + " bytes";
        return Check::kCannotMatch;  // the archive stays: the next digest file may fit it
    }
    std::size_t matching = 0;
    while (matching < pieces &&
           std::memcmp(md4->bytes.data() + matching * ctCMD4::kDigestSize,
                       pieces_[matching].data(), ctCMD4::kDigestSize) == 0)
        ++matching;
    if (matching < pieces) {
        *why = "piece " + std::to_string(matching) + " of " + std::to_string(pieces) +
               " does not match its digest";
        KeepPrefix(static_cast<std::int64_t>(matching) * kDigestPieceBytes);
        return Check::kRetry;
    }
    const ctCMD4::Digest overall = ctCMD4::Of(pieces_.data(), pieces * ctCMD4::kDigestSize);
    if (std::memcmp(md4->bytes.data() + pieces * ctCMD4::kDigestSize, overall.data(),
                    ctCMD4::kDigestSize) != 0) {
        *why = "the digest file's last digest does not match its pieces";
        return Check::kCannotMatch;
    }
    if (sha256) {
        Sha256 got{};
        unsigned int length = 0;
        if (!sha_ || EVP_DigestFinal_ex(sha_, got.data(), &length) != 1 || length != got.size() ||
            got != *sha256) {
            *why = "SHA-256 " + Hex(got.data(), got.size()) + " is not the manifest's " +
                   Hex(sha256->data(), sha256->size());
            KeepPrefix(0);  // the pieces matched: only a whole new archive can help
            return Check::kRetry;
        }
    }
    return Check::kMatches;
}

void CArchiveDownload::Discard() {
    file_.Close();
    whole_ = false;
    kept_ = 0;
    (void)plat::RemoveFile(path_);
}
