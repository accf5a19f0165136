// Connections kept between exchanges: counted on the server side (nginx's
// $connection in its access log, or a scripted server's accept count), with
// servers that close after each answer, close idle connections early, reset
// a kept connection before answering, send past the length, and over TLS.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "http/split_url.h"
#include "service/base/service_log.h"
#include "tests/support/network_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_certificates.h"
#include "tests/support/wait_for.h"
#include "tests/transfers/direct_job_fixture.h"
#include "transfers/connection_recipe.h"
#include "transfers/recent_remote_sizes.h"
#include "transport/cp_qos.h"

namespace {

struct LogLine {
    std::string connection;
    std::string range;
    std::string uri;
};

const char kLogFormat[] = "log_format reuse '$connection \"$http_range\" $uri';";

std::vector<LogLine> ReadLogOnce(const std::string& path) {
    std::vector<LogLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        LogLine entry;
        fields >> entry.connection >> entry.range >> entry.uri;
        lines.push_back(entry);
    }
    return lines;
}

// nginx writes a line once it has sent the answer, which may be a moment
// after the client has read it: the log is read until it has `expected`
// lines (or for a bounded while).
std::vector<LogLine> ReadAccessLog(const std::string& path, std::size_t expected) {
    std::vector<LogLine> lines;
    (void)WaitFor([&] {
        lines = ReadLogOnce(path);
        return lines.size() >= expected;
    });
    return lines;
}

std::size_t DistinctConnections(const std::vector<LogLine>& lines) {
    std::set<std::string> seen;
    for (const LogLine& line : lines) seen.insert(line.connection);
    return seen.size();
}

// Every event of one exchange, in order, and the body it consumed.
class ExchangeRecord : public nwIHttpClientExEventListener {
public:
    void OnConnected(std::uint32_t) override { events += "connected "; }
    void OnHeaderReceived(std::uint32_t) override { events += "head "; }
    std::int32_t OnBodyData(std::uint32_t, const void* data, std::int32_t length) override {
        body.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        return length;
    }
    void OnComplete(std::uint32_t) override {
        events += "complete ";
        ended = true;
    }
    void OnSendReady(std::uint32_t) override {}
    void OnClosed(std::uint32_t) override {
        events += "closed ";
        ended = true;
    }
    void OnConnectFailed(std::uint32_t) override {
        events += "failed ";
        ended = true;
    }
    void OnIdleTimeout(std::uint32_t) override {
        events += "idle ";
        ended = true;
    }
    void OnHostUnreachable(std::uint32_t) override { events += "unreachable "; }

    std::string events;
    std::string body;
    bool ended = false;
};

std::string OkKeepAlive(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: keep-alive\r\n\r\n" + body;
}

// Exchanges driven one by one on the test thread.
class KeptConnectionTest : public NetworkTest {
protected:
    void TearDown() override {
        DropHttpConnection(connection_);
        NetworkTest::TearDown();
    }
    // One GET to its end; the connection is then given up as a session does.
    void Fetch(const std::string& url, ExchangeRecord& record) {
        HttpConnectionSettings settings;
        ASSERT_TRUE(OpenHttpConnection(connection_, settings, &record, url));
        ASSERT_TRUE(Pump([&] { return record.ended; })) << record.events;
        DropHttpConnection(connection_);
    }

    vzSmartPtr connection_;
};

class JobReuseTest : public DirectJobTest {
protected:
    void StartLoggedNginx(const std::string& serverConfig = "") {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        nginx_ = std::make_unique<NginxServer>(
            "access_log " + logs_.Path() + "access.log reuse;\n" + serverConfig, kLogFormat);
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
    }
    // A job of `count` files of 16 KiB, run to its end; the files checked.
    void RunSmallFilesJob(int count) {
        std::vector<std::string> urls;
        std::vector<std::string> contents;
        for (int i = 0; i < count; ++i) {
            const std::string path = "/zk4/f" + std::to_string(i) + ".bin";
            contents.push_back(nginx_->WriteFile(path, 16384, i + 1));
            urls.push_back(nginx_->Url(path));
        }
        CJob* job = NewJob(urls);
        ASSERT_EQ(Manager()->StartJob(job, 1), 512);
        ASSERT_TRUE(events_.WaitFor(516, 1, 60000)) << events_.CountOf(517);
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(ReadFile(Folder() + "f" + std::to_string(i) + ".bin") == contents[i]) << i;
    }
    std::vector<LogLine> Log(std::size_t expected) const {
        return ReadAccessLog(logs_.Path() + "access.log", expected);
    }

    TempFolder logs_;
};

}  // namespace

