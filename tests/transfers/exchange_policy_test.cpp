// The exchange policy every session follows, against servers that lie, loop,
// trickle and answer with something that is not the file: grouped by rule,
// through the running service and the direct downloader (and its document
// session), with real nginx where a real server shows the case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/file_handle.h"
#include "platform/files.h"
#include "service/base/job.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait_for.h"
#include "tests/transfers/direct_job_fixture.h"
#include "transfers/connection_recipe.h"
#include "transport/cp_mutex.h"

namespace {

std::string Head(const std::string& status, const std::string& headers = "") {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n";
}

class ExchangePolicyTest : public DirectJobTest {
protected:
    void TearDown() override {
        SetLowSpeedLimitForTesting(LowSpeedLimit{});
        DirectJobTest::TearDown();
    }
    // Runs a one-file job to its end (516) or its failure message (517/513).
    void RunJob(CJob* job, int waitMs = 30000) {
        ASSERT_EQ(Manager()->StartJob(job, 1), 512);
        ASSERT_TRUE(
            WaitFor([&] { return events_.CountOf(516) + events_.CountOf(517) > 0; }, waitMs));
    }
    std::string MessageText(CJob* job) {
        auto messages = Messages(job);
        return messages.empty() ? "(none)" : messages.front().second;
    }
};

}  // namespace

// Rule: the body is exactly the announced length.
TEST_F(ExchangePolicyTest, BytesPastTheLengthNeverReachTheFile) {
    const std::string body = PseudoRandomBytes(300000, 11);
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 295000\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("200 OK", "Content-Length: 295000\r\n") + body + "\r\n"),
         ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/f.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "f.bin") == body.substr(0, 295000));
}

// Rule: a body in a content coding is never a file.
TEST_F(ExchangePolicyTest, ContentEncodingIsAFailureNeverADownloadedFile) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 10\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("200 OK", "Content-Length: 10\r\nContent-Encoding: gzip\r\n") +
                          "\x1f\x8b\x08\x00zzzzzz"),
         ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/g.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 0);
    EXPECT_NE(MessageText(job).find("Content-Encoding gzip"), std::string::npos);
    EXPECT_EQ(server.Connections(), 1 + 3);
    // Nothing under the file's name, nor a partial file of nothing.
    EXPECT_EQ(plat::FileLength(Folder() + "g.bin"), -1);
    EXPECT_EQ(plat::FileLength(Folder() + "g.bin.part"), -1);
}

TEST_F(ExchangePolicyTest, ASizeProbeRefusesAnEncodedAnswer) {
    ScriptedServer server;
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("200 OK", "Content-Length: 10\r\nContent-Encoding: br\r\n")),
         ScriptStep::Close()});
    CJob* job = NewJob({server.Url("/g.bin")});
    RunJob(job);
    EXPECT_NE(MessageText(job).find("Content-Encoding br"), std::string::npos);
    EXPECT_EQ(server.Connections(), 1);
}

// Rule: every redirect is an attempt; a loop ends within them, with one line.
TEST_F(ExchangePolicyTest, RedirectLoopOnTheFileEndsWithinTheAttempts) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 10\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("302 Found", "Location: /loop.bin\r\nContent-Length: 0\r\n")),
         ScriptStep::Stall()});
    const std::string url = server.Url("/loop.bin");
    CJob* job = NewJob({url});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 0);
    EXPECT_EQ(server.Connections(), 1 + 3);
    EXPECT_TRUE(LogHas("[OstrelLib] Redirect limit reached : " + url));
    EXPECT_TRUE(LogHas("[OstrelLib] TryMax Over : " + url));
}

TEST_F(ExchangePolicyTest, RedirectLoopOfTheFileListEndsAfterTwentyRedirects) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("307 Temporary Redirect", "Location: list.txt\r\n")),
                      ScriptStep::Stall()});
    {
        cpLockGuard guard(Manager()->Lock());
        EXPECT_EQ(Manager()->LoadDocument(server.Url("/dir/list.txt").c_str()), kResultOk);
    }
    ASSERT_TRUE(events_.WaitFor(kEventDocumentFailed, 1, 20000));
    EXPECT_EQ(server.Connections(), 21);
    EXPECT_NE(Manager()->DocumentFailure().find("more than 20 redirects"), std::string::npos)
        << Manager()->DocumentFailure();
}

