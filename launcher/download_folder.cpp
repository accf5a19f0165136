#include "launcher/download_folder.h"

#include "launcher/presentation.h"
#include "launcher/required_size.h"
#include "platform/config_store.h"
#include "platform/file_handle.h"
#include "platform/files.h"
#include "platform/system_folders.h"
#include "platform/text.h"

std::u16string EngineProgramPath() {
    return plat::AnsiToWide(plat::ProgramFilesFolder()) +
           u"Norvex/TLXDownloader/TLXDownloaderEngine.exe";
}

std::u16string DefaultDownloadFolder() {
    return plat::AnsiToWide(plat::ProgramFilesDrive()) + u"/" + kPortalId + u"/" +
           kGameAbbreviation + u"/";
}

std::u16string StoredOrDefaultDownloadFolder() {
    std::string stored;
    if (!plat::ReadConfigValue(kDownloadPathKey, plat::WideToAnsi(kDownloadPathValueName), &stored))
        return DefaultDownloadFolder();
    // A value another program (or an older version) wrote is checked as a
    // choice in the browser would be.
    while (!stored.empty() && (stored.back() == '\n' || stored.back() == '\r')) stored.pop_back();
    const std::u16string folder = WithTrailingSeparator(plat::AnsiToWide(stored));
    if (stored.empty() || stored.front() != '/' || IsEngineFolder(folder) ||
        stored.find('\0') != std::string::npos)
        return DefaultDownloadFolder();
    return folder;
}

std::u16string NearestExistingFolder(const std::u16string& folder) {
    std::string path = plat::WideToAnsi(folder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    while (!path.empty() && !plat::IsFolder(path)) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) return {};
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    return WithTrailingSeparator(plat::AnsiToWide(path));
}

bool IsEngineFolder(const std::u16string& path) {
    const std::u16string program = EngineProgramPath();
    const std::u16string folder = program.substr(0, program.rfind(u'/') + 1);
    return path == folder;
}

std::uint64_t GetDiskFreeBytes(const std::u16string& path) {
    const std::int64_t free = plat::FreeDiskBytes(plat::WideToAnsi(path));
    return free > 0 ? static_cast<std::uint64_t>(free) : 0;
}

int WriteDownloadPathValue(const std::u16string& valueName, const std::u16string& data) {
    return plat::WriteConfigValue(kDownloadPathKey, plat::WideToAnsi(valueName),
                                  plat::WideToAnsi(data))
               ? 1
               : 0;
}

std::u16string BrowseTitleText() {
    return u"至少需要 " + FormatSize(static_cast<double>(RequiredSize())) + u" 容量。\n";
}

std::u16string BrowseSelectionText(const std::u16string& selection) {
    return BrowseTitleText() + u"剩餘容量：" +
           FormatSize(static_cast<double>(GetDiskFreeBytes(selection)));
}

std::u16string WithTrailingSeparator(std::u16string path) {
    if (path.empty() || path.back() != u'/') path.push_back(u'/');
    return path;
}

void EnsureDownloadFolderExists(const std::u16string& folder) {
    const std::string path = plat::WideToAnsi(folder);
    if (!path.empty() && !plat::PathExists(path)) plat::CreateFolder(path);
}
