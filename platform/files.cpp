#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace plat {

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string NormalizeFolder(std::string_view folder) {
    std::string out(folder);
    if (out.empty()) return out;
    for (char& c : out)
        if (c == '\\') c = kPathSeparator;
    std::size_t end = out.size();
    while (end > 1 && out[end - 1] == kPathSeparator) --end;
    out.resize(end);
    if (out.back() != kPathSeparator) out.push_back(kPathSeparator);
    return out;
}

bool SamePath(std::string_view a, std::string_view b) {
    return a == b;
}

bool PathInsideFolder(std::string_view path, std::string_view folder) {
    if (folder.empty() || !IsPathSeparator(folder.back()) || path.size() <= folder.size() ||
        !SamePath(path.substr(0, folder.size()), folder))
        return false;
    std::string_view rest = path.substr(folder.size());
    while (!rest.empty()) {
        std::size_t end = 0;
        while (end < rest.size() && !IsPathSeparator(rest[end])) ++end;
        const std::string_view segment = rest.substr(0, end);
        if (segment == "." || segment == "..") return false;
        rest.remove_prefix(end == rest.size() ? end : end + 1);
    }
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && IsFolder(path));
}

bool RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

namespace {
bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}
}  // namespace

bool AppendToFile(const std::string& path, std::string_view data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data);
    return close(fd) == 0 && ok;
}

bool TruncateFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    return close(fd) == 0;
}

bool CutFileTo(const std::string& path, std::int64_t length) {
    return length >= 0 && truncate(path.c_str(), static_cast<off_t>(length)) == 0;
}

bool ReadWholeFile(const std::string& path, std::string* out, std::size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        if (out->size() + static_cast<std::size_t>(n) > limit) {
            close(fd);
            out->clear();
            return false;
        }
        out->append(buf, static_cast<std::size_t>(n));
    }
}

bool RenameFile(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

bool MakeSymbolicLink(const std::string& target, const std::string& path) {
    return symlink(target.c_str(), path.c_str()) == 0;
}

bool ReadSymbolicLink(const std::string& path, std::string* target) {
    char buffer[4096];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
    target->assign(buffer, static_cast<std::size_t>(n));
    return true;
}

bool HardLink(const std::string& from, const std::string& to) {
    return link(from.c_str(), to.c_str()) == 0;
}

int EnsureFolderPath(const std::string& path) {
    if (path.empty()) return 0;
    if (PathExists(path)) return 1;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] != kPathSeparator) continue;
        std::string prefix = path.substr(0, i + 1);
        if (!PathExists(prefix) && !CreateFolder(prefix)) return 0;
    }
    return 1;
}

}  // namespace plat
