// The terminal program's --help and --version, run as a user would.
#include <gtest/gtest.h>

#include <string>

#include "tests/launcher/cli_process.h"
#include "tests/support/temp_folder.h"
#include "zk4_version.h"

namespace {

struct Output {
    int status;
    std::string out;
    std::string err;
};

Output RunCli(const std::vector<std::string>& args) {
    TempFolder data;
    CliProcess cli;
    EXPECT_TRUE(cli.Start(ZK4_CLI_BIN, args, {{"XDG_DATA_HOME", data.Path()}}));
    const int status = cli.WaitForExit(10000);
    return {status, cli.Out(), cli.Err()};
}

}  // namespace

TEST(CliHelp, ExplainsEveryOptionAndEveryExitStatus) {
    for (const char* flag : {"--help", "-h"}) {
        const Output help = RunCli({flag});
        EXPECT_EQ(help.status, 0) << flag;
        EXPECT_EQ(help.err, "") << flag;
        for (const char* option :
             {"--folder DIR", "--normal-speed", "--no-install", "--resume=yes|no", "--check-only",
              "--help", "--version", "FILE_LIST_URL"})
            EXPECT_NE(help.out.find(option), std::string::npos) << flag << " lacks " << option;
        // The exit statuses, as the README's table gives them.
        for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  130, 143 ", "disk full",
                                   "bad usage", "SIGINT or SIGTERM", "reason on standard error"})
            EXPECT_NE(help.out.find(status), std::string::npos) << flag << " lacks " << status;
    }
}

TEST(CliHelp, VersionPrintsTheProjectVersionAndStartsNothing) {
    const Output version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("tlxdownloader-cli ") + kZk4Version + "\n");
    EXPECT_EQ(version.err, "");
    // A version before a URL still ends at once, with no download.
    EXPECT_EQ(RunCli({"--version", "http://127.0.0.1:1/list.txt"}).status, 0);
}
