// Folder-relative file creation for code that unpacks untrusted names.
// Everything goes through an open descriptor of a folder (openat, mkdirat),
// never through the process's current directory, and nothing follows a
// symbolic link: a name that is a link, or a file that already exists, makes
// the call fail instead of writing somewhere else.
//
// Objects own their descriptors and close them when they go. Not shared
// between threads; each unpacking pass makes its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

class FolderHandle {
public:
    FolderHandle() = default;
    ~FolderHandle() { Close(); }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FolderHandle& operator=(FolderHandle&& other) noexcept;

    // Opens an existing folder by path; false when it is missing, not a
    // folder, or a symbolic link.
    [[nodiscard]] bool Open(const std::string& path);
    // Opens the folder `name` (one path component) inside `parent`, creating
    // it first when `create` is set and it is missing. A link fails.
    [[nodiscard]] bool OpenChild(const FolderHandle& parent, const std::string& name, bool create);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

// A file that did not exist before: created exclusively inside a folder,
// written, given its times and permissions, flushed to the disk, closed.
class CreatedFile {
public:
    CreatedFile() = default;
    ~CreatedFile() { Close(); }
    CreatedFile(const CreatedFile&) = delete;
    CreatedFile& operator=(const CreatedFile&) = delete;

    // Creates `name` (one component) in `folder` with mode 0644; fails when
    // the name exists in any form (file, folder or link).
    [[nodiscard]] bool Create(const FolderHandle& folder, const std::string& name);
    // Writes all of `data`; false on a short or failed write. Honours
    // File::SetWritesFailForTesting, so tests can simulate a full disk.
    [[nodiscard]] bool Write(const void* data, std::size_t length);
    // Sets access and modification times (Unix seconds, UTC).
    [[nodiscard]] bool SetTimes(std::int64_t accessTime, std::int64_t modifyTime);
    // Removes every write permission bit.
    [[nodiscard]] bool MakeReadOnly();
    // Flushes data to the disk and closes; false when either fails.
    [[nodiscard]] bool SyncAndClose();
    void Close();

private:
    int fd_ = -1;
};

}  // namespace plat
