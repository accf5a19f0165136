// Summing the file list's remote sizes: nginx for real files and redirects,
// the scripted server for concurrency and faults, and the running service
// for the events and GetRemainingBytes.
#include "transfers/content_length_checker.h"

#include <gtest/gtest.h>

#include "service/download_service.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/service_fixture.h"

namespace {

class CheckerListener : public IContentLengthCheckerEventListener {
public:
    void OnLengthsKnown() override { ++known; }
    void OnLengthCheckFailed() override { ++failed; }
    void OnLengthCheckAborted() override { ++aborted; }
    bool Ended() const { return known + failed + aborted > 0; }
    void Clear() { known = failed = aborted = 0; }

    int known = 0;
    int failed = 0;
    int aborted = 0;
};

std::string RefusedUrl() {
    plat::SockAddrIn port = UnusedLoopbackPort();
    return "http://127.0.0.1:" + std::to_string(plat::NetToHost16(port.portNet)) + "/gone.bin";
}

Script AnswerAfter(int ms, const std::string& head) {
    return {ScriptStep::WaitRequest(), ScriptStep::Sleep(ms), ScriptStep::Send(head + "\r\n\r\n"),
            ScriptStep::Stall()};
}

class ContentLengthTest : public NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        checker_ = std::make_unique<CContentLengthChecker>(&listener_);
    }
    void TearDown() override {
        checker_.reset();
        NetworkTest::TearDown();
    }
    void CheckAndWait(const std::vector<std::string>& urls, int ms = 15000) {
        listener_.Clear();
        for (const std::string& url : urls) checker_->AddUrl(url.c_str());
        checker_->Start();
        ASSERT_TRUE(Pump([&] { return listener_.Ended(); }, ms));
    }

    CheckerListener listener_;
    std::unique_ptr<CContentLengthChecker> checker_;
};

class ContentLengthNginxTest : public ContentLengthTest {
protected:
    void SetUp() override {
        ContentLengthTest::SetUp();
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        server_ = std::make_unique<NginxServer>(
            "location = /hop1 { return 302 /f.bin; }\n"
            "location = /hop2 { return 303 /hop1; }\n"
            "location = /hop3 { return 302 /hop2; }\n");
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }
    std::unique_ptr<NginxServer> server_;
};

}  // namespace

TEST_F(ContentLengthNginxTest, SizesOfAFileListAreSummedOnce) {
    std::vector<std::string> urls;
    std::int64_t expected = 0;
    for (int i = 1; i <= 7; ++i) {
        std::string path = "/files/part" + std::to_string(i) + ".bin";
        expected += static_cast<std::int64_t>(server_->WriteFile(path, 1000u * i + i).size());
        urls.push_back(server_->Url(path));
    }
    CheckAndWait(urls);
    EXPECT_EQ(listener_.known, 1);
    EXPECT_EQ(checker_->TotalBytes(), expected);
    EXPECT_EQ(checker_->SessionCount(), 0u);
    PumpFor(300);
    EXPECT_EQ(listener_.known, 1);
}

TEST_F(ContentLengthNginxTest, RedirectsUseUpTheThreeAttempts) {
    server_->WriteFile("/f.bin", 4321);
    CheckAndWait({server_->Url("/hop2")});  // two redirects and the answer: three requests
    EXPECT_EQ(listener_.known, 1);
    EXPECT_EQ(checker_->TotalBytes(), 4321);
    CheckAndWait({server_->Url("/hop3")});  // would need a fourth
    EXPECT_EQ(listener_.failed, 1);
    EXPECT_EQ(listener_.known, 0);
}

TEST_F(ContentLengthNginxTest, EachCheckStartsFromZero) {
    server_->WriteFile("/a.bin", 1000);
    server_->WriteFile("/b.bin", 300);
    CheckAndWait({server_->Url("/a.bin")});
    ASSERT_EQ(checker_->TotalBytes(), 1000);
    CheckAndWait({server_->Url("/b.bin")});
    EXPECT_EQ(checker_->TotalBytes(), 300);
    EXPECT_EQ(checker_->Completed(), 1);
}

