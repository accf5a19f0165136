// The terminal program end to end: the real binary against nginx, with its
// exit status, its output and the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <regex>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <memory>

#include "launcher/application_start.h"
#include "platform/instance_lock.h"
#include "platform/text.h"
#include "tests/launcher/cli_process.h"
#include "launcher/presentation.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

#ifndef ZK4_CLI_BIN
#error "ZK4_CLI_BIN must name the terminal program"
#endif

namespace {

constexpr int kRunLimitMs = 60000;
constexpr char kListPath[] = "/download/zk4/tlxdownload/filelist.txt";
// An installer that leaves a mark beside itself, so a test can see it ran.
constexpr char kInstaller[] = "#!/bin/sh\necho started > \"$(dirname \"$0\")/installer-ran\"\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// The reason line on standard error: exactly one line.
::testing::AssertionResult OneReasonLine(const CliResult& result, const std::string& part) {
    if (CountOf(result.err, "\n") != 1 || result.err.back() != '\n')
        return ::testing::AssertionFailure() << "not one line: " << result.err;
    if (result.err.rfind("tlxdownloader-cli: ", 0) != 0 ||
        result.err.find(part) == std::string::npos)
        return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << result.err;
    return ::testing::AssertionSuccess();
}

// A private home, configuration, data and runtime folder for every run, and
// the patch server pointed at the test's nginx.
class CliEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        nginx_ = std::make_unique<NginxServer>("location /files/ { limit_rate 1m; }");
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
    }

    std::map<std::string, std::string> Env() const {
        const std::string home = home_.Path();
        std::map<std::string, std::string> env = extraEnv_;
        env.insert({{"HOME", home},
                {"XDG_CONFIG_HOME", home + "config"},
                {"XDG_DATA_HOME", home + "data"},
                {"XDG_RUNTIME_DIR", home},
                {"TLX_NETWORK", "up"},
                {"TLX_REPORT_SERVER", "127.0.0.1:1"},
                {"TLX_PATCH_SERVER", "127.0.0.1:" + std::to_string(nginx_->Port())}});
        return env;
    }

    CliResult Run(const std::vector<std::string>& args) {
        CliProcess cli;
        EXPECT_TRUE(cli.Start(ZK4_CLI_BIN, args, Env()));
        CliResult result;
        result.status = cli.WaitForExit(kRunLimitMs);
        result.out = cli.Out();
        result.err = cli.Err();
        return result;
    }

    // Two data files and the installer, about 3.8 MB in all, so that the
    // 1 MB/s limit gives at least one progress event. The list sits at the
    // built-in path; returns the served contents by name.
    std::map<std::string, std::string> ServeGame() {
        std::map<std::string, std::string> files;
        files["data1.pak"] = nginx_->WriteFile("/files/data1.pak", 3000000, 11);
        files["data2.pak"] = nginx_->WriteFile("/files/data2.pak", 800000, 12);
        files["ZK4Setup.exe"] = kInstaller;
        nginx_->WriteText("/files/ZK4Setup.exe", kInstaller);
        nginx_->WriteText(kListPath, nginx_->Url("/files/data1.pak") + "\r\n" +
                                         nginx_->Url("/files/ZK4Setup.exe") + "\r\n" +
                                         nginx_->Url("/files/data2.pak") + "\r\n");
        return files;
    }

    std::string ServiceLog() const {
        return ReadFile(home_.Path() + "data/Norvex/tlxDownloadV32/config/service.log");
    }

    TempFolder home_;
    TempFolder downloads_;
    std::unique_ptr<NginxServer> nginx_;
    std::map<std::string, std::string> extraEnv_;  // taken before the defaults
};

// The same runs with the download engine installed in the data folder; no
// update server answers, so the installed engine is started as it is.
class CliThroughTheEngine : public CliEndToEnd {
protected:
    void SetUp() override {
        CliEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const std::string folder = home_.Path() + "data/Norvex/tlxDownloadV32/";
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(ZK4_ENGINE_BIN, folder + "TLXDownloadV32.exe");
        extraEnv_ = {{"TLX_ENGINE_PORT", std::to_string(UnusedFixedPort())},
                     {"TLX_ENGINE_IDLE_EXIT", "2"},
                     {"TLX_UPDATE_SERVER", "127.0.0.1:1"}};
    }
};

struct ProgressLine {
    std::string file;
    std::string total;
    int filePercent = 0;
    int totalPercent = 0;
};

// "progress: NAME [n/m]  RECEIVED / TOTAL  file F%  total T%  ..."
std::vector<ProgressLine> ProgressLines(const std::string& out) {
    static const std::regex line(R"(progress: (.*) \[\d+/\d+\]  .* / (.*)  file (\d+)%  total (\d+)%)");
    std::vector<ProgressLine> lines;
    std::istringstream in(out);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line))
            lines.push_back({m[1], m[2], std::stoi(m[3]), std::stoi(m[4])});
    }
    return lines;
}

}  // namespace

