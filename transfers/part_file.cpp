#include "transfers/part_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

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

std::string PieceNotePathOf(const std::string& partPath) { return partPath + ".pieces"; }

std::int64_t VouchedBytesOf(const std::string& partPath) {
    std::string note;
    if (!plat::PathExists(PieceNotePathOf(partPath))) return -1;
    // Read for two lines only: "state stopped" and "leading <bytes>".
    if (!plat::ReadWholeFile(PieceNotePathOf(partPath), &note, 4u << 20) ||
        note.rfind("zk4-piece-state 1\n", 0) != 0)
        return 0;
    if (note.find("\nstate stopped\n") == std::string::npos) return 0;
    const std::size_t at = note.find("\nleading ");
    if (at == std::string::npos) return 0;
    std::int64_t bytes = 0;
    for (std::size_t i = at + 9; i < note.size() && note[i] != '\n'; ++i) {
        if (note[i] < '0' || note[i] > '9' || bytes > (INT64_MAX - 9) / 10) return 0;
        bytes = bytes * 10 + (note[i] - '0');
    }
    return bytes;
}

std::int64_t KeptBytesOf(const std::string& path) {
    const std::string partPath = PartPathOf(path);
    const std::int64_t part = plat::FileLength(partPath);
    if (part >= 0) {
        const std::int64_t vouched = VouchedBytesOf(partPath);
        return vouched >= 0 ? std::min(part, vouched) : part;
    }
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
    // Pieces in any order: only the start that is whole is continued.
    if (const std::int64_t vouched = VouchedBytesOf(*partPath); vouched >= 0) {
        if (plat::FileLength(*partPath) > vouched && !plat::CutFileTo(*partPath, vouched))
            return false;
        (void)plat::RemoveFile(PieceNotePathOf(*partPath));
    }
    if (plat::FileLength(*partPath) >= 0 || plat::FileLength(path) < 0) return true;
    // Continued as ever, under the name a partial file has now.
    if (plat::RenameFile(path, *partPath)) {
        *moved = true;
        return true;
    }
    return errno == ENOENT;  // gone meanwhile: the partial file starts empty
}
