// Zip archives through minizip, reading the memory block through file
// functions of our own, and zlib for the data.
#include <unzip.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "service/base/service_log.h"
#include "updater/extract_action.h"
#include "updater/extract_sink.h"

namespace {

// The archive seen as a file by minizip.
struct SourceStream {
    const CArchiveSource* source = nullptr;
    std::uint64_t at = 0;
};

voidpf ZCALLBACK SourceOpen(voidpf opaque, const void*, int) {
    return opaque;
}
uLong ZCALLBACK SourceRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* m = static_cast<SourceStream*>(stream);
    const std::int64_t n =
        m->source->ReadSome(static_cast<std::int64_t>(m->at), buf, static_cast<std::size_t>(size));
    if (n <= 0) return 0;
    m->at += static_cast<std::uint64_t>(n);
    return static_cast<uLong>(n);
}
uLong ZCALLBACK SourceWrite(voidpf, voidpf, const void*, uLong) {
    return 0;
}
ZPOS64_T ZCALLBACK SourceTell(voidpf, voidpf stream) {
    return static_cast<SourceStream*>(stream)->at;
}
long ZCALLBACK SourceSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* m = static_cast<SourceStream*>(stream);
    const auto size = static_cast<std::uint64_t>(m->source->Size());
    std::uint64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            base = 0;
            break;
        case ZLIB_FILEFUNC_SEEK_CUR:
            base = m->at;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            base = size;
            break;
        default:
            return -1;
    }
    // minizip moves back by passing a negative offset as an unsigned one;
    // the sum wraps round to the intended position.
    const std::uint64_t target = base + offset;
    if (target > size) return -1;
    m->at = target;
    return 0;
}
int ZCALLBACK SourceClose(voidpf, voidpf) {
    return 0;
}
int ZCALLBACK SourceError(voidpf, voidpf) {
    return 0;
}

class ZipReader {
public:
    explicit ZipReader(const CArchiveSource& source) {
        stream_.source = &source;
        zlib_filefunc64_def functions{};
        functions.zopen64_file = SourceOpen;
        functions.zread_file = SourceRead;
        functions.zwrite_file = SourceWrite;
        functions.ztell64_file = SourceTell;
        functions.zseek64_file = SourceSeek;
        functions.zclose_file = SourceClose;
        functions.zerror_file = SourceError;
        functions.opaque = &stream_;
        file_ = unzOpen2_64("archive", &functions);
    }
    ~ZipReader() {
        if (file_) unzClose(file_);
    }
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;
    unzFile Get() const { return file_; }

private:
    SourceStream stream_;
    unzFile file_ = nullptr;
};

constexpr std::size_t kReadPiece = 16384;
constexpr uLong kFlagEncrypted = 0x1;
constexpr uLong kFlagUtf8 = 0x800;
constexpr std::uint16_t kExtendedTimestampTag = 0x5455;  // "UT"

bool MadeOnDosLikeSystem(uLong versionMadeBy) {
    const uLong system = versionMadeBy >> 8;
    return system == 0 || system == 7 || system == 11 || system == 14;
}

