// The in-memory document fetch: real nginx for documents and redirects, the
// scripted server for the faults, and the running service for the events
// the window sees.
#include "transfers/data_download_session.h"

#include <gtest/gtest.h>

#include "platform/resolver.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/service_fixture.h"

namespace {

class DocumentListener : public IDataDownloadSessionEventListener {
public:
    void OnDocumentComplete() override { ++completed; }
    void OnDocumentFailed(int reason) override { failures.push_back(reason); }
    void OnDocumentTick() override { ++ticks; }
    bool Ended() const { return completed > 0 || !failures.empty(); }

    int completed = 0;
    int ticks = 0;
    std::vector<int> failures;
};

class DocumentSessionTest : public NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        session_ = std::make_unique<CDataDownloadSession>(&listener_);
    }
    void TearDown() override {
        session_.reset();
        NetworkTest::TearDown();
    }
    // Fetches `url` and waits for the one report.
    void FetchAndWait(const std::string& url, int ms = 10000) {
        session_->Fetch(url.c_str());
        ASSERT_TRUE(Pump([&] { return listener_.Ended(); }, ms)) << url;
    }
    std::string Document() const {
        const char* data = session_->DocumentData();
        return data ? std::string(data, static_cast<std::size_t>(session_->DocumentLength())) : "";
    }
    static std::string Head(const std::string& statusAndHeaders) {
        return "HTTP/1.1 " + statusAndHeaders + "\r\n\r\n";
    }

    DocumentListener listener_;
    std::unique_ptr<CDataDownloadSession> session_;
};

class DocumentNginxTest : public DocumentSessionTest {
protected:
    void SetUp() override {
        DocumentSessionTest::SetUp();
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        server_ = std::make_unique<NginxServer>(
            "location = /a { return 303 /b; }\n"
            "location = /b { return 302 /list.txt; }\n"
            "location = /loop { return 302 /loop; }\n");
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }
    std::unique_ptr<NginxServer> server_;
};

using Failures = std::vector<int>;

}  // namespace

TEST_F(DocumentNginxTest, WholeDocumentArrivesByteIdenticalAndTheSessionGoesQuiet) {
    std::string content = server_->WriteFile("/list.txt", 200000);
    FetchAndWait(server_->Url("/list.txt"));
    EXPECT_EQ(listener_.completed, 1);
    EXPECT_TRUE(Document() == content);
    EXPECT_FALSE(session_->Fetching());
    EXPECT_FALSE(session_->Ticking());
}

TEST_F(DocumentNginxTest, ChainOf303And302IsFollowed) {
    std::string content = server_->WriteFile("/list.txt", 3000);
    FetchAndWait(server_->Url("/a"));
    EXPECT_EQ(listener_.completed, 1);
    EXPECT_TRUE(Document() == content);
    EXPECT_NE(session_->RedirectTarget().find("/list.txt"), std::string::npos);
}

TEST_F(DocumentNginxTest, RedirectLoopAndMissingFileAreBadResponses) {
    FetchAndWait(server_->Url("/loop"));
    EXPECT_EQ(listener_.failures, Failures{kDocumentBadResponse});
    listener_.failures.clear();
    FetchAndWait(server_->Url("/missing.txt"));
    EXPECT_EQ(listener_.failures, Failures{kDocumentBadResponse});
    EXPECT_EQ(listener_.completed, 0);
}

TEST_F(DocumentSessionTest, UnusableHeadsAreFailuresNotEmptyDocuments) {
    for (const char* head : {"200 OK\r\nContent-Length: 0", "302 Found\r\nContent-Length: 0",
                             "200 OK\r\nConnection: close", "200 OK\r\nContent-Length: 16777217"}) {
        ScriptedServer server;
        server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(Head(head) + "body"),
                          ScriptStep::Stall()});
        listener_.failures.clear();
        FetchAndWait(server.Url("/list.txt"));
        EXPECT_EQ(listener_.failures, Failures{kDocumentBadResponse}) << head;
        EXPECT_EQ(server.Connections(), 1) << head;
        EXPECT_EQ(session_->DocumentData(), nullptr);
    }
}

TEST_F(DocumentSessionTest, CloseBeforeTheBodyIsCompleteIsFailure6) {
    const std::string cut[] = {"", Head("200 OK\r\nContent-Length: 100") + std::string(40, 'x')};
    for (const std::string& sent : cut) {
        ScriptedServer server;
        server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(sent), ScriptStep::Close()});
        listener_.failures.clear();
        FetchAndWait(server.Url("/"));
        EXPECT_EQ(listener_.failures, Failures{kDocumentClosedEarly}) << sent.size();
        EXPECT_EQ(session_->DocumentLength(), 0);
    }
}