TEST_F(CliEndToEnd, DownloadsEveryFileIdenticallyAndStartsTheInstaller) {
    const auto files = ServeGame();
    const std::string folder = downloads_.Path() + "game/";
    const CliResult result = Run({"--folder", folder});

    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    for (const auto& [name, content] : files)
        EXPECT_TRUE(ReadFile(folder + name) == content) << name << " differs";
    EXPECT_TRUE(WaitFor([&] { return Exists(folder + "installer-ran"); }, 5000));
    EXPECT_EQ(CountOf(result.out, "done: " + folder), 3) << result.out;
    EXPECT_NE(result.out.find("installer started: " + folder + "ZK4Setup.exe"), std::string::npos)
        << result.out;
}

TEST_F(CliEndToEnd, NoInstallFillsTheDefaultFolderWithPlainProgressLines) {
    const auto files = ServeGame();
    const CliResult result = Run({"--no-install"});

    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string folder = home_.Path() + "tovalen/ZK4/";
    for (const auto& [name, content] : files)
        EXPECT_TRUE(ReadFile(folder + name) == content) << name << " differs";
    EXPECT_FALSE(Exists(folder + "installer-ran"));
    EXPECT_EQ(result.out.find("installer started"), std::string::npos);
    // Not a terminal: one plain line per progress event, no cursor movement.
    EXPECT_NE(result.out.find("\nprogress: data1.pak [1/3]"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
}

TEST_F(CliEndToEnd, NormalSpeedFlagAnswersTheConsentQuestion) {
    const std::string content = nginx_->WriteFile("/files/one.pak", 100000, 41);
    nginx_->WriteText(kListPath, nginx_->Url("/files/one.pak") + "\n");
    const CliResult result =
        Run({"--normal-speed", "--no-install", "--resume=no", "--folder", downloads_.Path()});

    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("要使用一般下載方式進行嗎？\n  -> yes (--normal-speed)\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("download started at normal speed"), std::string::npos);
    EXPECT_TRUE(ReadFile(downloads_.Path() + "one.pak") == content);
}

TEST_F(CliEndToEnd, CheckOnlyPrintsTheTotalAndNothingElse) {
    ServeGame();
    const CliResult result = Run({"--check-only"});

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::to_string(3000000 + 800000 + std::string(kInstaller).size()) + "\n");
    EXPECT_FALSE(Exists(home_.Path() + "tovalen/ZK4/data1.pak"));
}

TEST_F(CliEndToEnd, MissingFileListEndsWithOneAndTheReason) {
    const CliResult result = Run({"--folder", downloads_.Path(), nginx_->Url("/no-such-list.txt")});

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(
        OneReasonLine(result, "no usable file list at " + nginx_->Url("/no-such-list.txt")));
    EXPECT_TRUE(OneReasonLine(result, "下載檔案目錄失敗"));
    EXPECT_NE(result.out.find("[ZK4] 下載檔案目錄失敗\n"), std::string::npos) << result.out;
}

TEST_F(CliEndToEnd, FileServerGoneBeforeTheStartEndsInTheSizeCheck) {
    NginxServer gone;
    ASSERT_TRUE(gone.Start()) << gone.Error();
    const std::string url = gone.Url("/files/data.pak");
    gone.Stop();
    nginx_->WriteText(kListPath, url + "\n");
    const CliResult result = Run({"--folder", downloads_.Path()});

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(OneReasonLine(result, "size check"));
    EXPECT_TRUE(OneReasonLine(result, "檔案大小確認失敗"));
    EXPECT_FALSE(Exists(downloads_.Path() + "data.pak"));
}

TEST_F(CliEndToEnd, FileServerGoneDuringTheDownloadIsWaitedForAndContinuedWhenBack) {
    NginxServer files("limit_rate 256k;");
    ASSERT_TRUE(files.Start()) << files.Error();
    const std::string content = files.WriteFile("/big.pak", 2u << 20, 21);
    nginx_->WriteText(kListPath, files.Url("/big.pak") + "\n");
    CliProcess cli;
    ASSERT_TRUE(cli.Start(ZK4_CLI_BIN, {"--folder", downloads_.Path(), "--no-install"}, Env()));
    ASSERT_TRUE(cli.WaitForOutput("progress: big.pak", 20000)) << cli.Out() << cli.Err();
    files.Stop();
    // The job waits, says for what, and tries again by itself.
    ASSERT_TRUE(cli.WaitForOutput("waiting: " + files.Url("/big.pak") + ": ", 20000))
        << cli.Out() << cli.Err();
    EXPECT_FALSE(std::filesystem::exists(downloads_.Path() + "big.pak"));
    ASSERT_TRUE(files.Restart()) << files.Error();
    const CliResult result{cli.WaitForExit(kRunLimitMs), cli.Out(), cli.Err()};
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("trying again"), std::string::npos) << result.out;
    EXPECT_TRUE(ReadFile(downloads_.Path() + "big.pak") == content);
    EXPECT_FALSE(std::filesystem::exists(downloads_.Path() + "big.pak.part"));
}

TEST_F(CliEndToEnd, AFileTheServerNoLongerHasEndsTheRunWithTheFailedUrl) {
    NginxServer files("limit_rate 256k;");
    ASSERT_TRUE(files.Start()) << files.Error();
    files.WriteFile("/big.pak", 2u << 20, 21);
    nginx_->WriteText(kListPath, files.Url("/big.pak") + "\n");
    CliProcess cli;
    ASSERT_TRUE(cli.Start(ZK4_CLI_BIN, {"--folder", downloads_.Path(), "--no-install"}, Env()));
    ASSERT_TRUE(cli.WaitForOutput("progress: big.pak", 20000)) << cli.Out() << cli.Err();
    // Gone for good: a 404 does not pass by waiting.
    std::filesystem::remove(files.Root() + "big.pak");
    files.Stop();
    ASSERT_TRUE(files.Restart()) << files.Error();
    const CliResult result{cli.WaitForExit(kRunLimitMs), cli.Out(), cli.Err()};

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(OneReasonLine(result, "a download failed: " + files.Url("/big.pak") + ": "));
    EXPECT_NE(result.out.find("[ZK4] 下載ZK4失敗\n請稍候再試\n"), std::string::npos) << result.out;
}

TEST_F(CliEndToEnd, FolderThatCannotBeMadeEndsWithOneAndTheReason) {
    ServeGame();
    // A regular file in the path refuses every user, root included.
    const std::string blocker = downloads_.Path() + "not-a-folder";
    std::ofstream(blocker) << "x";
    const CliResult result = Run({"--folder", blocker + "/game"});

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(OneReasonLine(result, "could not be started in " + blocker + "/game/"));
    EXPECT_TRUE(OneReasonLine(result, "選擇的路徑無法使用"));
    EXPECT_EQ(ReadFile(blocker), "x");
}

TEST_F(CliEndToEnd, StopSignalsStopTheJobAndTheService) {
    NginxServer slow("limit_rate 128k;");
    ASSERT_TRUE(slow.Start()) << slow.Error();
    slow.WriteFile("/big.pak", 4u << 20, 31);
    nginx_->WriteText(kListPath, slow.Url("/big.pak") + "\n");
    for (const auto& [signal, status, name] :
         {std::tuple{SIGINT, 130, "SIGINT"}, std::tuple{SIGTERM, 143, "SIGTERM"}}) {
        CliProcess cli;
        ASSERT_TRUE(cli.Start(ZK4_CLI_BIN, {"--folder", downloads_.Path()}, Env()));
        ASSERT_TRUE(cli.WaitForOutput("progress: big.pak", 20000)) << cli.Out() << cli.Err();
        cli.Signal(signal);
        const CliResult result{cli.WaitForExit(10000), cli.Out(), cli.Err()};

        EXPECT_EQ(result.status, status) << name;
        EXPECT_TRUE(OneReasonLine(result, std::string("stopped by ") + name));
        const std::string log = ServiceLog();
        EXPECT_NE(log.find("[OstrelLib] Finalize End"), std::string::npos) << name << "\n" << log;
    }
}

TEST_F(CliEndToEnd, SecondInstanceIsRefused) {
    ServeGame();
    // The name depends on the patch server, so it is built as the child will.
    ScopedEnv patch("TLX_PATCH_SERVER", Env().at("TLX_PATCH_SERVER").c_str());
    ScopedEnv runtime("XDG_RUNTIME_DIR", home_.Path().c_str());
    plat::InstanceLock first;
    ASSERT_EQ(first.Acquire(plat::WideToAnsi(InstanceMutexName())),
              plat::InstanceLock::State::kAcquired);
    const CliResult result = Run({"--folder", downloads_.Path()});

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(OneReasonLine(result, "already running"));
    EXPECT_NE(result.out.find("正在進行下載作業"), std::string::npos) << result.out;
    EXPECT_FALSE(Exists(downloads_.Path() + "data1.pak"));
}

TEST(CliUsage, BadUsageExitsWithTwoBeforeStartingAnything) {
    TempFolder data;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"},
          {"--resume=maybe"},
          {"--folder"},
          {"--folder="},
          {"http://127.0.0.1:1/a.txt", "http://127.0.0.1:1/b.txt"}}) {
        CliProcess cli;
        ASSERT_TRUE(cli.Start(ZK4_CLI_BIN, args, {{"XDG_DATA_HOME", data.Path()}}));
        const CliResult result{cli.WaitForExit(10000), cli.Out(), cli.Err()};

        EXPECT_EQ(result.status, 2) << args.front();
        EXPECT_TRUE(OneReasonLine(result, "usage: tlxdownloader-cli")) << args.front();
        EXPECT_EQ(result.out, "");
    }
    // The service never started, so it never wrote its log.
    EXPECT_FALSE(Exists(data.Path() + "Norvex"));
}