// The item's MS-DOS date and time, read as local time, in Unix seconds.
std::int64_t DosTimeToUnix(uLong dosDate) {
    const uLong date = dosDate >> 16;
    const uLong time = dosDate & 0xFFFF;
    struct tm local {};
    local.tm_year = static_cast<int>(1980 + ((date >> 9) & 0x7F)) - 1900;
    local.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
    local.tm_mday = static_cast<int>(date & 0x1F);
    local.tm_hour = static_cast<int>((time >> 11) & 0x1F);
    local.tm_min = static_cast<int>((time >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(2 * (time & 0x1F));
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(mktime(&local));
}

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Overrides the times from an extended-timestamp block of the extra field;
// every read stays inside its block and the field.
void ApplyExtendedTimestamp(const std::uint8_t* extra, std::size_t length, std::int64_t* modify,
                            std::int64_t* access) {
    std::size_t at = 0;
    while (length - at >= 4) {
        const std::uint16_t tag = static_cast<std::uint16_t>(extra[at] | extra[at + 1] << 8);
        const std::size_t blockLength = extra[at + 2] | extra[at + 3] << 8;
        const std::uint8_t* block = extra + at + 4;
        if (blockLength > length - at - 4) return;
        if (tag == kExtendedTimestampTag && blockLength >= 5) {
            const std::uint8_t flags = block[0];
            std::size_t p = 1;
            if ((flags & 1) && p + 4 <= blockLength) {
                *modify = static_cast<std::int32_t>(Le32(block + p));
                p += 4;
            }
            if ((flags & 2) && p + 4 <= blockLength)
                *access = static_cast<std::int32_t>(Le32(block + p));
            return;
        }
        at += 4 + blockLength;
    }
}

bool UnpackCurrent(unzFile zip, CExtractSink* sink, std::vector<std::uint8_t>* buffer) {
    unz_file_info64 info{};
    char name[kMaxArchiveNameBytes + 2] = {};
    std::vector<std::uint8_t> extra(0x10000);
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, extra.data(), extra.size(), nullptr,
                                0) != UNZ_OK)
        return sink->Fail("zip item header damaged");
    if (!sink->CountEntry()) return false;
    if (info.size_filename > kMaxArchiveNameBytes) return sink->Fail("name longer than 259 bytes");
    const std::string_view rawName(name, info.size_filename);
    const std::string shown(rawName.substr(0, rawName.find('\0')));
    if (info.flag & kFlagEncrypted) return sink->Fail("encrypted zip item: " + shown);

    ArchiveNameRules rules;
    // A name that tries to leave the folder (a drive, a root, a climb) is
    // refused, never cut into another name inside it: the whole archive
    // fails instead of installing what a hostile package chose to call it.
    rules.asciiOnly = (info.flag & kFlagUtf8) == 0;
    const uLong attributes = info.external_fa;
    bool folder = false;
    bool readOnly = false;
    if (MadeOnDosLikeSystem(info.version)) {
        folder = attributes & 0x10;
        readOnly = attributes & 0x01;
    } else {
        const uLong mode = attributes >> 16;
        const uLong type = mode & 0170000;
        if (type != 0 && type != 0100000 && type != 0040000)
            return sink->Fail("zip item neither file nor folder (a link?): " + shown);
        folder = attributes & 0x40000000;
        readOnly = (attributes & 0x00800000) == 0;
    }
    if (!rawName.empty() && (rawName.back() == '/' || rawName.back() == '\\')) folder = true;
    if (folder) return sink->AddFolder(rawName, rules);

    std::int64_t modify = DosTimeToUnix(info.dosDate);
    std::int64_t access = modify;
    ApplyExtendedTimestamp(extra.data(), std::min<std::size_t>(info.size_file_extra, extra.size()),
                           &modify, &access);
    const auto declared = static_cast<std::int64_t>(info.uncompressed_size);
    if (declared < 0 || !sink->BeginFile(rawName, rules, declared)) return false;
    if (unzOpenCurrentFile(zip) != UNZ_OK) return sink->Fail("zip item cannot be opened: " + shown);
    bool ok = true;
    for (;;) {
        int n = unzReadCurrentFile(zip, buffer->data(), static_cast<unsigned>(buffer->size()));
        if (n < 0) {
            ok = sink->Fail("zip item data damaged: " + shown);
            break;
        }
        if (n == 0) break;
        if (!sink->Write(buffer->data(), static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    // The CRC is checked when the item is closed.
    const int closed = unzCloseCurrentFile(zip);
    if (ok && closed != UNZ_OK) ok = sink->Fail("zip item CRC error: " + shown);
    return ok && sink->EndFile(access, modify, readOnly);
}

}  // namespace

int CGZipExtractAction::Extract(const CArchiveSource& source, const std::string& folder) {
    if (!source.Valid() || folder.empty()) return kExtractBadArguments;
    CExtractSink sink;
    if (!sink.Open(folder)) return kExtractZipFailed;
    ZipReader reader(source);
    unzFile zip = reader.Get();
    unz_global_info64 global{};
    if (!zip || unzGetGlobalInfo64(zip, &global) != UNZ_OK) {
        WriteServiceLog("[OstrelLib] zip archive refused: not a zip archive");
        return kExtractZipFailed;
    }
    if (global.number_entry > static_cast<ZPOS64_T>(CurrentExtractLimits().maxEntries)) {
        WriteServiceLog("[OstrelLib] zip archive refused: more entries than the cap");
        return kExtractZipFailed;
    }
    std::vector<std::uint8_t> buffer(kReadPiece);
    int status = unzGoToFirstFile(zip);
    while (status == UNZ_OK) {
        if (!UnpackCurrent(zip, &sink, &buffer)) {
            WriteServiceLogFormat("[OstrelLib] zip archive refused: %s", sink.Why().c_str());
            return kExtractZipFailed;
        }
        status = unzGoToNextFile(zip);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) {
        WriteServiceLog("[OstrelLib] zip archive refused: central directory damaged");
        return kExtractZipFailed;
    }
    return kExtractDone;
}
