// The file list document and what the main window takes from its entries.
//
// The document holds one URL per line. A UTF-8 byte-order mark in front of
// the first line (Windows editors write one) is dropped. A line ends at
// CR LF or at a lone LF (a lone CR is ordinary text). Each line is converted
// from the service's code page and trimmed of white space at both ends;
// lines that are then empty are skipped. After the last line break a
// remainder of one or two bytes is dropped (too short for any URL); a
// longer one is a line like the others.
//
// Before anything is fetched the list is checked (ValidateFileList): every
// file is stored under its URL's last path segment, decoded, without query
// or fragment (http/url_file_name.h), so a line whose name is empty, "." or
// "..", holds a path separator or a control character, or is another line's
// name in other letter case (the local path is compared that way) is
// refused; the same URL listed twice is one file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// A line of this many bytes or more (without its line break) makes the
// whole list unusable.
inline constexpr std::size_t kFileListLineLimit = 1024;

// A line the list may not have, and why.
struct FileListProblem {
    std::size_t line = 0;  // 1-based, as a text editor counts
    std::u16string url;
    std::string reason;
};

struct FileListParse {
    std::vector<std::u16string> urls;  // in list order
    std::vector<std::size_t> lines;    // the line number of each URL
    // True when a line reached kFileListLineLimit; `urls` then holds the
    // lines before it and parsing stopped there.
    bool overlongLine = false;
    // Set by ValidateFileList for the first line it refuses.
    std::optional<FileListProblem> problem;
};

FileListParse ParseFileListBytes(std::string_view bytes);
// Drops repeated URLs and sets `problem` for the first unusable line.
void ValidateFileList(FileListParse* parse);

// The name the file is stored under: the URL's last path segment, decoded,
// without query and fragment; empty when there is none.
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
