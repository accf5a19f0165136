// Where the unpackers put what they read: files and folders below one
// target folder, created through its descriptor (never the current
// directory), exclusively and without following links, within the caps on
// entries and bytes. Every refusal records a reason for the log.
//
// One sink per archive, used on one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/folder_handle.h"
#include "updater/extract_names.h"

struct ExtractLimits {
    int maxEntries = 4096;
    std::int64_t maxBytes = std::int64_t{1} << 30;  // written, over the whole archive
    // What a 7z archive's header may make its reader allocate
    // (seven_zip_header.h): the header unpacked, one decoder's memory.
    std::int64_t maxHeaderBytes = std::int64_t{16} << 20;
    std::int64_t maxCoderMemory = std::int64_t{128} << 20;
};

// The caps that apply to every archive from now on. Tests lower them.
ExtractLimits CurrentExtractLimits();
void SetExtractLimitsForTesting(const ExtractLimits& limits);

class CExtractSink {
public:
    // Opens (and creates when missing) the target folder, and sets the byte
    // budget to the smaller of the cap and the free space there.
    [[nodiscard]] bool Open(const std::string& folder);

    // Counts an entry against the cap; false past it.
    [[nodiscard]] bool CountEntry();

    // A folder item: creates the folders of its name.
    [[nodiscard]] bool AddFolder(std::string_view rawName, const ArchiveNameRules& rules);

    // A file item: creates the folders before its last component and the
    // file itself. `declaredSize` (or -1 when unknown) over the budget fails
    // at once.
    [[nodiscard]] bool BeginFile(std::string_view rawName, const ArchiveNameRules& rules,
                                 std::int64_t declaredSize);
    [[nodiscard]] bool Write(const void* data, std::size_t length);
    // Finishes the current file: times (Unix seconds, when known), the
    // read-only attribute, flushed to the disk.
    [[nodiscard]] bool EndFile(std::optional<std::int64_t> accessTime,
                               std::optional<std::int64_t> modifyTime, bool readOnly);

    // Why the last call failed.
    const std::string& Why() const { return why_; }
    bool Fail(std::string why) {
        why_ = std::move(why);
        return false;
    }

private:
    // Opens (creating) the folders of `parts` but the last `keep`; at least
    // one must be left to open.
    bool OpenFolders(const std::vector<std::string>& parts, std::size_t keep,
                     plat::FolderHandle* out);

    plat::FolderHandle root_;
    plat::CreatedFile file_;
    int entries_ = 0;
    int maxEntries_ = 0;
    std::int64_t budget_ = 0;
    std::string current_;
    std::string why_;
};
