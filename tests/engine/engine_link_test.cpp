// Whole jobs through the service with our engine program installed in the
// data folder: served by the engine, and moved to direct download whenever
// the engine asks for it, dies, lies, keeps silent or is missing, always
// ending with the served bytes.
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/engine_paths.h"
#include "engine/start_only_launcher.h"
#include "platform/kernel.h"
#include "platform/socket_owner.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/report_server_process.h"
#include "tests/support/scoped_env.h"
#include "tests/transfers/direct_job_fixture.h"

namespace {

namespace fs = std::filesystem;

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The processes whose executable is `path`.
std::vector<pid_t> ProcessesOf(const std::string& path) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        char target[4096];
        const std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        std::string exe(target, static_cast<std::size_t>(n));
        if (exe == path || exe == path + " (deleted)") pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

class EngineLinkTest : public DirectJobTest {
protected:
    // The service starts in each test, once the engine is in place.
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        port_ = htons(static_cast<std::uint16_t>(UnusedFixedPort()));
        portText_ = std::to_string(ntohs(port_));
    }
    void TearDown() override {
        if (started_) DirectJobTest::TearDown();
        CJobManager::SetEngineLinkLimitsForTesting(EngineLinkLimits{});
        // The engine ends by itself once idle; the test's own do not wait.
        for (pid_t pid : ProcessesOf(Executable())) kill(pid, SIGKILL);
        for (pid_t pid : ProcessesOf(realEngine_)) kill(pid, SIGKILL);
    }
    EngineLauncherFactory LauncherFactory() const override { return CStartOnlyLauncher::Factory(); }

    std::string EngineFolder() const { return appData_.Path() + "Norvex/tlxDownloadV32/"; }
    std::string Executable() const { return EngineFolder() + kEngineFileName; }
    std::string EngineLog() const { return ReadFile(EngineFolder() + "config/engine.log"); }

    void InstallEngine() {
        fs::create_directories(EngineFolder());
        fs::copy_file(ZK4_ENGINE_BIN, Executable(), fs::copy_options::overwrite_existing);
        realEngine_ = fs::canonical(Executable()).string();
    }
    // Puts a program in the engine's place that starts and ends at once
    // (the running engine keeps its own file).
    void InstallDeadEngine() {
        const std::string temp = EngineFolder() + "dead.tmp";
        {
            std::ofstream out(temp);
            out << "#!/bin/sh\nexit 0\n";
        }
        chmod(temp.c_str(), 0755);
        fs::rename(temp, Executable());
    }
    void StartService(const char* faults = nullptr, EngineLinkLimits limits = {},
                      const std::string& nginxConfig = "") {
        portEnv_ = std::make_unique<ScopedEnv>("TLX_ENGINE_PORT", portText_.c_str());
        idleEnv_ = std::make_unique<ScopedEnv>("TLX_ENGINE_IDLE_EXIT", "2");
        faultEnv_ = std::make_unique<ScopedEnv>("TLX_ENGINE_FAULT", faults);
        CJobManager::SetEngineLinkLimitsForTesting(limits);
        started_ = true;
        ServiceTest::SetUp();
        if (!HasFatalFailure()) StartNginx(nginxConfig);
    }
    void RunJob(CJob* job, int waitMs = 60000) {
        ASSERT_EQ(Manager()->StartJob(job, 1), 512);
        // Job messages (517) come and go (moved to direct, network notices):
        // the end is the completion.
        ASSERT_TRUE(WaitFor([&] { return events_.CountOf(516) > 0; }, waitMs))
            << ::testing::PrintToString(ServiceLogMessages()) << "\nengine log:\n"
            << EngineLog();
    }
    // A job of `names` (each `size` bytes), run to its end; every file must
    // hold what nginx served.
    void RunAndCompare(const std::vector<std::string>& names, std::size_t size,
                       int waitMs = 60000) {
        std::vector<std::string> urls, bodies;
        unsigned seed = 7;
        for (const std::string& name : names) {
            bodies.push_back(nginx_->WriteFile("/files/" + name, size, seed++));
            urls.push_back(nginx_->Url("/files/" + name));
        }
        CJob* job = NewJob(urls);
        RunJob(job, waitMs);
        EXPECT_EQ(events_.CountOf(516), 1)
            << ::testing::PrintToString(ServiceLogMessages())
            << ::testing::PrintToString(Messages(job)) << ::testing::PrintToString(events_.Codes());
        for (std::size_t i = 0; i < names.size(); ++i)
            EXPECT_TRUE(ReadFile(Folder() + names[i]) == bodies[i]) << names[i] << " differs";
        for (const std::string& name : names)
            EXPECT_FALSE(fs::exists(Folder() + name + ".part")) << name << ".part left behind";
    }
    bool WentDirect() {
        const auto lines = ServiceLogMessages();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find(" goes to direct download : ") != std::string::npos;
        });
    }

    in_port_t port_ = 0;
    std::string portText_;
    std::string realEngine_;
    bool started_ = false;
    std::unique_ptr<ScopedEnv> portEnv_, idleEnv_, faultEnv_;
};

}  // namespace