// Rule: bytes on disk are never discarded without a whole replacement body.
TEST_F(ExchangePolicyTest, APartFromElsewhereKeepsTheHalfOnDiskAndTheWholeFileIsAskedOnce) {
    const std::string body = PseudoRandomBytes(4000, 12);
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    ASSERT_TRUE(plat::AppendToFile(Folder() + "h.bin", body.substr(0, 2000)));
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 4000\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("206 Partial Content",
                               "Content-Range: bytes 0-999/4000\r\nContent-Length: 1000\r\n") +
                          body.substr(0, 1000)),
         ScriptStep::Stall()});
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Sleep(300), ScriptStep::Send(Ok(body)),
                      ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/h.bin")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(WaitFor([&] { return server.Connections() == 3; }, 20000));
    // The wrong part was not written and the half is still there, as the
    // partial file it is.
    EXPECT_TRUE(ReadFile(Folder() + "h.bin.part") == body.substr(0, 2000));
    ASSERT_TRUE(events_.WaitFor(516, 1, 20000));
    EXPECT_TRUE(ReadFile(Folder() + "h.bin") == body);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[1].find("Range: bytes=2000-"), std::string::npos);
    EXPECT_EQ(requests[2].find("Range:"), std::string::npos) << requests[2];
}

TEST_F(ExchangePolicyTest, AServerThatNeverHonoursTheRangeIsAskedAFewTimesAndTheHalfStays) {
    const std::string body = PseudoRandomBytes(4000, 13);
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    ASSERT_TRUE(plat::AppendToFile(Folder() + "n.bin", body.substr(0, 2000)));
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 4000\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("206 Partial Content",
                               "Content-Range: bytes 0-9/4000\r\nContent-Length: 10\r\n") +
                          body.substr(0, 10)),
         ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/n.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 0);
    EXPECT_EQ(server.Connections(), 1 + 3);
    EXPECT_TRUE(ReadFile(Folder() + "n.bin") == body.substr(0, 2000));
}

TEST_F(ExchangePolicyTest, AServerWithoutRangesReplacesTheFileWholeAndTheLogSaysSo) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    NginxServer nginx("location /whole/ { max_ranges 0; }");
    const std::string body = nginx.WriteFile("/whole/r.bin", 6000, 15);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    ASSERT_TRUE(plat::AppendToFile(Folder() + "r.bin", body.substr(0, 2500)));
    CJob* job = NewJob({nginx.Url("/whole/r.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "r.bin") == body);
    bool said = false;
    for (const std::string& line : ServiceLogMessages())
        said |= line.find("/whole/r.bin ignored the range (from byte 2500)") != std::string::npos;
    EXPECT_TRUE(said);
}

// Rule: a head is HTTP or it is refused. Read without the line, this one
// would be a 15-byte body holding the chunk framing.
TEST_F(ExchangePolicyTest, AHeadLineThatIsNoFieldFailsTheJobWithTheLineNamed) {
    ScriptedServer server;
    const std::string answer =
        Head("200 OK", "Content-Length: 15\r\nTransfer-Encoding : chunked\r\n") +
        "5\r\nhello\r\n0\r\n\r\n";
    for (int i = 0; i < 3; ++i)
        server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(answer), ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/t.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 0);
    EXPECT_NE(MessageText(job).find("\"Transfer-Encoding : chunked\""), std::string::npos)
        << MessageText(job);
    EXPECT_FALSE(std::filesystem::exists(Folder() + "t.bin"));
}

// Game releases hold empty files: a length of 0 is a size, and the body
// that has none is whole at once.
TEST_F(ExchangePolicyTest, AnEmptyFileArrivesAsAnEmptyFile) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    NginxServer nginx;
    nginx.WriteText("/e/empty.dat", "");
    const std::string body = nginx.WriteFile("/e/full.bin", 3000, 16);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    // A server that refuses even the first byte of an empty file, as
    // RFC 9110 lets it: 416 with "bytes */0".
    ScriptedServer refusing;
    const std::string refused =
        Head("416 Range Not Satisfiable", "Content-Range: bytes */0\r\nContent-Length: 0\r\n");
    refusing.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(refused),
                        ScriptStep::WaitRequest(), ScriptStep::Send(refused), ScriptStep::Stall()});
    CJob* job = NewJob({nginx.Url("/e/empty.dat"), nginx.Url("/e/full.bin"),
                        refusing.Url("/e/other.dat")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 1) << MessageText(job);
    EXPECT_EQ(plat::FileLength(Folder() + "empty.dat"), 0);
    EXPECT_EQ(plat::FileLength(Folder() + "other.dat"), 0);
    EXPECT_TRUE(ReadFile(Folder() + "full.bin") == body);
}

