#include "transfers/pending_reports.h"

#include <cstdint>
#include <cstring>

#include "platform/files.h"
#include "service/base/service_log.h"
#include "service/base/service_paths.h"

namespace {

constexpr char kMagic[4] = {'Z', 'K', '4', 'R'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 12;

void PutU32(std::string* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return value;
}

// A record as the reporter itself would make it: texts end in their columns.
bool Plausible(const ResultRecord& record) {
    return record.marker == ResultRecord::kMarker &&
           std::memchr(record.serviceKey, 0, ResultRecord::kServiceKeySize) != nullptr &&
           std::memchr(record.url, 0, ResultRecord::kUrlSize) != nullptr &&
           record.BytesWritten() >= 0;
}

}  // namespace

std::string PendingReportsPath() {
    const std::string folder = ServiceDataFolder();
    return folder.empty() ? std::string() : folder + "config/reports.pending";
}

bool SavePendingReports(const std::string& path, const std::vector<ResultRecord>& records) {
    if (records.empty()) {
        (void)plat::RemoveFile(path);  // nothing kept: an absent file says so
        return true;
    }
    const std::size_t first = records.size() > kMaxPendingRecords ? records.size() - kMaxPendingRecords : 0;
    std::string bytes(kMagic, sizeof kMagic);
    PutU32(&bytes, kVersion);
    PutU32(&bytes, static_cast<std::uint32_t>(records.size() - first));
    for (std::size_t i = first; i < records.size(); ++i)
        bytes.append(reinterpret_cast<const char*>(&records[i]), sizeof(ResultRecord));
    (void)plat::EnsureFolderPath(path.substr(0, path.rfind('/') + 1));  // the write tells
    const std::string temporary = path + ".tmp";
    if (!plat::TruncateFile(temporary) || !plat::AppendToFile(temporary, bytes) ||
        !plat::RenameFile(temporary, path)) {
        (void)plat::RemoveFile(temporary);
        return false;
    }
    return true;
}

bool DecodePendingReports(const std::string& bytes, std::vector<ResultRecord>* records) {
    records->clear();
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
        GetU32(bytes, 4) != kVersion)
        return false;
    const std::uint32_t count = GetU32(bytes, 8);
    if (count > kMaxPendingRecords || bytes.size() != kHeaderSize + std::size_t{count} * sizeof(ResultRecord))
        return false;
    records->resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(&(*records)[i], bytes.data() + kHeaderSize + std::size_t{i} * sizeof(ResultRecord),
                    sizeof(ResultRecord));
        if (!Plausible((*records)[i])) {
            records->clear();
            return false;
        }
    }
    return true;
}

std::vector<ResultRecord> TakePendingReports(const std::string& path) {
    std::vector<ResultRecord> records;
    if (!plat::PathExists(path)) return records;
    std::string bytes;
    const bool read = plat::ReadWholeFile(path, &bytes, kHeaderSize + kMaxPendingRecords * sizeof(ResultRecord));
    (void)plat::RemoveFile(path);  // taken: sent or dropped, never twice
    if (!read || !DecodePendingReports(bytes, &records))
        WriteServiceLogFormat("[OstrelLib] Ignoring unusable saved reports : %s", path.c_str());
    return records;
}
