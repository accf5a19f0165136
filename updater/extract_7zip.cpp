// 7z archives through libarchive (7-Zip format only). libarchive converts
// the archive's UTF-16 names with the thread's character type locale; in
// the "C" locale non-ASCII names come back null, so a UTF-8 locale is set
// for this thread while names are read, and the old one put back.
#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "service/base/service_log.h"
#include "updater/extract_action.h"
#include "updater/extract_sink.h"
#include "updater/seven_zip_header.h"

namespace {

class ScopedUtf8Names {
public:
    ScopedUtf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
        if (utf8_) old_ = uselocale(utf8_);
    }
    ~ScopedUtf8Names() {
        if (utf8_) {
            uselocale(old_);
            freelocale(utf8_);
        }
    }
    ScopedUtf8Names(const ScopedUtf8Names&) = delete;
    ScopedUtf8Names& operator=(const ScopedUtf8Names&) = delete;

private:
    locale_t utf8_;
    locale_t old_ = LC_GLOBAL_LOCALE;
};

class ArchiveReader {
public:
    ArchiveReader() : archive_(archive_read_new()) {}
    ~ArchiveReader() {
        if (archive_) archive_read_free(archive_);
    }
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    archive* Get() const { return archive_; }

private:
    archive* archive_;
};

constexpr std::size_t kReadPiece = 0x400000;  // the largest piece written at once
constexpr std::size_t kSourceBlock = 64 * 1024;  // what libarchive reads at once

// libarchive reads the archive through these, a block at a time, seeking
// where the 7z format sends it.
struct SourceCursor {
    const CArchiveSource* source = nullptr;
    std::int64_t at = 0;
    std::vector<std::uint8_t> block = std::vector<std::uint8_t>(kSourceBlock);
};

la_ssize_t ReadSource(archive* a, void* data, const void** buffer) {
    auto* cursor = static_cast<SourceCursor*>(data);
    const std::int64_t n = cursor->source->ReadSome(cursor->at, cursor->block.data(), kSourceBlock);
    if (n < 0) {
        archive_set_error(a, EIO, "the archive cannot be read");
        return -1;
    }
    cursor->at += n;
    *buffer = cursor->block.data();
    return static_cast<la_ssize_t>(n);
}

la_int64_t SeekSource(archive*, void* data, la_int64_t offset, int whence) {
    auto* cursor = static_cast<SourceCursor*>(data);
    const std::int64_t base =
        whence == SEEK_SET ? 0 : whence == SEEK_CUR ? cursor->at : cursor->source->Size();
    const std::int64_t target = base + offset;
    if (target < 0 || target > cursor->source->Size()) return ARCHIVE_FATAL;
    cursor->at = target;
    return target;
}

la_int64_t SkipSource(archive*, void* data, la_int64_t request) {
    auto* cursor = static_cast<SourceCursor*>(data);
    const std::int64_t step = std::min<std::int64_t>(request, cursor->source->Size() - cursor->at);
    if (step <= 0) return 0;
    cursor->at += step;
    return step;
}

// Reads the current item's data into the sink.
bool CopyData(archive* a, CExtractSink* sink, std::span<std::uint8_t> buffer) {
    for (;;) {
        la_ssize_t n = archive_read_data(a, buffer.data(), buffer.size());
        if (n < 0)
            return sink->Fail(std::string("7z item data damaged: ") + archive_error_string(a));
        if (n == 0) return true;
        if (!sink->Write(buffer.data(), static_cast<std::size_t>(n))) return false;
    }
}

