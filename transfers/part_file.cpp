#include "transfers/part_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/file_handle.h"
#include "platform/files.h"

std::string PartPathOf(const std::string& path) { return path + kPartSuffix; }

std::string FinalPathOf(const std::string& partPath) {
    const std::size_t suffix = std::char_traits<char>::length(kPartSuffix);
    if (partPath.size() <= suffix ||
        partPath.compare(partPath.size() - suffix, suffix, kPartSuffix) != 0)
        return partPath;
    return partPath.substr(0, partPath.size() - suffix);
}

std::int64_t KeptBytesOf(const std::string& path) {
    const std::int64_t part = plat::FileLength(PartPathOf(path));
    if (part >= 0) return part;
    return std::max<std::int64_t>(0, plat::FileLength(path));
}

bool PrepareToWrite(const std::string& path, std::string* partPath, bool* moved) {
    *moved = false;
    // A folder (or anything but a file) under the final name would refuse
    // the whole file only at the end: say so before anything is fetched.
    if (plat::PathExists(path) && plat::FileLength(path) < 0) {
        *partPath = path;
        errno = plat::IsFolder(path) ? EISDIR : EEXIST;
        return false;
    }
    *partPath = PartPathOf(path);
    if (plat::FileLength(*partPath) >= 0 || plat::FileLength(path) < 0) return true;
    // Continued as ever, under the name a partial file has now.
    if (plat::RenameFile(path, *partPath)) {
        *moved = true;
        return true;
    }
    return errno == ENOENT;  // gone meanwhile: the partial file starts empty
}
