// Where an update archive's bytes come from: the file the archive was
// fetched into, or a block in memory (the tests and the fuzz target). The
// unpackers ask for bytes at an offset, so none of them needs the archive
// whole in memory: unpacking a large archive costs a few read buffers.
//
// Not shared between threads; the file stays open while the source lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_handle.h"

class CArchiveSource {
public:
    // `size` bytes at `data` (not owned; valid while the source is used).
    CArchiveSource(const std::uint8_t* data, std::int64_t size);
    // The file at `path`; Valid() says whether it could be opened.
    explicit CArchiveSource(const std::string& path);
    CArchiveSource(const CArchiveSource&) = delete;
    CArchiveSource& operator=(const CArchiveSource&) = delete;

    bool Valid() const { return size_ > 0; }
    std::int64_t Size() const { return size_; }
    // Exactly `length` bytes at `offset`; false when they are not all there.
    [[nodiscard]] bool ReadAt(std::int64_t offset, void* out, std::size_t length) const;
    // Up to `length` bytes at `offset`, fewer at the end: the count, or -1.
    std::int64_t ReadSome(std::int64_t offset, void* out, std::size_t length) const;

private:
    const std::uint8_t* data_ = nullptr;
    plat::ReadOnlyFile file_;
    std::int64_t size_ = 0;
};
