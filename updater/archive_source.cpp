#include "updater/archive_source.h"

#include <algorithm>
#include <cstring>

CArchiveSource::CArchiveSource(const std::uint8_t* data, std::int64_t size)
    : data_(data), size_(data && size > 0 ? size : 0) {}

CArchiveSource::CArchiveSource(const std::string& path) {
    if (file_.Open(path)) size_ = file_.Size();
}

bool CArchiveSource::ReadAt(std::int64_t offset, void* out, std::size_t length) const {
    if (offset < 0 || offset > size_ || static_cast<std::uint64_t>(size_ - offset) < length)
        return false;
    if (length == 0) return true;
    if (data_) {
        std::memcpy(out, data_ + offset, length);
        return true;
    }
    return file_.ReadAt(offset, out, length);
}

std::int64_t CArchiveSource::ReadSome(std::int64_t offset, void* out, std::size_t length) const {
    if (offset < 0 || offset > size_) return -1;
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(length, static_cast<std::uint64_t>(size_ - offset)));
    return ReadAt(offset, out, n) ? static_cast<std::int64_t>(n) : -1;
}
