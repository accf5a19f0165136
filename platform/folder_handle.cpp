#include "platform/folder_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_handle.h"

namespace plat {
namespace {
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool IsOneComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}
}  // namespace

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool FolderHandle::Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    fd_ = open(path.c_str(), kFolderFlags);
    return fd_ >= 0;
}

bool FolderHandle::OpenChild(const FolderHandle& parent, const std::string& name, bool create) {
    Close();
    if (!parent.IsOpen() || !IsOneComponent(name)) return false;
    if (create && mkdirat(parent.fd_, name.c_str(), 0755) != 0 && errno != EEXIST) return false;
    // O_NOFOLLOW with O_DIRECTORY refuses a link that mkdirat found in place.
    fd_ = openat(parent.fd_, name.c_str(), kFolderFlags);
    return fd_ >= 0;
}

void FolderHandle::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool CreatedFile::Create(const FolderHandle& folder, const std::string& name) {
    Close();
    if (!folder.IsOpen() || !IsOneComponent(name)) return false;
    fd_ = openat(folder.Descriptor(), name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

bool CreatedFile::Write(const void* data, std::size_t length) {
    if (fd_ < 0 || File::WritesFailForTesting()) return false;
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CreatedFile::SetTimes(std::int64_t accessTime, std::int64_t modifyTime) {
    if (fd_ < 0) return false;
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(accessTime);
    times[1].tv_sec = static_cast<time_t>(modifyTime);
    return futimens(fd_, times) == 0;
}

bool CreatedFile::MakeReadOnly() {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    return fchmod(fd_, st.st_mode & 07555) == 0;
}

bool CreatedFile::SyncAndClose() {
    if (fd_ < 0) return false;
    bool ok = fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

void CreatedFile::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace plat
