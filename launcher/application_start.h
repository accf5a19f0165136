// The logic of the program's start that does not need a window system: the
// command line, the program name used as the caption of message boxes, and
// the single-instance name. The front ends hold the rest (showing the
// "already running" text, raising the running window, running the main
// window).
#pragma once

#include <string>
#include <string_view>

inline constexpr char16_t kMainWindowTitle[] = u"ZK4 Downloader";
// Shown (OK, program caption, exclamation icon) by a second instance.
inline constexpr char16_t kAlreadyRunningText[] = u"正在進行下載作業";
// The single-instance name is cut to this many characters.
inline constexpr std::size_t kInstanceNameLimit = 260;

// Takes the parameters of the command line in order. Only the first one
// means something: the file-list URL to use instead of the default. Flags
// are not interpreted; a flag-like parameter is taken as text.
class CCommandLineInfoParser {
public:
    // `param` is the parameter without the leading "-" or "/" of a flag.
    void ParseParam(std::string_view param, bool flag, bool last);

    // Empty without a parameter, or when the first parameter was empty.
    const std::u16string& FileListUrl() const { return fileListUrl_; }
    int ParametersSeen() const { return count_; }

private:
    std::u16string fileListUrl_;
    int count_ = 0;
};

// Splits the program's arguments as the framework does (a leading "-" or
// "/" marks a flag and is removed) and hands each to a new parser.
CCommandLineInfoParser ParseCommandLine(int argc, const char* const argv[]);

// The base name of the executable without folder and extension
// ("/usr/bin/tlxdownloader" gives "tlxdownloader").
std::u16string ProgramNameFromPath(std::string_view path);

// "TLXDownloadV3::" + the default file-list URL, cut to kInstanceNameLimit
// characters. A URL on the command line does not change it.
std::u16string InstanceMutexName();
