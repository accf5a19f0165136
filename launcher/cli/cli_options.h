// The terminal program's command line:
//
//   tlxdownloader-cli [--folder DIR] [--normal-speed] [--no-install]
//                     [--resume=yes|no] [--check-only] [FILE_LIST_URL]
//   tlxdownloader-cli --help | --version
//
// Options and the URL may come in any order; "--folder=DIR" is accepted as
// well as "--folder DIR". Without a URL the built-in file list is used.
#pragma once

#include <optional>
#include <string>

enum class ResumeAnswer { kAsk, kContinue, kStartOver };

struct CliOptions {
    // As given; empty for the default download folder.
    std::string folder;
    bool normalSpeed = false;
    bool noInstall = false;
    ResumeAnswer resume = ResumeAnswer::kAsk;
    // Only fetch the list and print the summed size.
    bool checkOnly = false;
    std::string fileListUrl;
};

enum class ParseOutcome { kRun, kHelp, kVersion, kBadUsage };

// On kBadUsage `error` holds a one-line reason.
ParseOutcome ParseCliOptions(int argc, const char* const argv[], CliOptions* options,
                             std::string* error);

// The usage line, without a trailing newline.
const char* CliUsage();
// What --help prints: the usage, every option and the exit statuses,
// ending with a newline.
const char* CliHelp();
// What --version prints: the program's name and version, without a newline.
std::string CliVersion();
