// Whole jobs through the running service and the direct downloader: real
// nginx for the normal cases, the scripted server for faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/connectivity.h"
#include "platform/file_handle.h"
#include "platform/files.h"
#include "service/base/job.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/service_fixture.h"
#include "tests/transfers/direct_job_fixture.h"
#include "transfers/platform_downloader.h"
#include "transport/cp_qos.h"

using DirectDownloadTest = DirectJobTest;

TEST_F(DirectDownloadTest, JobDownloadsByteIdenticalWithItsEventsInOrder) {
    StartNginx("limit_rate 2m;");
    std::vector<std::string> contents;
    std::vector<std::string> urls;
    for (int i = 0; i < 3; ++i) {
        contents.push_back(nginx_->WriteFile("/zk4/data" + std::to_string(i) + ".pak",
                                             (1u << 20) + 1000 * i, i + 1));
        urls.push_back(nginx_->Url("/zk4/data" + std::to_string(i) + ".pak"));
    }
    CJob* job = NewJob(urls);
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 30000));

    std::vector<int> codes = events_.Codes();
    EXPECT_EQ(codes.front(), 513);
    EXPECT_EQ(codes.back(), 516);
    EXPECT_EQ(events_.CountOf(515), 3);
    EXPECT_GE(events_.CountOf(514), 1);
    JobStartInfo start;
    EXPECT_EQ(Manager()->GetJobStartInfo(job, &start), kResultOk);
    EXPECT_EQ(start.fileCount, 3);
    std::int64_t total = 0;
    for (const auto& c : contents) total += static_cast<std::int64_t>(c.size());
    EXPECT_EQ(start.totalSize, total);

    for (int i = 0; i < 3; ++i) {
        JobFileEvent fileEvent;
        ASSERT_EQ(Manager()->PopJobFileEvent(job, &fileEvent), 512);
        std::string path = Folder() + "data" + std::to_string(i) + ".pak";
        EXPECT_EQ(fileEvent.text, urls[i] + "," + path);
        EXPECT_TRUE(ReadFile(path) == contents[i]) << path;
    }
    JobProgress progress;
    EXPECT_EQ(Manager()->GetJobProgress(job, &progress), kResultOk);
    EXPECT_EQ(progress.held, total);
    EXPECT_EQ(progress.total, total);
    EXPECT_EQ(progress.filesDone, 3);
    EXPECT_EQ(progress.percent, 100);
    JobCompletion completion;
    EXPECT_EQ(Manager()->GetJobCompletion(job, &completion), kResultOk);
    EXPECT_EQ(completion.completedFiles, 3);
    EXPECT_EQ(job->State(), kJobCompleted);
    EXPECT_TRUE(LogHas("[OstrelLib] CPlatFormDownloader FileSizeCheck Completed"));
}

TEST_F(DirectDownloadTest, StoppedJobContinuesFromTheBytesOnDisk) {
    StartNginx("limit_rate 512k;");
    std::string content = nginx_->WriteFile("/big.bin", 3u << 20, 9);
    CJob* job = NewJob({nginx_->Url("/big.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    std::string path = Folder() + "big.bin";
    const std::string part = path + ".part";
    ASSERT_TRUE(
        WaitFor([&] { return plat::PathExists(part) && std::filesystem::file_size(part) > 300000; },
                15000));
    ASSERT_EQ(Manager()->StopJob(job), 512);
    // Stopped halfway: the bytes stay, and only under the partial name.
    std::uintmax_t kept = std::filesystem::file_size(part);
    EXPECT_LT(kept, content.size());
    EXPECT_FALSE(plat::PathExists(path));
    events_.Clear();
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 30000));
    EXPECT_TRUE(ReadFile(path) == content);
    EXPECT_FALSE(plat::PathExists(part));
    JobProgress progress;
    EXPECT_EQ(Manager()->GetJobProgress(job, &progress), kResultOk);
    EXPECT_EQ(progress.held, static_cast<std::int64_t>(content.size()));
}

TEST_F(DirectDownloadTest, CloseMidBodyIsContinuedWithARangeRequest) {
    std::string body = PseudoRandomBytes(5000, 4);
    ScriptedServer server;
    server.AddScript(
        {ScriptStep::WaitRequest(), ScriptStep::Send(Ok(body)), ScriptStep::Close()});  // probe
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body.substr(0, 2000)),
         ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2000-4999/5000\r\n"
                          "Content-Length: 3000\r\n\r\n" +
                          body.substr(2000)),
         ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/f.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 20000));
    ASSERT_GE(server.Requests().size(), 3u);
    EXPECT_NE(server.Requests()[1].find("Range: bytes=0-"), std::string::npos);
    EXPECT_NE(server.Requests()[2].find("Range: bytes=2000-"), std::string::npos)
        << server.Requests()[2];
    EXPECT_TRUE(ReadFile(Folder() + "f.bin") == body);
}