TEST_F(ContentLengthNginxTest, DeadFirstMirrorFallsBackToTheNextOne) {
    server_->WriteFile("/f.bin", 777);
    CheckAndWait({RefusedUrl() + " | " + server_->Url("/f.bin")});
    EXPECT_EQ(listener_.known, 1);
    EXPECT_EQ(checker_->TotalBytes(), 777);
}

TEST_F(ContentLengthTest, FiveProbesRunAtATime) {
    ScriptedServer server;
    server.AddScript(AnswerAfter(1000, "HTTP/1.1 200 OK\r\nContent-Length: 1000"));
    listener_.Clear();
    for (int i = 0; i < 12; ++i) checker_->AddUrl(server.Url("/f" + std::to_string(i)).c_str());
    checker_->Start();
    ASSERT_TRUE(Pump([&] { return server.Connections() >= 5; }));
    PumpFor(300);  // well before the first answer
    EXPECT_EQ(server.Connections(), 5);
    int maxRunning = 0;
    ASSERT_TRUE(Pump(
        [&] {
            maxRunning = std::max(maxRunning, checker_->Running());
            return listener_.Ended();
        },
        15000));
    EXPECT_EQ(maxRunning, 5);
    EXPECT_EQ(listener_.known, 1);
    EXPECT_EQ(checker_->TotalBytes(), 12000);
    EXPECT_EQ(server.Requests().size(), 12u);
}

TEST_F(ContentLengthTest, UrlFailingThreeTimesEndsTheCheckKeepingTheSum) {
    ScriptedServer good, bad;
    good.AddScript(AnswerAfter(0, "HTTP/1.1 200 OK\r\nContent-Length: 500"));
    bad.AddScript(AnswerAfter(200, "HTTP/1.1 500 Oops\r\nContent-Length: 0"));
    CheckAndWait({good.Url("/ok"), bad.Url("/broken")});
    EXPECT_EQ(listener_.failed, 1);
    EXPECT_EQ(listener_.known, 0);
    EXPECT_EQ(bad.Requests().size(), 3u);
    EXPECT_EQ(checker_->TotalBytes(), 500);
    EXPECT_EQ(checker_->SessionCount(), 0u);
}

TEST_F(ContentLengthTest, AnsweringFirstAlternativeIsTheOnlyOneAsked) {
    ScriptedServer first, second;
    first.AddScript(AnswerAfter(0, "HTTP/1.1 200 OK\r\nContent-Length: 12"));
    second.AddScript(AnswerAfter(0, "HTTP/1.1 200 OK\r\nContent-Length: 99"));
    CheckAndWait({first.Url("/a") + "|" + second.Url("/a")});
    EXPECT_EQ(checker_->TotalBytes(), 12);
    EXPECT_EQ(second.Connections(), 0);
}

TEST_F(ContentLengthTest, EmptyListReportsZeroAtOnce) {
    checker_->Start();
    EXPECT_EQ(listener_.known, 1);
    EXPECT_EQ(checker_->TotalBytes(), 0);
}

using ContentLengthServiceTest = ServiceTest;

TEST_F(ContentLengthServiceTest, JobManagersCheckerPosts525AndFeedsRemainingBytes) {
    ScriptedServer server;
    server.AddScript(AnswerAfter(0, "HTTP/1.1 200 OK\r\nContent-Length: 4096"));
    CContentLengthChecker* checker = Manager()->EnsureContentLengthChecker();
    ASSERT_NE(checker, nullptr);
    EXPECT_EQ(Manager()->EnsureContentLengthChecker(), checker);
    EXPECT_EQ(checker->AddUrl(server.Url("/1").c_str()), 512);
    EXPECT_EQ(checker->AddUrl(server.Url("/2").c_str()), 512);
    checker->Start();
    ASSERT_TRUE(events_.WaitFor(kEventLengthsKnown));

    CJob* job = nullptr;
    ASSERT_EQ(Manager()->CreateJob(&job, "joltwave_zorakine4"), 512);
    std::int64_t remaining = 0;
    EXPECT_EQ(GetRemainingBytes(job, &remaining), 512);
    EXPECT_EQ(remaining, 8192);

    checker->AddUrl(RefusedUrl().c_str());
    checker->Start();
    ASSERT_TRUE(events_.WaitFor(kEventLengthCheckFailed));
    EXPECT_EQ(events_.CountOf(kEventLengthsKnown), 1);
}
