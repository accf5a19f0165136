// The name under which a downloaded file is stored, taken from its URL, and
// the check that a name is safe to create. The job manager stores files
// under this name and the launcher shows it, so both ask here.
//
// Plain functions without state; any thread.
#pragma once

#include <string>
#include <string_view>

// The URL without its fragment ("#..."), which is never sent to a server.
std::string_view WithoutFragment(std::string_view url);

// The local name of a file: of the URL field's last "|" alternative, the
// last path segment, without query and fragment, percent-decoded ("%HH";
// a "%" not followed by two hex digits stays). "" when the URL has no path
// segment after its host ("http://host", "http://host/dir/").
std::string FileNameOfUrlField(std::string_view field);

enum class FileNameProblem {
    kNone,
    kEmpty,      // nothing to name the file by
    kDotName,    // "." or "..": would name a folder
    kSeparator,  // "/" or "\" (decoded from %2F / %5C): would name another folder
    kControl,    // a byte below 0x20 or 0x7F (NUL, escape sequences, line breaks)
};

FileNameProblem CheckFileName(std::string_view name);
// What a problem means, in a few words for a message.
const char* FileNameProblemText(FileNameProblem problem);