TEST_F(JobReuseTest, FiftyFilesAreDownloadedOverOneConnection) {
    StartLoggedNginx();
    RunSmallFilesJob(50);
    const std::vector<LogLine> log = Log(100);
    std::vector<LogLine> downloads;
    for (const LogLine& line : log)
        if (line.range != "\"bytes=0-0\"") downloads.push_back(line);
    // A size probe and a download per file: 100 requests. The downloads run
    // one after another on one connection; the probes, five at a time, ask
    // for one byte and hand their connections on once it is read.
    EXPECT_EQ(log.size(), 100u);
    EXPECT_EQ(downloads.size(), 50u);
    EXPECT_EQ(DistinctConnections(downloads), 1u);
    EXPECT_LE(DistinctConnections(log), 11u);
}

TEST_F(JobReuseTest, ServerThatClosesAfterEachAnswerGetsANewConnectionForEach) {
    StartLoggedNginx("keepalive_requests 1;");
    RunSmallFilesJob(10);
    const std::vector<LogLine> log = Log(20);
    EXPECT_EQ(log.size(), 20u);
    EXPECT_EQ(DistinctConnections(log), 20u);
}

TEST_F(KeptConnectionTest, ConnectionResetBeforeTheAnswerIsSentAgainUnnoticed) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKeepAlive("first")),
                      ScriptStep::WaitRequest(), ScriptStep::Reset()});
    server.AddScript(
        {ScriptStep::WaitRequest(), ScriptStep::Send(OkKeepAlive("second")), ScriptStep::Stall()});
    ExchangeRecord first;
    Fetch(server.Url("/a"), first);
    EXPECT_EQ(first.body, "first");

    ExchangeRecord second;
    Fetch(server.Url("/b"), second);
    // The request went out on the kept connection, met the reset, and went
    // again on a new one: the listener saw one clean exchange.
    EXPECT_EQ(second.events, "connected head complete ");
    EXPECT_EQ(second.body, "second");
    EXPECT_EQ(server.Connections(), 2);
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1], requests[2]);
}

TEST_F(KeptConnectionTest, ConnectionThatFailsAgainAfterTheRetryEndsTheAttempt) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKeepAlive("first")),
                      ScriptStep::WaitRequest(), ScriptStep::Reset()});
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Reset()});
    ExchangeRecord first;
    Fetch(server.Url("/a"), first);
    ExchangeRecord second;
    Fetch(server.Url("/b"), second);
    // Sent again once only; the second failure is the session's to handle.
    EXPECT_NE(second.events.find("closed"), std::string::npos) << second.events;
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(KeptConnectionTest, BytesPastTheLengthSpoilTheConnection) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKeepAlive("hello") + "XYZ"),
                      ScriptStep::Stall()});
    server.AddScript(
        {ScriptStep::WaitRequest(), ScriptStep::Send(OkKeepAlive("world")), ScriptStep::Stall()});
    ExchangeRecord first;
    Fetch(server.Url("/a"), first);
    EXPECT_EQ(first.body, "hello");
    ExchangeRecord second;
    Fetch(server.Url("/b"), second);
    EXPECT_EQ(second.body, "world");
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(KeptConnectionTest, ConnectionTheServerClosedWhileIdleIsNotTaken) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    TempFolder logs;
    NginxServer nginx("access_log " + logs.Path() + "access.log reuse;\nkeepalive_timeout 1;\n",
                      kLogFormat);
    nginx.WriteFile("/a.bin", 3000, 1);
    const std::string b = nginx.WriteFile("/b.bin", 3000, 2);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    cpQoS()->StopSecondTimerForTesting();  // the pool keeps it as long as the server does

    ExchangeRecord first;
    Fetch(nginx.Url("/a.bin"), first);
    const std::string origin = UrlOrigin(nginx.Url("/"));
    ASSERT_EQ(cpQoS()->IdlePool().OpenFor(origin), 1u);
    ASSERT_TRUE(Pump([&] { return cpQoS()->IdlePool().OpenFor(origin) == 0; }, 10000));

    ExchangeRecord second;
    Fetch(nginx.Url("/b.bin"), second);
    EXPECT_EQ(second.events, "connected head complete ");
    EXPECT_TRUE(second.body == b);
    EXPECT_EQ(DistinctConnections(ReadAccessLog(logs.Path() + "access.log", 2)), 2u);
}

TEST_F(KeptConnectionTest, IdleConnectionIsClosedAfterAFewTicks) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    NginxServer nginx;
    nginx.WriteFile("/a.bin", 3000, 1);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    cpQoS()->StopSecondTimerForTesting();
    ExchangeRecord first;
    Fetch(nginx.Url("/a.bin"), first);
    cpCIdleConnectionPool& pool = cpQoS()->IdlePool();
    ASSERT_EQ(pool.Size(), 1u);
    for (std::uint32_t tick = 1; tick < cpCIdleConnectionPool::kIdleSeconds; ++tick) {
        cpQoS()->RunSecondTickForTesting();
        EXPECT_EQ(pool.Size(), 1u) << tick;
    }
    cpQoS()->RunSecondTickForTesting();
    EXPECT_EQ(pool.Size(), 0u);
}