// --- Served by the engine.

TEST_F(EngineLinkTest, JobIsServedByTheEngineByteForByte) {
    InstallEngine();
    StartService();
    RunAndCompare({"ZK4Setup.exe", "data1.pak", "data2.pak"}, 700 * 1024);
    const auto lines = ServiceLogMessages();
    EXPECT_EQ(CountOf(lines, "[OstrelLib] Execute OK(0)"), 1);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] Begin WFII"), 1);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] End WFII"), 1);
    EXPECT_FALSE(WentDirect()) << ::testing::PrintToString(lines);
    // The bytes came through the engine: its own log names the files.
    EXPECT_NE(EngineLog().find("data2.pak"), std::string::npos) << EngineLog();
}

TEST_F(EngineLinkTest, ResumeQuestionAnsweredFromTheJobBeforeItStarted) {
    InstallEngine();
    StartService("resume");
    const std::string body = nginx_->WriteFile("/files/big.pak", 300000, 3);
    fs::create_directories(Folder());
    CJob* job = NewJob({nginx_->Url("/files/big.pak")});
    job->SetResumeAnswer(true);
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "big.pak") == body);
}

// --- Moved to direct download.

TEST_F(EngineLinkTest, FallbackAskedByTheEngineEndsByDirectDownload) {
    InstallEngine();
    StartService("fallback");
    RunAndCompare({"a.pak", "b.pak"}, 200000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Job ") &&
                std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("the engine asked for it") != std::string::npos;
                            }))
        << ::testing::PrintToString(lines);
}

TEST_F(EngineLinkTest, EndWithFilesMissingIsNoSuccess) {
    InstallEngine();
    StartService("partial-end");
    RunAndCompare({"a.pak", "b.pak", "c.pak"}, 100000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("files are missing") != std::string::npos;
    })) << ::testing::PrintToString(lines);
}

TEST_F(EngineLinkTest, NoEngineInstalledGoesDirectAtOnce) {
    StartService();
    const std::int64_t before = plat::MonotonicMs();
    RunAndCompare({"a.pak"}, 300000);
    EXPECT_LT(plat::MonotonicMs() - before, 10000);
    EXPECT_FALSE(AnyStartsWith(ServiceLogMessages(), "[OstrelLib] Execute OK"));
}

TEST_F(EngineLinkTest, EngineThatNeverListensIsGivenUpAfterSixPacedLaunches) {
    fs::create_directories(EngineFolder());
    InstallDeadEngine();
    StartService();
    const std::int64_t before = plat::MonotonicMs();
    RunAndCompare({"a.pak"}, 300000);
    const auto lines = ServiceLogMessages();
    EXPECT_EQ(CountOf(lines, "[OstrelLib] localClosed()"), 6) << ::testing::PrintToString(lines);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] CEngineDownloader MaxTry Over"), 1);
    // The five relaunches waited 250, 500, 1000, 2000 and 4000 ms: an engine
    // that ends at once does not use its launches up within a second.
    EXPECT_GE(plat::MonotonicMs() - before, 7750);
}

TEST_F(EngineLinkTest, PortHeldByAnotherProgramOfThisUserIsNotUsed) {
    // A program of our own user on the engine's port that takes every
    // connection and drops it, as a server started there first would.
    const pid_t squatter = fork();
    if (squatter == 0) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = port_;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 8) != 0)
            _exit(2);
        for (;;) {
            const int client = accept(fd, nullptr, nullptr);
            if (client >= 0) close(client);
        }
    }
    ASSERT_GT(squatter, 0);
    std::uint32_t uid = 0;
    ASSERT_TRUE(WaitFor([&] { return plat::LoopbackListenerUid(ntohs(port_), &uid); }, 5000));
    InstallEngine();
    StartService();
    RunAndCompare({"a.pak"}, 100000);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    const auto lines = ServiceLogMessages();
    // Given up at the first connect, not relaunched six times over.
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine port " + portText_ +
                                         " is held by another program (process " +
                                         std::to_string(squatter)))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] Execute OK(0)"), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] localClosed()"), 0);
    // The engine that found its port taken left a line, and no empty log.
    EXPECT_NE(EngineLog().find("Cannot listen on 127.0.0.1:" + portText_), std::string::npos)
        << EngineLog();
}

TEST_F(EngineLinkTest, EngineKilledMidJobAndUnableToRestart) {
    InstallEngine();
    // Slow enough that the engine is still at it when it is killed.
    StartService(nullptr, {}, "location /files/ { limit_rate 1m; }");
    const std::string body = nginx_->WriteFile("/files/slow.pak", 4 << 20, 5);
    CJob* job = NewJob({nginx_->Url("/files/slow.pak")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Folder() + "slow.pak.part"); }, 20000));
    InstallDeadEngine();
    for (pid_t pid : ProcessesOf(realEngine_)) kill(pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return events_.CountOf(516) > 0; }, 60000));
    EXPECT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "slow.pak") == body);
    const auto lines = ServiceLogMessages();
    EXPECT_EQ(CountOf(lines, "[OstrelLib] localClosed()"), 6) << ::testing::PrintToString(lines);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] CEngineDownloader MaxTry Over"), 1);
}

