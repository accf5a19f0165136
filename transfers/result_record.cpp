#include "transfers/result_record.h"

#include <cstring>

namespace {

// Copies `text` up to its first NUL into a column of `size` bytes, keeping
// the last byte for the terminator; false when something was cut.
bool CopyColumn(std::string_view text, char* column, std::size_t size) {
    text = text.substr(0, text.find('\0'));
    const std::size_t kept = text.size() < size ? text.size() : size - 1;
    std::memset(column, 0, size);
    if (kept != 0) std::memcpy(column, text.data(), kept);
    return kept == text.size();
}

std::string_view ReadColumn(const char* column, std::size_t size) {
    // A record read off the wire may lack its NUL; stop at the column's end.
    const void* nul = std::memchr(column, 0, size);
    return {column, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - column) : size};
}

}  // namespace

ResultRecord ResultRecord::Make(std::string_view serviceKey, std::string_view url,
                                std::int64_t bytesWritten) {
    ResultRecord record;
    record.SetServiceKey(serviceKey);
    record.SetUrl(url);
    record.SetBytesWritten(bytesWritten);
    return record;
}

bool ResultRecord::SetServiceKey(std::string_view key) {
    return CopyColumn(key, serviceKey, kServiceKeySize);
}

bool ResultRecord::SetUrl(std::string_view text) {
    return CopyColumn(text, url, kUrlSize);
}

void ResultRecord::SetBytesWritten(std::int64_t bytes) {
    const auto value = static_cast<std::uint64_t>(bytes);
    for (int i = 0; i < 8; ++i) bytesWritten[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string_view ResultRecord::ServiceKey() const {
    return ReadColumn(serviceKey, kServiceKeySize);
}

std::string_view ResultRecord::Url() const {
    return ReadColumn(url, kUrlSize);
}

std::int64_t ResultRecord::BytesWritten() const {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t{bytesWritten[i]} << (8 * i);
    return static_cast<std::int64_t>(value);
}
