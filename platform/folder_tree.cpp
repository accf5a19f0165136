#include "platform/folder_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat {
namespace {

PathKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return PathKind::kFile;
    if (S_ISDIR(mode)) return PathKind::kFolder;
    if (S_ISLNK(mode)) return PathKind::kLink;
    return PathKind::kOther;
}

// Removes everything inside the open folder `fd`, then closes it. The depth
// bound keeps a hostile tree from exhausting the stack or descriptors.
bool EmptyFolderAt(int fd, int depth) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    bool ok = true;
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            int child =
                openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || depth >= 64 || !EmptyFolderAt(child, depth + 1)) {
                if (child >= 0 && depth >= 64) close(child);
                ok = false;
                continue;
            }
            // A read-only folder of ours still lets us remove it from its parent.
            if (unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR) != 0) ok = false;
        } else if (unlinkat(dirfd(dir), e->d_name, 0) != 0) {
            ok = false;
        }
    }
    closedir(dir);
    return ok;
}

}  // namespace

PathKind KindOfPath(const std::string& path) {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
    return KindOfMode(st.st_mode);
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>* out) {
    out->clear();
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        FolderEntry entry;
        entry.name = e->d_name;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            entry.kind = KindOfMode(st.st_mode);
        out->push_back(std::move(entry));
    }
    closedir(dir);
    return true;
}

bool RemoveTree(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st;
    if (p.empty() || lstat(p.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlink(p.c_str()) == 0;
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = EmptyFolderAt(fd, 0);
    return rmdir(p.c_str()) == 0 && ok;
}

std::string MakeUniqueFolder(const std::string& prefix) {
    std::string pattern = prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) return "";
    return pattern;
}

bool RemoveFolderIfEmpty(const std::string& folder) {
    return rmdir(folder.c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace plat
