#include "launcher/cli/cli_options.h"

#include <string_view>

const char* CliUsage() {
    return "usage: tlxdownloader-cli [--folder DIR] [--normal-speed] [--no-install] "
           "[--resume=yes|no] [--check-only] [FILE_LIST_URL]";
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