TEST_F(DocumentSessionTest, BytesBeyondTheAnnouncedLengthAreNotKept) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK\r\nContent-Length: 10") + "0123456789EXTRA"),
                      ScriptStep::Stall()});
    FetchAndWait(server.Url("/"));
    EXPECT_EQ(listener_.completed, 1);
    EXPECT_EQ(Document(), "0123456789");
}

TEST_F(DocumentSessionTest, RefusedConnectIsFailure3AndAHostWithoutAddressFailure6) {
    plat::SockAddrIn port = UnusedLoopbackPort();
    FetchAndWait("http://127.0.0.1:" + std::to_string(plat::NetToHost16(port.portNet)) + "/x");
    EXPECT_EQ(listener_.failures, Failures{kDocumentConnectFailed});

    listener_.failures.clear();
    plat::SetResolverForTesting([](const std::string&) { return std::vector<std::uint32_t>{}; });
    session_->Fetch("http://nowhere.example/list.txt");
    plat::SetResolverForTesting(nullptr);
    ASSERT_TRUE(Pump([&] { return listener_.Ended(); }));
    EXPECT_EQ(listener_.failures, Failures{kDocumentClosedEarly});
}

TEST_F(DocumentSessionTest, StalledBodyTicksEverySecondThenTimesOut) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK\r\nContent-Length: 100") + "0123456789"),
                      ScriptStep::Stall()});
    FetchAndWait(server.Url("/"), 12000);
    EXPECT_EQ(listener_.failures, Failures{kDocumentIdleTimeout});
    EXPECT_GE(listener_.ticks, 3);
    EXPECT_LE(listener_.ticks, 7);
    int ticks = listener_.ticks;
    PumpFor(1500);
    EXPECT_EQ(listener_.ticks, ticks);
}

TEST_F(DocumentSessionTest, NewFetchDropsTheRunningOneWithoutAReport) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Stall()});
    server.AddScript({ScriptStep::WaitRequest(),
                      ScriptStep::Send(Head("200 OK\r\nContent-Length: 5") + "hello"),
                      ScriptStep::Stall()});
    session_->Fetch(server.Url("/first").c_str());
    ASSERT_TRUE(Pump([&] { return server.Requests().size() == 1; }));
    FetchAndWait(server.Url("/second"));
    EXPECT_EQ(Document(), "hello");
    // The stalled first connection would time out after 4 s if it still
    // reported here.
    PumpFor(5500);
    EXPECT_TRUE(listener_.failures.empty());
    EXPECT_EQ(listener_.completed, 1);
}

using DocumentServiceTest = ServiceTest;

TEST_F(DocumentServiceTest, SlowFetchPostsTicksThenTheDocumentIsCopiedOut) {
    const std::string list = "http://a/1\nhttp://a/2\n";
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Sleep(1600),
                      ScriptStep::Send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                       std::to_string(list.size()) + "\r\n\r\n" + list),
                      ScriptStep::Stall()});
    EXPECT_EQ(Manager()->LoadDocument(server.Url("/filelist.txt").c_str()), 512);
    ASSERT_TRUE(events_.WaitFor(kEventDocumentComplete, 1, 8000));
    std::vector<int> codes = events_.Codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes.front(), kEventDocumentTick);
    EXPECT_EQ(codes.back(), kEventDocumentComplete);

    std::int64_t size = 0;
    ASSERT_EQ(GetDocumentSize(&size), 512);
    ASSERT_EQ(size, static_cast<std::int64_t>(list.size()));
    std::string copy(list.size(), '#');
    DocumentRecord record{copy.data(), 0, size};
    EXPECT_EQ(GetDocument(&record), 512);
    EXPECT_EQ(copy, list);
}

TEST_F(DocumentServiceTest, FailedFetchPosts523AndLeavesNoDocument) {
    plat::SockAddrIn port = UnusedLoopbackPort();
    std::string url =
        "http://127.0.0.1:" + std::to_string(plat::NetToHost16(port.portNet)) + "/list";
    EXPECT_EQ(Manager()->LoadDocument(url.c_str()), 512);
    ASSERT_TRUE(events_.WaitFor(kEventDocumentFailed));
    std::int64_t size = -1;
    EXPECT_EQ(GetDocumentSize(&size), 512);
    EXPECT_EQ(size, -1);
}