class TlsReuseTest : public KeptConnectionTest {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(certificates_.Error().empty()) << certificates_.Error();
        ASSERT_TRUE(certificates_.Issue("good", "IP:127.0.0.1", 30, &good_));
        trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", certificates_.CaFile().c_str());
        KeptConnectionTest::SetUp();
    }

    TestCertificates certificates_;
    CertificateFiles good_;
    std::unique_ptr<ScopedEnv> trust_;
};

TEST_F(TlsReuseTest, HttpsExchangesShareOneVerifiedConnection) {
    TempFolder logs;
    NginxServer nginx("access_log " + logs.Path() + "access.log reuse;\n", kLogFormat);
    nginx.AddTlsListener(good_.cert, good_.key);
    const std::string a = nginx.WriteFile("/a.bin", 70000, 1);
    const std::string b = nginx.WriteFile("/b.bin", 5000, 2);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    ExchangeRecord first;
    Fetch(nginx.TlsUrl("127.0.0.1", "/a.bin"), first);
    ExchangeRecord second;
    Fetch(nginx.TlsUrl("127.0.0.1", "/b.bin"), second);
    EXPECT_TRUE(first.body == a);
    EXPECT_TRUE(second.body == b);
    EXPECT_EQ(second.events, "connected head complete ");
    const std::vector<LogLine> log = ReadAccessLog(logs.Path() + "access.log", 2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(DistinctConnections(log), 1u);
}

// The window sums the list's sizes and starts the job at once: the job's
// size check takes what the sum learned, so each file is asked for once by
// the sum and once by its download, and the free space is still checked.
TEST_F(JobReuseTest, AJobRightAfterTheSumAsksEachFileOnceMore) {
    StartLoggedNginx();
    std::vector<std::string> urls;
    for (int i = 0; i < 20; ++i) {
        const std::string path = "/zk4/s" + std::to_string(i) + ".bin";
        (void)nginx_->WriteFile(path, 4096, i + 1);
        urls.push_back(nginx_->Url(path));
    }
    auto sum = [&] {
        CContentLengthChecker* checker = Manager()->EnsureContentLengthChecker();
        for (const std::string& url : urls) ASSERT_EQ(checker->AddUrl(url.c_str()), 512);
        checker->Start();
        ASSERT_TRUE(events_.WaitFor(kEventLengthsKnown));
    };
    sum();
    CJob* job = NewJob(urls);
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(events_.WaitFor(516, 1, 60000)) << events_.CountOf(517);
    EXPECT_EQ(ReadFile(Folder() + "s7.bin").size(), 4096u);
    const std::vector<LogLine> log = Log(40);
    EXPECT_EQ(log.size(), 40u) << "20 for the sum, 20 downloads, no size probes";
    EXPECT_NE(
        ReadFile(GetServiceLogPath()).find("Sizes of 20 files known from the file list's sum"),
        std::string::npos);

    // The same sum, then a disk without room: the recalled sizes are
    // checked against it like probed ones.
    events_.Clear();
    sum();
    plat::SetFreeDiskBytesForTesting(1000);
    (void)std::system(("rm -rf '" + Folder() + "'").c_str());
    CJob* second = NewJob(urls);
    ASSERT_EQ(Manager()->StartJob(second, 1), 512);
    ASSERT_TRUE(events_.WaitFor(517));
    const auto messages = Messages(second);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, 513);
    EXPECT_EQ(Log(60).size(), 60u) << "the second sum's 20, nothing for the refused job";
}

TEST(RecentRemoteSizes, FreshSizesOfTheFirstAlternativeOnly) {
    CRecentRemoteSizes recent;
    recent.Remember("http://a/x", 100, 1000);
    recent.Remember("http://a/empty", 0, 1000);  // an empty file's size is a size
    recent.Remember("http://a/unknown", -1, 1000);
    EXPECT_EQ(recent.Recall("http://a/x", 1000), 100);
    EXPECT_EQ(recent.Recall(" http://a/x | http://b/x", 1000 + CRecentRemoteSizes::kFreshMs), 100)
        << "the field's first alternative, trimmed as the probe asks it";
    EXPECT_EQ(recent.Recall("http://b/x|http://a/x", 1000), -1) << "asked elsewhere first";
    EXPECT_EQ(recent.Recall("http://a/x", 1001 + CRecentRemoteSizes::kFreshMs), -1) << "stale";
    EXPECT_EQ(recent.Recall("http://a/x", 999), -1) << "from the future";
    EXPECT_EQ(recent.Recall("http://a/empty", 1000), 0);
    EXPECT_EQ(recent.Recall("http://a/unknown", 1000), -1);
    recent.Forget();
    EXPECT_EQ(recent.Recall("http://a/x", 1000), -1);
}
