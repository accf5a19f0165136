#include "updater/extract_archive.h"

#include <memory>

#include "updater/extract_action.h"

int ExtractArchive(int type, const CArchiveSource& source, const std::string& folder) {
    std::unique_ptr<IExtractAction> action;
    if (type == kArchive7z)
        action = std::make_unique<C7ZipExtractAction>();
    else if (type == kArchiveZip)
        action = std::make_unique<CGZipExtractAction>();
    else
        return 5;
    const int result = action->Extract(source, folder);
    if (result == 0) return 0;
    if (result >= 1 && result <= 4) return 5;
    if (result == 5) return 6;
    return result > 5 ? 0 : 5;
}

int ExtractArchive(int type, const std::uint8_t* data, std::int64_t size,
                   const std::string& folder) {
    return ExtractArchive(type, CArchiveSource(data, size), folder);
}