TEST_F(CliEndToEnd, AListLineThatCannotNameAFileIsRefusedAndNeverEchoedRaw) {
    nginx_->WriteFile("/files/ok.pak", 1000, 31);
    nginx_->WriteText(kListPath, "\xEF\xBB\xBF" + nginx_->Url("/files/ok.pak") + "\r\n" +
                                     nginx_->Url("/files/x\x1b[2Jy.pak") + "\r\n");
    const CliResult result = Run({"--folder", downloads_.Path(), "--no-install"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(OneReasonLine(result, "no usable file list at "));
    EXPECT_TRUE(OneReasonLine(result, "line 2: "));
    EXPECT_TRUE(OneReasonLine(result, "control character"));
    // The escape character reaches neither stream as itself.
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
    EXPECT_NE(result.err.find("x\\x1B[2Jy.pak"), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(downloads_.Path() + "ok.pak"));
}

TEST_F(CliEndToEnd, ResumeNoFetchesEveryFileWholeAndResumeYesContinuesIt) {
    const std::string content = nginx_->WriteFile("/files/r.pak", 600000, 32);
    nginx_->WriteText(kListPath, nginx_->Url("/files/r.pak") + "\n");
    // A wrong file of the right size: kept as it is unless told to start over.
    {
        std::ofstream out(downloads_.Path() + "r.pak", std::ios::binary);
        out << std::string(600000, 'w');
    }
    CliResult result = Run({"--folder", downloads_.Path(), "--no-install", "--resume=yes"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadFile(downloads_.Path() + "r.pak"), std::string(600000, 'w'));
    result = Run({"--folder", downloads_.Path(), "--no-install", "--resume=no"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(ReadFile(downloads_.Path() + "r.pak") == content);
    // A half file is continued with --resume=yes.
    {
        std::ofstream out(downloads_.Path() + "r.pak", std::ios::binary | std::ios::trunc);
        out << content.substr(0, 250000);
    }
    result = Run({"--folder", downloads_.Path(), "--no-install", "--resume=yes"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(ReadFile(downloads_.Path() + "r.pak") == content);
}

TEST_F(CliThroughTheEngine, ProgressCarriesTheListsTotalFromTheFirstLineAndNeverGoesBack) {
    const auto files = ServeGame();
    const CliResult result = Run({"--folder", downloads_.Path(), "--no-install"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const auto& [name, content] : files)
        EXPECT_TRUE(ReadFile(downloads_.Path() + name) == content) << name << " differs";
    EXPECT_EQ(ServiceLog().find("goes to direct download"), std::string::npos) << ServiceLog();
    const std::vector<ProgressLine> lines = ProgressLines(result.out);
    ASSERT_GE(lines.size(), 2u) << result.out;
    std::int64_t total = 0;
    for (const auto& [name, content] : files) total += static_cast<std::int64_t>(content.size());
    const std::string shown = plat::AnsiToUtf8(plat::WideToAnsi(FormatSize(static_cast<double>(total))));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].total, shown) << result.out;
        if (i == 0) continue;
        EXPECT_GE(lines[i].totalPercent, lines[i - 1].totalPercent) << result.out;
        if (lines[i].file == lines[i - 1].file) {
            EXPECT_GE(lines[i].filePercent, lines[i - 1].filePercent) << result.out;
        }
    }
}

TEST_F(CliThroughTheEngine, EngineClaimingFilesItDidNotWriteNeverEndsOverAnEmptyFolder) {
    extraEnv_["TLX_ENGINE_FAULT"] = "claim-done";
    const auto files = ServeGame();
    const CliResult result = Run({"--folder", downloads_.Path(), "--no-install"});
    // The job ends, but through the direct downloader, with the served bytes.
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const auto& [name, content] : files)
        EXPECT_TRUE(ReadFile(downloads_.Path() + name) == content) << name << " differs";
    EXPECT_NE(result.out.find("the download engine cannot serve the job; downloading directly"),
              std::string::npos)
        << result.out;
    EXPECT_NE(ServiceLog().find("goes to direct download : files are missing (3; "),
              std::string::npos)
        << ServiceLog();
}
