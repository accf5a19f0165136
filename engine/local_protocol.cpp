#include "engine/local_protocol.h"

#include <cstring>

namespace {

void PutU8(std::vector<std::uint8_t>* out, std::uint8_t v) {
    out->push_back(v);
}
void PutU16(std::vector<std::uint8_t>* out, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutU32(std::vector<std::uint8_t>* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<std::uint8_t>* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
// The text and zero bytes up to `width`; the caller made sure it fits.
void PutFixed(std::vector<std::uint8_t>* out, std::string_view text, std::size_t width) {
    out->insert(out->end(), text.begin(), text.end());
    out->insert(out->end(), width - text.size(), 0);
}
bool Fits(std::string_view text, std::size_t width) {
    return text.size() < width && text.find('\0') == std::string_view::npos;
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint64_t GetU64(const std::uint8_t* p) {
    return std::uint64_t(GetU32(p)) | std::uint64_t(GetU32(p + 4)) << 32;
}
// The text that starts at `offset` and ends at its zero byte, searched
// within at most `width` bytes and never past `length`; false without one.
bool GetText(const std::uint8_t* data, std::size_t length, std::size_t offset, std::size_t width,
             std::string* out) {
    if (offset >= length) return false;
    const std::size_t room = std::min(width, length - offset);
    const void* end = std::memchr(data + offset, 0, room);
    if (!end) return false;
    out->assign(reinterpret_cast<const char*>(data + offset),
                static_cast<const std::uint8_t*>(end) - (data + offset));
    return true;
}

void PutHead(std::vector<std::uint8_t>* out, const LocalJobHead& head) {
    PutU32(out, head.jobKey);
    PutU32(out, head.fileCount);
    PutFixed(out, head.serviceKey, kKeyFieldSize);
}

void PutFileFields(std::vector<std::uint8_t>* out, const LocalFileRecord& file) {
    PutU8(out, file.option1);
    PutU8(out, file.option2);
    PutU64(out, static_cast<std::uint64_t>(file.size));
    PutFixed(out, file.folder, kPathFieldSize);
    PutFixed(out, file.name, kPathFieldSize);
}

bool FileFits(const LocalFileRecord& file) {
    return Fits(file.folder, kPathFieldSize) && Fits(file.name, kPathFieldSize) &&
           file.url.find('\0') == std::string::npos;
}

}  // namespace

std::vector<std::uint8_t> EncodeServiceKey(std::string_view key) {
    std::vector<std::uint8_t> out;
    key = key.substr(0, std::min(key.find('\0'), kPathFieldSize - 1));
    PutFixed(&out, key, kPathFieldSize);
    return out;
}

std::vector<std::uint8_t> EncodeJobMode(std::uint8_t mode) {
    std::vector<std::uint8_t> out(17, 0);  // the mode, then 16 zero bytes
    out[0] = mode;
    return out;
}

std::vector<std::uint8_t> EncodeJobKey(std::uint32_t jobKey) {
    std::vector<std::uint8_t> out;
    PutU32(&out, jobKey);
    return out;
}

std::uint64_t JobSubmitPayloadLength(const std::vector<LocalFileRecord>& files) {
    std::uint64_t length = kJobHeadSize;
    for (const LocalFileRecord& file : files) length += kSubmitFileFixedSize + file.url.size();
    return length;
}

bool EncodeJobSubmit(const LocalJobHead& head, const std::vector<LocalFileRecord>& files,
                     std::vector<std::uint8_t>* payload) {
    if (!Fits(head.serviceKey, kKeyFieldSize)) return false;
    for (const LocalFileRecord& file : files)
        if (!FileFits(file)) return false;
    payload->clear();
    payload->reserve(static_cast<std::size_t>(JobSubmitPayloadLength(files)));
    PutHead(payload, head);
    for (const LocalFileRecord& file : files) {
        PutFileFields(payload, file);
        payload->insert(payload->end(), file.url.begin(), file.url.end());
        PutU8(payload, 0);
    }
    return true;
}

bool EncodeJobSubmitBegin(const LocalJobHead& head, std::vector<std::uint8_t>* payload) {
    if (!Fits(head.serviceKey, kKeyFieldSize)) return false;
    payload->clear();
    PutHead(payload, head);
    return true;
}

bool EncodeJobSubmitFile(std::uint32_t jobKey, std::uint32_t index, const LocalFileRecord& file,
                         std::vector<std::uint8_t>* payload) {
    if (!FileFits(file) || file.url.size() > 0xFFFF) return false;
    payload->clear();
    PutU32(payload, jobKey);
    PutU32(payload, index);
    PutFileFields(payload, file);
    PutU16(payload, static_cast<std::uint16_t>(file.url.size()));
    payload->insert(payload->end(), file.url.begin(), file.url.end());
    return true;
}

std::vector<std::uint8_t> EncodeCancelJob(std::uint32_t jobKey, std::uint32_t engineJob) {
    std::vector<std::uint8_t> out;
    PutU32(&out, jobKey);
    PutU32(&out, engineJob);
    return out;
}

std::vector<std::uint8_t> EncodeJobOption(std::uint32_t jobKey, std::uint32_t engineJob,
                                          std::uint8_t value) {
    std::vector<std::uint8_t> out = EncodeCancelJob(jobKey, engineJob);
    PutU8(&out, value);
    return out;
}

std::vector<std::uint8_t> EncodeResumeAnswer(std::uint32_t engineJob, std::uint32_t jobKey,
                                             std::uint8_t first, std::uint8_t second) {
    std::vector<std::uint8_t> out;
    PutU32(&out, engineJob);
    PutU32(&out, jobKey);
    PutU8(&out, first);
    PutU8(&out, second);
    return out;
}

bool DecodeJobAccepted(const std::uint8_t* data, std::size_t length, JobAccepted* out) {
    if (length < 20) return false;
    out->jobKey = GetU32(data);
    out->engineJob = GetU32(data + 4);
    out->fileCount = GetU32(data + 8);
    out->totalBytes = GetU64(data + 12);
    return true;
}

bool DecodeProgressReport(const std::uint8_t* data, std::size_t length, ProgressReport* out) {
    if (length < 64) return false;
    out->jobKey = GetU32(data);
    out->engineJob = GetU32(data + 4);
    out->fileCount = GetU32(data + 12);
    out->filesDone = GetU32(data + 16);
    out->totalBytes = GetU64(data + 20);
    out->receivedBytes = GetU64(data + 28);
    out->speed = GetU32(data + 36);
    out->elapsedSeconds = GetU64(data + 44);
    out->recordCount = GetU32(data + 60);
    out->hasFirstRecord = false;
    // Only the first record is used; it is read when all of it is there
    // (64 bytes, its byte at 64 and its text up to the zero). The count is
    // never used to size anything.
    std::string text;
    if (out->recordCount > 0 && length >= 64 + 65 &&
        GetText(data, length, 64 + 65, length, &text)) {
        const std::uint8_t* record = data + 64;
        out->first.size = GetU64(record + 33);
        out->first.received = GetU64(record + 41);
        out->first.speed = GetU32(record + 49);
        out->hasFirstRecord = true;
    }
    return true;
}

bool DecodeJobEnded(const std::uint8_t* data, std::size_t length, JobEnded* out) {
    if (length < 20) return false;
    out->jobKey = GetU32(data);
    out->engineJob = GetU32(data + 4);
    out->completedFiles = GetU32(data + 12);
    out->fallback = GetU32(data + 16);
    return true;
}

bool DecodeFileDone(const std::uint8_t* data, std::size_t length, bool at, FileDone* out) {
    const std::size_t urlAt = at ? 561 : 301;
    if (length <= urlAt) return false;
    out->jobKey = GetU32(data);
    out->engineJob = GetU32(data + 4);
    if (!GetText(data, length, 41, kPathFieldSize, &out->path)) return false;
    out->storedPath.clear();
    if (at && !GetText(data, length, 301, kPathFieldSize, &out->storedPath)) return false;
    if (!GetText(data, length, urlAt, length, &out->url)) return false;
    // The figures behind the address, when they are all there; the frame's
    // zero padding carries no tag.
    const std::size_t extra = urlAt + out->url.size() + 1;
    out->hasBytes = length - extra >= kFileBytesSize &&
                    std::memcmp(data + extra, kFileBytesTag, sizeof kFileBytesTag) == 0;
    out->bytes = FileBytes{};
    if (out->hasBytes) {
        const std::uint8_t* figures = data + extra + sizeof kFileBytesTag;
        out->bytes = FileBytes{GetU64(figures), GetU64(figures + 8), GetU64(figures + 16)};
    }
    return true;
}

bool DecodeJobState(const std::uint8_t* data, std::size_t length, JobStateRecord* out) {
    if (length < 10) return false;
    out->jobKey = GetU32(data);
    out->engineJob = GetU32(data + 4);
    out->state = data[8];
    return GetText(data, length, 9, length, &out->text);
}

bool DecodeJobFailed(const std::uint8_t* data, std::size_t length, JobFailed* out) {
    if (length < 9) return false;
    out->jobKey = GetU32(data);
    return GetText(data, length, 8, length, &out->text);
}

bool DecodeJobKey(const std::uint8_t* data, std::size_t length, std::uint32_t* jobKey) {
    if (length < 4) return false;
    *jobKey = GetU32(data);
    return true;
}