bool UnpackItem(archive* a, archive_entry* entry, const std::string& name, CExtractSink* sink,
                std::span<std::uint8_t> buffer) {
    const ArchiveNameRules rules{};  // names that climb out are refused
    if (!sink->CountEntry()) return false;
    if (archive_entry_is_encrypted(entry)) return sink->Fail("encrypted 7z item: " + name);
    if (archive_entry_hardlink(entry) || archive_entry_symlink(entry))
        return sink->Fail("7z link item: " + name);
    switch (archive_entry_filetype(entry)) {
        case AE_IFDIR:
            return sink->AddFolder(name, rules);
        case AE_IFREG:
            break;
        default:
            return sink->Fail("7z item neither file nor folder: " + name);
    }
    const std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (!sink->BeginFile(name, rules, declared) || !CopyData(a, sink, buffer)) return false;
    std::optional<std::int64_t> modify, access;
    if (archive_entry_mtime_is_set(entry)) modify = archive_entry_mtime(entry);
    if (archive_entry_atime_is_set(entry)) access = archive_entry_atime(entry);
    const bool readOnly = (archive_entry_perm(entry) & 0222) == 0;
    return sink->EndFile(access, modify, readOnly);
}

}  // namespace

int C7ZipExtractAction::Extract(const CArchiveSource& source, const std::string& folder) {
    if (!source.Valid() || folder.empty()) return kExtractBadArguments;
    // libarchive sizes its tables and decoders from the header before it
    // reads an entry; the header is looked at first, within the caps.
    const ExtractLimits caps = CurrentExtractLimits();
    SevenZipHeaderLimits headerLimits;
    headerLimits.maxFiles = static_cast<std::uint64_t>(caps.maxEntries);
    headerLimits.maxStreams = 4 * headerLimits.maxFiles;
    headerLimits.maxHeaderBytes = static_cast<std::uint64_t>(caps.maxHeaderBytes);
    headerLimits.maxCoderMemory = static_cast<std::uint64_t>(caps.maxCoderMemory);
    headerLimits.maxUnpackedBytes = static_cast<std::uint64_t>(caps.maxBytes);
    std::string why;
    if (!CheckSevenZipHeader(source, headerLimits, &why)) {
        WriteServiceLogFormat("[OstrelLib] 7z archive refused: %s", why.c_str());
        return kExtractOpenFailed;
    }
    CExtractSink sink;
    if (!sink.Open(folder)) return kExtractOpenFailed;
    ArchiveReader reader;
    archive* a = reader.Get();
    SourceCursor cursor;
    cursor.source = &source;
    if (!a || archive_read_support_format_7zip(a) != ARCHIVE_OK ||
        archive_read_set_read_callback(a, ReadSource) != ARCHIVE_OK ||
        archive_read_set_seek_callback(a, SeekSource) != ARCHIVE_OK ||
        archive_read_set_skip_callback(a, SkipSource) != ARCHIVE_OK ||
        archive_read_set_callback_data(a, &cursor) != ARCHIVE_OK || archive_read_open1(a) != ARCHIVE_OK)
        return kExtractOpenFailed;
    // Not zeroed: every piece is written by the decoder before it is used.
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
    const std::span<std::uint8_t> buffer(piece.get(), kReadPiece);
    for (bool first = true;; first = false) {
        archive_entry* entry = nullptr;
        std::string name;
        int status;
        {
            ScopedUtf8Names names;
            status = archive_read_next_header(a, &entry);
            if (status == ARCHIVE_OK) {
                const char* path = archive_entry_pathname(entry);
                if (!path)
                    status = ARCHIVE_WARN;
                else
                    name = path;
            }
        }
        if (status == ARCHIVE_EOF) break;
        // A warning (a name that cannot be converted, say) fails too: an
        // engine unpacked in part is worse than none.
        if (status != ARCHIVE_OK) {
            WriteServiceLogFormat("[OstrelLib] 7z archive refused: %s",
                                  archive_error_string(a) ? archive_error_string(a) : "bad name");
            return first ? kExtractOpenFailed : kExtractItemFailed;
        }
        if (!UnpackItem(a, entry, name, &sink, buffer)) {
            WriteServiceLogFormat("[OstrelLib] 7z archive refused: %s", sink.Why().c_str());
            return kExtractItemFailed;
        }
    }
    return kExtractDone;
}
