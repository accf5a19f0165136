// Whole-folder operations: listing, removing a tree, making a unique
// folder, flushing a folder's entries. None of them follows a symbolic link:
// a link inside a tree is removed as a link, never entered. Plain functions;
// any thread may call them on paths it alone works on.
#pragma once

#include <string>
#include <vector>

namespace plat {

enum class PathKind { kMissing, kFile, kFolder, kLink, kOther };

// What the path itself is (lstat: a link is reported as kLink).
PathKind KindOfPath(const std::string& path);

struct FolderEntry {
    std::string name;
    PathKind kind = PathKind::kOther;
};
// The entries of a folder, without "." and ".."; false when it cannot be
// read.
[[nodiscard]] bool ListFolder(const std::string& folder, std::vector<FolderEntry>* out);

// Removes a file, a link or a whole folder tree; true when nothing is left.
// A missing path counts as removed.
bool RemoveTree(const std::string& path);

// Creates a fresh folder named `prefix` followed by six random characters
// (mkdtemp); the new path without a trailing separator, or "" on failure.
std::string MakeUniqueFolder(const std::string& prefix);

// Removes a folder that holds nothing; false when it holds something (or
// cannot be removed).
bool RemoveFolderIfEmpty(const std::string& folder);

// Flushes a folder's entries (renames, creations) to the disk.
bool SyncFolder(const std::string& folder);

}  // namespace plat