TEST_F(EngineLinkTest, SilentEngineIsNotWaitedOnForEver) {
    InstallEngine();
    EngineLinkLimits limits;
    limits.acceptWaitMs = 1500;
    StartService("silent", limits);
    RunAndCompare({"a.pak"}, 200000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine silent on job"))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountOf(lines, "[OstrelLib] CEngineDownloader MaxTry Over"), 1);
}

TEST_F(EngineLinkTest, FinishedJobIsReportedPerFileWithTheEnginesSources) {
    ReportServerProcess reports(ZK4_REPORT_SERVER_BIN);
    ASSERT_TRUE(reports.Start());
    const std::string endpoint = "127.0.0.1:" + std::to_string(reports.Port());
    ScopedEnv reportServer("TLX_REPORT_SERVER", endpoint.c_str());
    InstallEngine();
    StartService();
    RunAndCompare({"a.pak", "b.pak"}, 120000);
    const std::vector<std::string> expected = {
        ReportLine("joltwave_zorakine4", nginx_->Url("/files/a.pak"), 120000),
        ReportLine("joltwave_zorakine4", nginx_->Url("/files/b.pak"), 120000)};
    EXPECT_TRUE(WaitFor([&] { return reports.Records().size() >= 2; }, 10000));
    EXPECT_EQ(reports.Records(), expected);
    EXPECT_FALSE(WentDirect());
    const auto lines = ServiceLogMessages();
    EXPECT_EQ(CountOf(lines, "[OstrelLib] Job 0 finished through the engine : 0 bytes from peers, "
                             "240000 from file servers"),
              1)
        << ::testing::PrintToString(lines);
}

// --- What the engine says is checked.

TEST_F(EngineLinkTest, FilesClaimedButNotWrittenAreFetchedDirectly) {
    InstallEngine();
    StartService("claim-done");
    const std::string setup = nginx_->WriteFile("/files/ZK4Setup.exe", 90000, 1);
    const std::string data = nginx_->WriteFile("/files/data.pak", 150000, 2);
    CJob* job = NewJob({nginx_->Url("/files/ZK4Setup.exe"), nginx_->Url("/files/data.pak")});
    RunJob(job);
    EXPECT_TRUE(ReadFile(Folder() + "ZK4Setup.exe") == setup);
    EXPECT_TRUE(ReadFile(Folder() + "data.pak") == data);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("goes to direct download : files are missing (2; ") != std::string::npos;
    })) << ::testing::PrintToString(lines);
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine reported a file finished, but "));
    // The wild report (3 GB held, 10^15 hours) was named and never shown.
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine's progress for job 0 does not add up"));
    JobProgress progress;
    ASSERT_EQ(Manager()->GetJobProgress(job, &progress), 512);
    EXPECT_EQ(progress.total, 240000);
    EXPECT_LE(progress.held, progress.total);
    EXPECT_LT(progress.elapsed, 600);
    // Each file was told to the window once, by the direct downloader.
    EXPECT_EQ(events_.CountOf(515), 2);
}

TEST_F(EngineLinkTest, JobThatNothingArrivesForGoesDirectAtTheFirstByteBound) {
    InstallEngine();
    EngineLinkLimits limits;
    limits.firstByteMs = 2000;  // the engine is silent; its 30 s accept wait never comes
    StartService("silent", limits);
    const std::int64_t before = plat::MonotonicMs();
    RunAndCompare({"a.pak"}, 100000);
    EXPECT_LT(plat::MonotonicMs() - before, 15000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("goes to direct download : nothing arrived within 2 s") != std::string::npos;
    })) << ::testing::PrintToString(lines);
}



TEST_F(EngineLinkTest, StoredPathOutsideTheFolderIsReplacedByTheJobsOwn) {
    InstallEngine();
    StartService("outside-path");
    RunAndCompare({"ZK4Setup.exe"}, 100000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine stored path refused : "))
        << ::testing::PrintToString(lines);
}

TEST_F(EngineLinkTest, PortHeldByAnotherUserIsNotUsed) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    // Another user's listener on the engine's port, there before ours.
    const pid_t squatter = fork();
    if (squatter == 0) {
        if (setuid(65534) != 0) _exit(1);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = port_;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 8) != 0)
            _exit(2);
        pause();
        _exit(0);
    }
    ASSERT_GT(squatter, 0);
    std::uint32_t uid = 0;
    ASSERT_TRUE(WaitFor([&] { return plat::LoopbackListenerUid(ntohs(port_), &uid); }, 5000));
    InstallEngine();
    StartService();
    RunAndCompare({"a.pak"}, 100000);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(AnyStartsWith(lines, "[OstrelLib] Engine port "))
        << ::testing::PrintToString(lines);
}