TEST_F(DirectDownloadTest, AnswersThatDoNotContinueWhereAskedStartTheFileOver) {
    std::string body = PseudoRandomBytes(4000, 5);
    std::string half = "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + body.substr(0, 1500);
    for (const std::string& retry : {
             Ok(body),  // a 200 to a ranged request
             "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-3999/4000\r\nContent-Length: "
             "4000\r\n\r\n" +
                 body,  // a 206 from the wrong offset
         }) {
        std::filesystem::remove_all(Folder());
        ScriptedServer server;
        server.AddScript(
            {ScriptStep::WaitRequest(), ScriptStep::Send(Ok(body)), ScriptStep::Close()});
        server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(half), ScriptStep::Close()});
        server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(retry), ScriptStep::Stall()});
        events_.Clear();
        CJob* job = NewJob({server.Url("/r.bin")});
        ASSERT_EQ(Manager()->StartJob(job, 1), 512);
        ASSERT_TRUE(events_.WaitFor(516, 1, 20000));
        EXPECT_TRUE(ReadFile(Folder() + "r.bin") == body);
        JobProgress progress;
        EXPECT_EQ(Manager()->GetJobProgress(job, &progress), kResultOk);
        EXPECT_EQ(progress.held, 4000);
        EXPECT_EQ(Manager()->RemoveJob(job), kResultOk);
    }
}

TEST_F(DirectDownloadTest, FirstAlternativeThatRefusesGivesWayToTheSecond) {
    StartNginx();
    std::string content = nginx_->WriteFile("/mirror/setup.bin", 70000, 6);
    plat::SockAddrIn dead = UnusedLoopbackPort();
    std::string deadUrl =
        "http://127.0.0.1:" + std::to_string(plat::NetToHost16(dead.portNet)) + "/mirror/setup.bin";
    CJob* job = NewJob({deadUrl + "|" + nginx_->Url("/mirror/setup.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 30000));
    EXPECT_TRUE(ReadFile(Folder() + "setup.bin") == content);
}

TEST_F(DirectDownloadTest, RedirectIsFollowed) {
    StartNginx("location = /old.bin { return 302 /new.bin; }");
    std::string content = nginx_->WriteFile("/new.bin", 12345, 8);
    CJob* job = NewJob({nginx_->Url("/old.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 20000));
    EXPECT_TRUE(ReadFile(Folder() + "old.bin") == content);
}

TEST_F(DirectDownloadTest, FileThatKeepsFailingEndsWithTryMaxOverAndMessage517) {
    ScriptedServer server;
    server.AddScript(
        {ScriptStep::WaitRequest(), ScriptStep::Send(Ok("0123456789")), ScriptStep::Close()});
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
                      ScriptStep::Stall()});
    std::string url = server.Url("/gone.bin");
    CJob* job = NewJob({url});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(517, 1, 30000));
    auto messages = Messages(job);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(517, url + ": HTTP 404"));
    EXPECT_EQ(server.Connections(), 1 + 3);  // the probe, then three attempts
    EXPECT_TRUE(LogHas("[OstrelLib] TryMax Over : " + url));
    EXPECT_EQ(events_.CountOf(516), 0);
}

TEST_F(DirectDownloadTest, ProbesRunFiveAtATimeAndAFileLargerThanTheDiskFailsWith513) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Sleep(400),
                      ScriptStep::Send(Ok("abcdefghij")), ScriptStep::Close()});
    std::vector<std::string> urls;
    for (int i = 0; i < 7; ++i) urls.push_back(server.Url("/p" + std::to_string(i)));
    CJob* job = NewJob(urls);
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(WaitFor([&] { return server.Connections() >= 5; }));
    plat::SleepMs(150);
    EXPECT_EQ(server.Connections(), 5);
    ASSERT_TRUE(events_.WaitFor(516, 1, 30000));
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(ReadFile(Folder() + "p" + std::to_string(i)), "abcdefghij");

    ScriptedServer huge;
    huge.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 999999999999999999\r\n\r\n"),
         ScriptStep::Stall()});
    events_.Clear();
    std::string url = huge.Url("/huge.bin");
    CJob* big = NewJob({url});
    ASSERT_EQ(Manager()->StartJob(big, 1), 512);
    ASSERT_TRUE(events_.WaitFor(517));
    auto messages = Messages(big);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, 513);
    // The text says where the room is missing, and how much.
    EXPECT_EQ(messages[0].second.rfind(Folder() + " needs 999999999999999999 more bytes, ", 0), 0u)
        << messages[0].second;
    // A failed size check lets the job go: it can be started again.
    EXPECT_EQ(big->State(), kJobIdle);
    EXPECT_EQ(Manager()->StopJob(big), 517);
}

