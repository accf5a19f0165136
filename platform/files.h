// Files and folders. Paths are native: "/" separates folders on Linux.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

inline constexpr char kPathSeparator = '/';

bool IsPathSeparator(char c);
// Replaces "/" and "\" by the native separator and ends the folder with
// exactly one separator. An empty folder stays empty.
std::string NormalizeFolder(std::string_view folder);

// Whether two paths name the same place by the file system's rules: byte
// for byte here (a Windows file system ignores letter case).
bool SamePath(std::string_view a, std::string_view b);
// Whether `path` names something strictly inside `folder` (which ends with
// a separator) by the same rules, with no "." or ".." segment after it.
bool PathInsideFolder(std::string_view path, std::string_view folder);

// True when a file or folder of that name exists.
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);
bool CreateFolder(const std::string& path);
bool RemoveFile(const std::string& path);
// Creates the folder path: 0 for an empty path, 1 when it exists or every
// missing folder up to the last separator could be created. A last
// component not followed by a separator is not created.
int EnsureFolderPath(const std::string& path);

// Appends `data` to the file, creating it when absent; false when the file
// cannot be opened or the write fails.
bool AppendToFile(const std::string& path, std::string_view data);
// Creates the file or empties it.
bool TruncateFile(const std::string& path);
// Cuts an existing file to `length` bytes; false when it cannot.
bool CutFileTo(const std::string& path, std::int64_t length);
// Reads a whole (small) file; false when it cannot be read, or when it holds
// more than `limit` bytes (nothing larger is read into memory).
bool ReadWholeFile(const std::string& path, std::string* out,
                   std::size_t limit = static_cast<std::size_t>(-1));
// Renames atomically, replacing `to`; false with errno set when it cannot.
bool RenameFile(const std::string& from, const std::string& to);
// A symbolic link at `path` naming `target` (taken as written: relative to
// the link's folder unless absolute); false when `path` exists.
bool MakeSymbolicLink(const std::string& target, const std::string& path);
// The target a symbolic link names, as written; false when `path` is no link.
bool ReadSymbolicLink(const std::string& path, std::string* target);
// A second name for the same file (no copy); false when `to` exists or the
// two are on different file systems.
bool HardLink(const std::string& from, const std::string& to);

}  // namespace plat
