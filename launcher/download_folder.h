// The download folder: its default, the refusal of the download engine's
// own folder, the free-space texts of the folder browser and the stored
// value through which other programs learn the chosen folder.
//
// Folders are native paths ("/" separators) that end with one separator.
#pragma once

#include <cstdint>
#include <string>

inline constexpr char16_t kPortalId[] = u"tovalen";
inline constexpr char16_t kGameAbbreviation[] = u"ZK4";
// Where the chosen folder is left for other programs (see WriteDownloadPathValue).
inline constexpr char kDownloadPathKey[] = "Norvex Inc./DownloadPath";
inline constexpr char16_t kDownloadPathValueName[] = u"ZK4";

// Program Files + "Norvex/TLXDownloader/TLXDownloaderEngine.exe".
std::u16string EngineProgramPath();

// The drive of Program Files, then "/tovalen/ZK4/".
std::u16string DefaultDownloadFolder();

// The folder the player chose last (the stored value WriteDownloadPathValue
// leaves), when it is an absolute path other than the engine's folder;
// else the default folder. A stored folder that is gone is still taken:
// starting the download makes it again, or says that it cannot.
std::u16string StoredOrDefaultDownloadFolder();

// `folder` when it exists, else its nearest existing parent ("/" at last):
// where a folder browser can open.
std::u16string NearestExistingFolder(const std::u16string& folder);

// Whether `path` is exactly the engine program's folder (with its trailing
// separator), compared character by character, letter case included.
bool IsEngineFolder(const std::u16string& path);

// Free bytes that the user can write on the file system holding `path` (or
// its nearest existing parent); 0 when nothing can be asked.
std::uint64_t GetDiskFreeBytes(const std::u16string& path);

// Stores `data` as value `valueName` of kDownloadPathKey in the platform's
// value store, replacing the previous text at once. 1 on success, 0 when the
// key cannot be created or the value not written.
int WriteDownloadPathValue(const std::u16string& valueName, const std::u16string& data);

// The folder browser's title: "至少需要 %s 容量。\n" with the required size.
std::u16string BrowseTitleText();
// The browser's instruction text for a selected folder: the title's line
// and then "剩餘容量：%s" with the folder's free space.
std::u16string BrowseSelectionText(const std::u16string& selection);

// The path with one separator appended unless it already ends with one.
std::u16string WithTrailingSeparator(std::u16string path);

// Creates the folder when it does not exist (one level only); a failure is
// ignored, the browser then opens without a preselection.
void EnsureDownloadFolderExists(const std::u16string& folder);
