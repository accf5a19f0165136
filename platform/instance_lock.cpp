#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/system_folders.h"

namespace plat {
namespace {

// Readable part of the file name; a file name may not exceed 255 bytes.
constexpr std::size_t kReadableLength = 120;

std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

bool Readable(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);
}

std::string InstanceLock::LockFilePath(std::string_view name) {
    std::string file;
    for (char c : name.substr(0, kReadableLength)) file.push_back(Readable(c) ? c : '_');
    char hash[24];
    std::snprintf(hash, sizeof hash, "-%016llx.lock", static_cast<unsigned long long>(Fnv1a(name)));
    return RuntimeFolder() + file + hash;
}

InstanceLock::State InstanceLock::Acquire(std::string_view name) {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    const std::string path = LockFilePath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return state_ = State::kFailed;
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        fd_ = fd;
        return state_ = State::kAcquired;
    }
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return state_ = busy ? State::kHeldElsewhere : State::kFailed;
}

}  // namespace plat