TEST_F(DirectDownloadTest, WriteFailureGivesMessage513AndNoCompletion) {
    StartNginx();
    nginx_->WriteFile("/w.bin", 200000, 2);
    plat::File::SetWritesFailForTesting(true);
    CJob* job = NewJob({nginx_->Url("/w.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(517, 1, 20000));
    auto messages = Messages(job);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].first, 513);
    plat::SleepMs(300);
    EXPECT_EQ(events_.CountOf(515), 0);
    EXPECT_EQ(events_.CountOf(516), 0);
}

TEST_F(DirectDownloadTest, NetworkDownTellsEveryJobAndBackUpTellsOne) {
    StartNginx("limit_rate 64k;");
    nginx_->WriteFile("/a.bin", 1u << 20, 1);
    nginx_->WriteFile("/b.bin", 1u << 20, 2);
    CJob* a = NewJob({nginx_->Url("/a.bin")});
    CJob* b = NewJob({nginx_->Url("/b.bin")});
    ASSERT_EQ(Manager()->StartJob(a, 1), 512);
    ASSERT_EQ(Manager()->StartJob(b, 1), 512);
    plat::SetNetworkStateForTesting(0);
    ASSERT_TRUE(events_.WaitFor(517, 2, 5000));
    plat::SetNetworkStateForTesting(1);
    ASSERT_TRUE(events_.WaitFor(517, 3, 5000));
    plat::SleepMs(1500);
    auto ma = Messages(a);
    auto mb = Messages(b);
    int backs = 0;
    for (const auto& m : ma) backs += m.first == 516;
    for (const auto& m : mb) backs += m.first == 516;
    EXPECT_EQ(backs, 1);
    EXPECT_EQ(ma.front().first, 515);
    EXPECT_EQ(mb.front().first, 515);
}

TEST_F(DirectDownloadTest, NormalSpeedHoldsTheReceiveBudget) {
    StartNginx();
    nginx_->WriteFile("/slow.bin", 6u << 20, 3);
    CJob* job = NewJob({nginx_->Url("/slow.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 0), 512);
    // Sample the bytes held each time the bandwidth controller refills the
    // budgets: between two refills the budget is all that may move.
    std::vector<std::pair<std::int64_t, std::int64_t>> samples;
    std::uint32_t lastTick = cpQoS()->SecondTicks();
    ASSERT_TRUE(WaitFor(
        [&] {
            if (cpQoS()->SecondTicks() != lastTick) {
                lastTick = cpQoS()->SecondTicks();
                JobProgress progress;
                EXPECT_EQ(Manager()->GetJobProgress(job, &progress), kResultOk);
                samples.emplace_back(plat::MonotonicMs(), progress.held);
            }
            return samples.size() == 7;
        },
        15000));
    EXPECT_EQ(Manager()->StopJob(job), kResultOk);
    double seconds = (samples[6].first - samples[1].first) / 1000.0;
    double rate = (samples[6].second - samples[1].second) / seconds;
    EXPECT_NEAR(rate, 393216.0, 393216.0 * 0.05) << "over " << seconds << " s";
}

// A full-size job: four files of 256 MiB with the speed flag set. It needs
// 2 GiB of temporary disk and about a minute, so it runs on request:
//   transfers_tests --gtest_also_run_disabled_tests --gtest_filter='*OneGibibyte*'
TEST_F(DirectDownloadTest, DISABLED_OneGibibyteJobIsByteIdentical) {
    StartNginx();
    std::vector<std::string> urls;
    for (int i = 0; i < 4; ++i) {
        nginx_->WriteFile("/gib/part" + std::to_string(i) + ".bin", 256u << 20, 100 + i);
        urls.push_back(nginx_->Url("/gib/part" + std::to_string(i) + ".bin"));
    }
    CJob* job = NewJob(urls);
    std::int64_t start = plat::MonotonicMs();
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 300000));
    double seconds = (plat::MonotonicMs() - start) / 1000.0;
    std::printf("1 GiB in %.2f s (%.1f MiB/s)\n", seconds, 1024.0 / seconds);
    for (int i = 0; i < 4; ++i) {
        std::string got = ReadFile(Folder() + "part" + std::to_string(i) + ".bin");
        EXPECT_TRUE(got == PseudoRandomBytes(256u << 20, 100 + i)) << i;
    }
}
