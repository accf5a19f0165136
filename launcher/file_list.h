// The file list document and what the main window takes from its entries.
//
// The document holds one URL per line. A line ends at CR LF or at a lone LF
// (a lone CR is ordinary text). Each line is converted from the service's
// code page and trimmed of white space at both ends; lines that are then
// empty are skipped. After the last line break a remainder of one or two
// bytes is dropped (too short for any URL); a longer one is a line like
// the others.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// A line of this many bytes or more (without its line break) makes the
// whole list unusable.
inline constexpr std::size_t kFileListLineLimit = 1024;

struct FileListParse {
    std::vector<std::u16string> urls;  // in list order
    // True when a line reached kFileListLineLimit; `urls` then holds the
    // lines before it and parsing stopped there.
    bool overlongLine = false;
};

FileListParse ParseFileListBytes(std::string_view bytes);

// The text after the URL's last "/", empty when there is none.
std::u16string FileNameOfUrl(const std::u16string& url);

// The local path in a file-finished text "URL,path". The URL may itself
// hold commas, so a text that begins with one of the list's URLs and a ","
// is cut after that URL (the longest that fits); otherwise after the first
// ",", or the whole text is the path when it has none.
// `urls` is the list's URLs as a set: a job of thousands of files asks this
// once per file.
using FileUrlSet = std::unordered_set<std::u16string>;
std::u16string PathOfFileEventText(const std::u16string& text, const FileUrlSet& urls);

// Whether a finished file is the installer to run at the end: any file of
// a one-file list, otherwise a path whose extension is ".exe" in any case.
bool IsInstallerFile(const std::u16string& path, std::size_t urlCount);