TEST_F(ExchangePolicyTest, AnUnfittingRangeAnswerAsksForTheWholeFileInsteadOfTruncating) {
    const std::string body = PseudoRandomBytes(3000, 14);
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    ASSERT_TRUE(plat::AppendToFile(Folder() + "q.bin", body.substr(0, 1000)));
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 3000\r\n")),
                      ScriptStep::Close()});
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("416 Range Not Satisfiable",
                                            "Content-Range: bytes */3000\r\n"
                                            "Content-Length: 0\r\n")),
                      ScriptStep::Stall()});
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(Ok(body)), ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/q.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "q.bin") == body);
    EXPECT_EQ(server.Requests().back().find("Range:"), std::string::npos);
}

// Rule: a server that trickles is stalled, however often a byte arrives.
TEST_F(ExchangePolicyTest, ATricklingServerIsRetriedThenGivenUpWithItsCause) {
    SetLowSpeedLimitForTesting(LowSpeedLimit{1024, 1});
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 100000\r\n")),
                      ScriptStep::Close()});
    Script trickle = {ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 100000\r\n"))};
    for (int i = 0; i < 40; ++i) {
        trickle.push_back(ScriptStep::Send("x"));
        trickle.push_back(ScriptStep::Sleep(200));
    }
    server.AddScript(trickle);
    CJob* job = NewJob({server.Url("/slow.bin")});
    RunJob(job);
    EXPECT_EQ(events_.CountOf(516), 0);
    EXPECT_EQ(server.Connections(), 1 + 3);
    EXPECT_NE(MessageText(job).find("too slowly"), std::string::npos) << MessageText(job);
}

// Rule: 301, 302, 303, 307 and 308 are followed, a path-only Location too, by
// the document, the size probe, the size sum and the file alike.
TEST_F(ExchangePolicyTest, EveryRedirectFormIsFollowedByEverySession) {
    StartNginx(
        "absolute_redirect off;\n"
        "location = /list.txt { return 301 /real/list.txt; }\n"
        "location = /a.bin { return 307 /real/a.bin; }\n"
        "location = /b.bin { return 308 /real/b.bin; }\n"
        "location = /c.bin { return 303 /real/c.bin; }\n");
    const std::string a = nginx_->WriteFile("/real/a.bin", 5000, 21);
    const std::string b = nginx_->WriteFile("/real/b.bin", 6000, 22);
    const std::string c = nginx_->WriteFile("/real/c.bin", 7000, 23);
    nginx_->WriteText("/real/list.txt", nginx_->Url("/a.bin") + "\n");
    {
        cpLockGuard guard(Manager()->Lock());
        EXPECT_EQ(Manager()->LoadDocument(nginx_->Url("/list.txt").c_str()), kResultOk);
    }
    ASSERT_TRUE(events_.WaitFor(kEventDocumentComplete, 1, 10000));
    const char* data = nullptr;
    std::int64_t length = 0;
    ASSERT_TRUE(Manager()->DocumentBytes(&data, &length));
    EXPECT_EQ(std::string(data, static_cast<std::size_t>(length)), nginx_->Url("/a.bin") + "\n");

    CContentLengthChecker* checker = Manager()->EnsureContentLengthChecker();
    for (const char* path : {"/a.bin", "/b.bin", "/c.bin"})
        EXPECT_EQ(checker->AddUrl(nginx_->Url(path).c_str()), kResultOk);
    checker->Start();
    ASSERT_TRUE(events_.WaitFor(kEventLengthsKnown, 1, 10000));
    std::int64_t total = 0;
    ASSERT_TRUE(Manager()->CheckedTotal(&total));
    EXPECT_EQ(total, 18000);

    CJob* job = NewJob({nginx_->Url("/a.bin"), nginx_->Url("/b.bin"), nginx_->Url("/c.bin")});
    RunJob(job);
    ASSERT_EQ(events_.CountOf(516), 1) << MessageText(job);
    EXPECT_TRUE(ReadFile(Folder() + "a.bin") == a);
    EXPECT_TRUE(ReadFile(Folder() + "b.bin") == b);
    EXPECT_TRUE(ReadFile(Folder() + "c.bin") == c);
}

TEST_F(ExchangePolicyTest, ARedirectToAnotherSchemeEndsTheFileWithItsReason) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK", "Content-Length: 10\r\n")),
                      ScriptStep::Close()});
    server.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("302 Found", "Location: ftp://files.example/x.bin\r\n")),
         ScriptStep::Stall()});
    CJob* job = NewJob({server.Url("/x.bin")});
    RunJob(job);
    EXPECT_NE(MessageText(job).find("neither http nor https"), std::string::npos)
        << MessageText(job);
    EXPECT_EQ(server.Connections(), 2);
}

