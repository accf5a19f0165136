#include "updater/extract_sink.h"

#include <algorithm>
#include <mutex>

#include "platform/file_handle.h"
#include "platform/files.h"

namespace {
std::mutex g_limitsMutex;
ExtractLimits g_limits;
}  // namespace

ExtractLimits CurrentExtractLimits() {
    std::lock_guard lock(g_limitsMutex);
    return g_limits;
}

void SetExtractLimitsForTesting(const ExtractLimits& limits) {
    std::lock_guard lock(g_limitsMutex);
    g_limits = limits;
}

bool CExtractSink::Open(const std::string& folder) {
    const std::string path = plat::NormalizeFolder(folder);
    if (path.empty() || !plat::EnsureFolderPath(path) || !root_.Open(path))
        return Fail("target folder cannot be opened: " + path);
    const ExtractLimits limits = CurrentExtractLimits();
    maxEntries_ = limits.maxEntries;
    budget_ = limits.maxBytes;
    if (std::int64_t free = plat::FreeDiskBytes(path); free >= 0) budget_ = std::min(budget_, free);
    return true;
}

bool CExtractSink::CountEntry() {
    if (++entries_ > maxEntries_) return Fail("more entries than the cap");
    return true;
}

bool CExtractSink::OpenFolders(const std::vector<std::string>& parts, std::size_t keep,
                               plat::FolderHandle* out) {
    plat::FolderHandle current;
    const plat::FolderHandle* parent = &root_;
    for (std::size_t i = 0; i + keep < parts.size(); ++i) {
        plat::FolderHandle next;
        if (!next.OpenChild(*parent, parts[i], true))
            return Fail("folder cannot be made (or is a link): " + parts[i]);
        current = std::move(next);
        parent = &current;
    }
    *out = std::move(current);
    return true;
}

bool CExtractSink::AddFolder(std::string_view rawName, const ArchiveNameRules& rules) {
    std::vector<std::string> parts;
    if (!SplitArchiveName(rawName, rules, &parts, &why_)) return false;
    plat::FolderHandle folder;
    return OpenFolders(parts, 0, &folder);
}

bool CExtractSink::BeginFile(std::string_view rawName, const ArchiveNameRules& rules,
                             std::int64_t declaredSize) {
    std::vector<std::string> parts;
    if (!SplitArchiveName(rawName, rules, &parts, &why_)) return false;
    if (declaredSize > budget_) return Fail("item larger than the byte cap or the free space");
    plat::FolderHandle folder;
    if (parts.size() > 1 && !OpenFolders(parts, 1, &folder)) return false;
    current_ = parts.back();
    if (!file_.Create(parts.size() > 1 ? folder : root_, current_))
        return Fail("file cannot be created (exists?): " + current_);
    return true;
}

bool CExtractSink::Write(const void* data, std::size_t length) {
    if (static_cast<std::int64_t>(length) > budget_)
        return Fail("archive unpacks to more than the byte cap or the free space");
    budget_ -= static_cast<std::int64_t>(length);
    if (!file_.Write(data, length)) return Fail("write failed: " + current_);
    return true;
}

bool CExtractSink::EndFile(std::optional<std::int64_t> accessTime,
                           std::optional<std::int64_t> modifyTime, bool readOnly) {
    if (modifyTime || accessTime) {
        const std::int64_t modify = modifyTime.value_or(*accessTime);
        if (!file_.SetTimes(accessTime.value_or(modify), modify))
            return Fail("times cannot be set: " + current_);
    }
    if (readOnly && !file_.MakeReadOnly()) return Fail("cannot be made read-only: " + current_);
    if (!file_.SyncAndClose()) return Fail("flush failed: " + current_);
    return true;
}
