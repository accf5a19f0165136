// An open file for the downloads: opened without truncation so that bytes
// already on disk can be kept, written at the end, cut back when a transfer
// must start over. Closed by the destructor.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

class File {
public:
    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // Opens (creating when absent) for reading and writing; the position is
    // at the end. False with LastError() set when it cannot (ENOENT when
    // the folder is missing).
    bool OpenKeep(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // The file's current length, or -1.
    std::int64_t Size() const;
    // The length the file had when OpenKeep opened it (no further system
    // call), and whether that open created it.
    std::int64_t LengthAtOpen() const { return lengthAtOpen_; }
    bool CreatedByOpen() const { return createdByOpen_; }
    // Whether the file still has a name and the length it had when opened:
    // false once something else removed, cut or extended it.
    bool StillAsOpened() const;
    // Writes all of `data` at the end; false when not everything was
    // written (the disk is full, say).
    bool Append(const void* data, std::size_t length);
    // Cuts the file to `length` bytes and continues writing there.
    bool Truncate(std::int64_t length);
    // Flushes the file's data to the disk.
    bool Sync();

    // errno of the last failure.
    int LastError() const { return lastError_; }

    // Test seam: every Append fails as on a full disk while set.
    static void SetWritesFailForTesting(bool fail);
    // Whether that seam is set (for other writers that honour it).
    static bool WritesFailForTesting();

private:
    int fd_ = -1;
    int lastError_ = 0;
    std::int64_t lengthAtOpen_ = -1;
    bool createdByOpen_ = false;
};

// A file opened for reading at any offset (an archive to unpack). Closed by
// the destructor.
class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile() { Close(); }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // False when the path is no regular file that can be read.
    bool Open(const std::string& path);
    void Close();
    std::int64_t Size() const { return size_; }
    // Reads exactly `length` bytes at `offset`; false when they are not all there.
    bool ReadAt(std::int64_t offset, void* out, std::size_t length) const;

private:
    int fd_ = -1;
    std::int64_t size_ = 0;
};

// Free bytes for an unprivileged writer on the file system that holds
// `path`, or its nearest existing parent; -1 when nothing can be asked.
std::int64_t FreeDiskBytes(const std::string& path);
// Test seam: answers FreeDiskBytes with `bytes` (no seam: -2, the default).
void SetFreeDiskBytesForTesting(std::int64_t bytes);
// Which file system holds `path` (or its nearest existing parent): equal
// numbers share their free space. 0 when nothing can be asked.
std::uint64_t FileSystemId(const std::string& path);
// The length of a regular file, or -1 when there is none.
std::int64_t FileLength(const std::string& path);
// The length of the regular file that `path` itself names, never one a
// symbolic link points to; -1 for a link, a folder, anything else, or none.
std::int64_t OwnFileLength(const std::string& path);

}  // namespace plat
