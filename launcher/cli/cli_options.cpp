#include "launcher/cli/cli_options.h"

#include <string_view>

#include "zk4_version.h"

const char* CliUsage() {
    return "usage: tlxdownloader-cli [--folder DIR] [--normal-speed] [--no-install] "
           "[--resume=yes|no] [--check-only] [FILE_LIST_URL]";
}

const char* CliHelp() {
    return "usage: tlxdownloader-cli [--folder DIR] [--normal-speed] [--no-install]\n"
           "                         [--resume=yes|no] [FILE_LIST_URL]\n"
           "       tlxdownloader-cli --check-only [FILE_LIST_URL]\n"
           "       tlxdownloader-cli --help | --version\n"
           "\n"
           "Fetches the game's file list (the built-in one without FILE_LIST_URL), sums\n"
           "the sizes, downloads every file and starts the installer.\n"
           "\n"
           "options:\n"
           "  --folder DIR, --folder=DIR  download into DIR (default ~/tovalen/ZK4/)\n"
           "  --normal-speed              decline high-speed download (capped rate)\n"
           "  --no-install                do not start the installer at the end\n"
           "  --resume=yes|no             continue (yes) or start over (no) files from an\n"
           "                              earlier run; without it the question is asked on\n"
           "                              the terminal, or what is on disk is kept\n"
           "  --check-only                print the list's total size in bytes and stop\n"
           "  -h, --help                  print this text\n"
           "  --version                   print the version\n"
           "  --                          what follows is the file-list URL\n"
           "\n"
           "exit status:\n"
           "  0         the job finished (and the installer was started, unless\n"
           "            --no-install), or --check-only printed the total\n"
           "  1         a failure: file list, size check, folder, disk full, a failed\n"
           "            download, the installer, or another downloader running\n"
           "  2         bad usage\n"
           "  130, 143  stopped by SIGINT or SIGTERM (the job and the service are\n"
           "            stopped first)\n"
           "Every status but 0 comes with a one-line reason on standard error.\n";
}

std::string CliVersion() {
    return std::string("tlxdownloader-cli ") + kZk4Version;
}

ParseOutcome ParseCliOptions(int argc, const char* const argv[], CliOptions* options,
                             std::string* error) {
    bool haveUrl = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg.front() != '-') {
            if (haveUrl) {
                *error = "more than one file-list URL: " + std::string(arg);
                return ParseOutcome::kBadUsage;
            }
            options->fileListUrl = arg;
            haveUrl = true;
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            return ParseOutcome::kHelp;
        } else if (arg == "--version") {
            return ParseOutcome::kVersion;
        } else if (arg == "--folder" || arg.starts_with("--folder=")) {
            std::string_view value;
            if (arg == "--folder") {
                if (i + 1 >= argc) {
                    *error = "--folder needs a folder";
                    return ParseOutcome::kBadUsage;
                }
                value = argv[++i];
            } else {
                value = arg.substr(std::string_view("--folder=").size());
            }
            if (value.empty()) {
                *error = "--folder needs a folder";
                return ParseOutcome::kBadUsage;
            }
            options->folder = value;
        } else if (arg == "--normal-speed") {
            options->normalSpeed = true;
        } else if (arg == "--no-install") {
            options->noInstall = true;
        } else if (arg == "--check-only") {
            options->checkOnly = true;
        } else if (arg == "--resume=yes") {
            options->resume = ResumeAnswer::kContinue;
        } else if (arg == "--resume=no") {
            options->resume = ResumeAnswer::kStartOver;
        } else if (arg.starts_with("--resume")) {
            *error = "--resume takes =yes or =no, not " + std::string(arg);
            return ParseOutcome::kBadUsage;
        } else {
            *error = "unknown option " + std::string(arg);
            return ParseOutcome::kBadUsage;
        }
    }
    return ParseOutcome::kRun;
}
