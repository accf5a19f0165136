#include "platform/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

namespace plat {
namespace {
std::atomic<bool> g_writesFail{false};
}

void File::SetWritesFailForTesting(bool fail) {
    g_writesFail = fail;
}

bool File::WritesFailForTesting() {
    return g_writesFail;
}

File::File(File&& other) noexcept
    : fd_(other.fd_),
      lastError_(other.lastError_),
      lengthAtOpen_(other.lengthAtOpen_),
      createdByOpen_(other.createdByOpen_) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        lastError_ = other.lastError_;
        lengthAtOpen_ = other.lengthAtOpen_;
        createdByOpen_ = other.createdByOpen_;
        other.fd_ = -1;
    }
    return *this;
}

bool File::OpenKeep(const std::string& path) {
    Close();
    // Exclusive first: a new file (the common case) costs one call, and the
    // caller learns that it made the file.
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    createdByOpen_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    lengthAtOpen_ = createdByOpen_ ? 0 : lseek(fd_, 0, SEEK_END);
    if (lengthAtOpen_ < 0) {
        lastError_ = errno;
        Close();
        return false;
    }
    return true;
}

void File::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    lengthAtOpen_ = -1;
    createdByOpen_ = false;
}

std::int64_t File::Size() const {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool File::Sync() {
    if (fd_ < 0) return false;
    if (fdatasync(fd_) == 0) return true;
    lastError_ = errno;
    return false;
}

bool ReadOnlyFile::Open(const std::string& path) {
    Close();
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return false;
    }
    size_ = st.st_size;
    return true;
}

void ReadOnlyFile::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    size_ = 0;
}

bool ReadOnlyFile::ReadAt(std::int64_t offset, void* out, std::size_t length) const {
    if (fd_ < 0 || offset < 0) return false;
    auto* to = static_cast<char*>(out);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd_, to + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool File::StillAsOpened() const {
    struct stat st;
    return fd_ >= 0 && fstat(fd_, &st) == 0 && st.st_nlink > 0 && st.st_size == lengthAtOpen_;
}

bool File::Append(const void* data, std::size_t length) {
    if (fd_ < 0) return false;
    if (g_writesFail) {
        lastError_ = ENOSPC;
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            lastError_ = errno;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::Truncate(std::int64_t length) {
    if (fd_ < 0 || ftruncate(fd_, length) != 0 || lseek(fd_, length, SEEK_SET) < 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

namespace {

// The nearest parent of `path` that exists (the folder may not be made yet).
bool StatNearest(const std::string& path, struct statvfs* vfs, struct stat* st) {
    std::filesystem::path probe =
        path.empty() ? std::filesystem::path(".") : std::filesystem::path(path);
    for (int depth = 0; depth < 256; ++depth) {
        if ((vfs == nullptr || statvfs(probe.c_str(), vfs) == 0) &&
            (st == nullptr || stat(probe.c_str(), st) == 0))
            return true;
        std::filesystem::path parent = probe.has_relative_path() ? probe.parent_path() : probe;
        if (parent.empty()) parent = ".";
        if (parent == probe) return false;
        probe = parent;
    }
    return false;
}

}  // namespace

namespace {
std::atomic<std::int64_t> g_freeBytesOverride{-2};
}

void SetFreeDiskBytesForTesting(std::int64_t bytes) {
    g_freeBytesOverride = bytes;
}

std::int64_t FreeDiskBytes(const std::string& path) {
    if (std::int64_t forced = g_freeBytesOverride.load(); forced != -2) return forced;
    struct statvfs st;
    if (!StatNearest(path, &st, nullptr)) return -1;
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

std::uint64_t FileSystemId(const std::string& path) {
    struct stat st;
    if (!StatNearest(path, nullptr, &st)) return 0;
    return static_cast<std::uint64_t>(st.st_dev);
}

std::int64_t FileLength(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t OwnFileLength(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

}  // namespace plat