// Rule: the file list may come chunked, bounded like every document; a file
// may not (its size must be known before it is written).
TEST_F(ExchangePolicyTest, AChunkedFileListIsDecodedAndAChunkedFileRefused) {
    ScriptedServer lists;
    lists.AddScript({ScriptStep::WaitRequest(),
                     ScriptStep::Send(Head("200 OK", "Transfer-Encoding: chunked\r\n") +
                                      "7\r\nhttp://\r\n9\r\nh/a.bin\r\n\r\n0\r\n\r\n"),
                     ScriptStep::Stall()});
    {
        cpLockGuard guard(Manager()->Lock());
        EXPECT_EQ(Manager()->LoadDocument(lists.Url("/list.txt").c_str()), kResultOk);
    }
    ASSERT_TRUE(events_.WaitFor(kEventDocumentComplete, 1, 10000));
    const char* data = nullptr;
    std::int64_t length = 0;
    ASSERT_TRUE(Manager()->DocumentBytes(&data, &length));
    EXPECT_EQ(std::string(data, static_cast<std::size_t>(length)), "http://h/a.bin\r\n");

    ScriptedServer files;
    files.AddScript(
        {ScriptStep::WaitRequest(),
         ScriptStep::Send(Head("200 OK", "Transfer-Encoding: chunked\r\n") + "3\r\nabc\r\n"),
         ScriptStep::Stall()});
    CJob* job = NewJob({files.Url("/c.bin")});
    RunJob(job);
    EXPECT_NE(MessageText(job).find("did not announce the file's size"), std::string::npos)
        << MessageText(job);
}

// Rule: the free space is compared with what the whole job still needs.
TEST_F(ExchangePolicyTest, AJobThatDoesNotFitAsAWholeDoesNotStart) {
    StartNginx();
    nginx_->WriteFile("/one.bin", 600, 31);
    nginx_->WriteFile("/two.bin", 600, 32);
    plat::SetFreeDiskBytesForTesting(1000);  // each fits alone, both do not
    CJob* job = NewJob({nginx_->Url("/one.bin"), nginx_->Url("/two.bin")});
    RunJob(job);
    auto messages = Messages(job);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, 513);
    EXPECT_NE(messages[0].second.find("needs 1200 more bytes, 1000 are free"), std::string::npos)
        << messages[0].second;
    EXPECT_FALSE(plat::PathExists(Folder() + "one.bin"));
}

// Rule: "start over" replaces what is on disk, whatever its size.
TEST_F(ExchangePolicyTest, StartOverReplacesAWrongFileOfTheRightSize) {
    StartNginx();
    const std::string content = nginx_->WriteFile("/same.bin", 5000, 33);
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    ASSERT_TRUE(plat::AppendToFile(Folder() + "same.bin", std::string(5000, 'w')));
    CJob* job = NewJob({nginx_->Url("/same.bin")});
    // Before the start no downloader holds the job: the answer is kept with it.
    EXPECT_EQ(Manager()->AnswerResume(job, 0, 1), kResultNotAttached);
    RunJob(job);
    ASSERT_EQ(events_.CountOf(516), 1);
    EXPECT_TRUE(ReadFile(Folder() + "same.bin") == content);
}

// Rule: errors name their cause.
TEST_F(ExchangePolicyTest, AFileThatCannotBeWrittenSaysWhereAndWhy) {
    StartNginx();
    nginx_->WriteFile("/w.bin", 100, 34);
    ASSERT_EQ(plat::EnsureFolderPath(Folder()), 1);
    // A folder in the file's place refuses every writer, root included.
    ASSERT_TRUE(plat::CreateFolder(Folder() + "w.bin"));
    CJob* job = NewJob({nginx_->Url("/w.bin")});
    RunJob(job);
    const std::string text = MessageText(job);
    EXPECT_NE(text.find("cannot write " + Folder() + "w.bin: Is a directory"), std::string::npos)
        << text;
}

TEST_F(ExchangePolicyTest, RunningOutOfFileDescriptorsIsSaid) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(Ok("x")), ScriptStep::Stall()});
    std::vector<int> held;
    for (int fd = dup(0); fd >= 0; fd = dup(0)) held.push_back(fd);
    {
        cpLockGuard guard(Manager()->Lock());
        EXPECT_EQ(Manager()->LoadDocument(server.Url("/list.txt").c_str()), kResultOk);
    }
    for (int fd : held) close(fd);
    ASSERT_TRUE(events_.WaitFor(kEventDocumentFailed, 1, 5000));
    EXPECT_NE(Manager()->DocumentFailure().find("out of file descriptors"), std::string::npos)
        << Manager()->DocumentFailure();
}
