// The result reporter against the real report-server program (and, for the
// exact bytes, a bare loopback listener): record layout, endpoint override,
// ordering, closing after the answer, and reports that outlive a refused or
// unresolvable server.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/resolver.h"
#include "server_hosts.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "tests/support/report_server_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/wait_for.h"
#include "tests/transfers/direct_job_fixture.h"
#include "transfers/pending_reports.h"
#include "transfers/platform_reporter.h"
#include "transfers/report_server_endpoint.h"
#include "transfers/result_record.h"

namespace {

constexpr const char* kKey = "joltwave_zorakine4";

std::string Line(const std::string& url, std::int64_t bytes) {
    return ReportLine(kKey, url, bytes);
}

ResultRecord Record(const std::string& url, std::int64_t bytes) {
    return ResultRecord::Make(kKey, url, bytes);
}

class ReportServer : public ReportServerProcess {
public:
    ReportServer() : ReportServerProcess(ZK4_REPORT_SERVER_BIN) {}
};

// True when the peer closes `fd` within 5 s without sending anything.
bool ClosedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    char byte = 0;
    return recv(fd, &byte, 1, 0) <= 0;
}

// Restores TLX_REPORT_SERVER as it was (the test program sets a loopback
// default that later tests rely on).
class ReporterTest : public NetworkTest {
protected:
    void TearDown() override {
        plat::ClearHostOverridesForTesting();
        plat::SetResolverForTesting(nullptr);
        NetworkTest::TearDown();
    }
    // Whatever the test sets, the variable is as before afterwards.
    ScopedEnv savedVariable_{kReportServerVariable, std::getenv(kReportServerVariable)};
    // Points the reporter built without arguments at 127.0.0.1:port.
    void UseLoopbackServer(int port) {
        setenv(kReportServerVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }
};

}  // namespace

TEST(ReportRecordTest, FieldsSitAtTheirOffsetsLittleEndian) {
    ResultRecord record = ResultRecord::Make(kKey, "http://a/b|http://c/d", 0x0102030405060708);
    unsigned char bytes[298];
    std::memcpy(bytes, &record, sizeof bytes);
    unsigned char expected[298] = {};
    std::memcpy(expected, kKey, std::strlen(kKey));
    std::memcpy(expected + 33, "http://a/b|http://c/d", 21);
    const unsigned char count[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    std::memcpy(expected + 289, count, 8);
    expected[297] = 1;
    EXPECT_EQ(std::memcmp(bytes, expected, 298), 0);

    record.SetBytesWritten(-2);
    std::memcpy(bytes, &record, sizeof bytes);
    EXPECT_EQ(bytes[289], 0xFE);
    EXPECT_EQ(bytes[289 + 7], 0xFF);
    EXPECT_EQ(record.BytesWritten(), -2);
}

TEST(ReportRecordTest, OverlongTextIsCutInsideItsColumn) {
    const std::string url(300, 'u');
    const std::string key(40, 'k');
    ResultRecord record;
    EXPECT_FALSE(record.SetUrl(url));
    EXPECT_FALSE(record.SetServiceKey(key));
    EXPECT_EQ(record.Url(), url.substr(0, 255));
    EXPECT_EQ(record.url[255], '\0');
    EXPECT_EQ(record.ServiceKey(), key.substr(0, 32));
    EXPECT_EQ(record.serviceKey[32], '\0');
    // Nothing spilled into the next column or the count.
    EXPECT_EQ(record.url[0], 'u');
    EXPECT_EQ(record.BytesWritten(), 0);
    EXPECT_EQ(record.marker, 1);

    // Exactly 255 fits; a shorter text after a longer one leaves no tail.
    EXPECT_TRUE(record.SetUrl(url.substr(0, 255)));
    EXPECT_TRUE(record.SetUrl("short"));
    EXPECT_EQ(record.Url(), "short");
    EXPECT_EQ(record.url[6], '\0');
}

TEST(ReportServerEndpointTest, OverrideReplacesHostAndPortOrIsIgnoredWhole) {
    struct Case {
        const char* value;
        std::string host;
        int port;
    };
    const std::string built = kBuildReportServer;
    const Case cases[] = {
        {nullptr, built, 54547},
        {"", built, 54547},
        {"127.0.0.1:6000", "127.0.0.1", 6000},
        {"reports.test", "reports.test", 54547},
        {":7000", built, 7000},
        {"h:0", built, 54547},
        {"h:65536", built, 54547},
        {"h:80x", built, 54547},
        {"h:", built, 54547},
        {"h:-1", built, 54547},
        {":", built, 54547},
    };
    for (const Case& c : cases) {
        ReportServerAddress address = ReportServerEndpointFrom(c.value);
        EXPECT_EQ(address.host, c.host) << (c.value ? c.value : "(null)");
        EXPECT_EQ(address.port, c.port) << (c.value ? c.value : "(null)");
    }
    ScopedEnv variable(kReportServerVariable, "10.1.2.3:9999");
    ReportServerAddress fromEnvironment = ReportServerEndpoint();
    CPlatformReporter reporter;
    EXPECT_EQ(fromEnvironment.host, "10.1.2.3");
    EXPECT_EQ(fromEnvironment.port, 9999);
    EXPECT_EQ(reporter.Endpoint().host, "10.1.2.3");
    EXPECT_EQ(reporter.Endpoint().port, 9999);
}

TEST_F(ReporterTest, ReportFrameOnTheWireIsExactlyTheRecordLayout) {
    LoopbackListener listener;
    UseLoopbackServer(listener.Port());
    CPlatformReporter reporter;
    const ResultRecord record = Record("http://cdn.test/a.bin", 1234567);
    reporter.Report(1, &record);
    int fd = listener.AcceptOne();
    ASSERT_GE(fd, 0);
    std::string wire;
    ASSERT_TRUE(Pump([&] {
        char buffer[1024];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) wire.append(buffer, static_cast<std::size_t>(n));
        return wire.size() >= 320;
    }));
    close(fd);

    std::string expected(320, '\0');
    const char header[] = "\x00\x03\x9A\x00\0\0\0\0\0\0\x32\x01\0\0\x01\0\0\0";
    expected.replace(0, 18, header, 18);
    expected.replace(18, std::strlen(kKey), kKey);
    expected.replace(18 + 33, 21, "http://cdn.test/a.bin");
    const char count[] = "\x87\xD6\x12\0\0\0\0\0\x01";  // 1234567, then the marker
    expected.replace(18 + 289, 9, count, 9);
    EXPECT_EQ(wire, expected);
}

TEST_F(ReporterTest, TwoReportsWhileConnectingGoOutInOrderThenTheAnswerCloses) {
    ReportServer server;
    ASSERT_TRUE(server.Start());
    UseLoopbackServer(server.Port());
    CPlatformReporter reporter;
    const ResultRecord first[] = {Record("http://cdn.test/1", 10), Record("http://cdn.test/2", 20)};
    const ResultRecord second = Record("http://cdn.test/3", 30);
    reporter.Report(2, first);
    reporter.Report(1, &second);
    // A connect never completes inside the call: both wait in the reporter
    // until the connection is up.
    EXPECT_TRUE(reporter.HoldsConnection());
    EXPECT_EQ(reporter.QueuedReports(), 2u);

    ASSERT_TRUE(Pump([&] { return server.Records().size() == 3 && !reporter.HoldsConnection(); }));
    std::vector<std::string> expected = {Line("http://cdn.test/1", 10),
                                         Line("http://cdn.test/2", 20),
                                         Line("http://cdn.test/3", 30)};
    EXPECT_EQ(server.Records(), expected);
    EXPECT_EQ(reporter.QueuedRecords(), 0u);

    // A report after the close opens a new connection.
    const ResultRecord later = Record("http://cdn.test/4", 40);
    reporter.Report(1, &later);
    EXPECT_TRUE(reporter.HoldsConnection());
    ASSERT_TRUE(Pump([&] { return server.Records().size() == 4 && !reporter.HoldsConnection(); }));
    EXPECT_EQ(server.Records().back(), Line("http://cdn.test/4", 40));
}

TEST_F(ReporterTest, ReportsRefusedByTheServerGoOutWithTheNextConnection) {
    const int port = plat::NetToHost16(UnusedLoopbackPort().portNet);
    UseLoopbackServer(port);
    CPlatformReporter reporter;
    // The second report comes while the doomed connection is being set up:
    // handed to that connection it would vanish with it.
    const ResultRecord early[] = {Record("http://cdn.test/early", 1),
                                  Record("http://cdn.test/second", 2)};
    reporter.Report(1, &early[0]);
    reporter.Report(1, &early[1]);
    ASSERT_TRUE(Pump([&] { return !reporter.HoldsConnection(); }));
    EXPECT_EQ(reporter.QueuedRecords(), 2u);

    ReportServer server;
    ASSERT_TRUE(server.Start(port));
    const ResultRecord late = Record("http://cdn.test/late", 3);
    reporter.Report(1, &late);
    ASSERT_TRUE(Pump([&] { return server.Records().size() == 3 && !reporter.HoldsConnection(); }));
    std::vector<std::string> expected = {Line("http://cdn.test/early", 1),
                                         Line("http://cdn.test/second", 2),
                                         Line("http://cdn.test/late", 3)};
    EXPECT_EQ(server.Records(), expected);
}

TEST_F(ReporterTest, UnresolvableServerKeepsTheNewestThousandRecords) {
    ReportServer server;
    ASSERT_TRUE(server.Start());
    plat::SetResolverForTesting([](const std::string&) { return std::vector<std::uint32_t>{}; });
    setenv(kReportServerVariable, ("reports.test:" + std::to_string(server.Port())).c_str(), 1);
    CPlatformReporter reporter;
    std::vector<ResultRecord> batch;
    for (int i = 0; i < 1200; ++i)
        batch.push_back(Record("http://cdn.test/" + std::to_string(i), i));
    reporter.Report(600, batch.data());
    reporter.Report(600, batch.data() + 600);
    EXPECT_FALSE(reporter.HoldsConnection());
    EXPECT_EQ(reporter.QueuedRecords(), 1000u);

    // The name resolves again (the cache would wait its interval otherwise).
    plat::SetHostOverrideForTesting("reports.test", plat::HostToNet32(plat::kLoopbackHostOrder));
    cpHostCache().ClearForTesting();
    const ResultRecord last = Record("http://cdn.test/last", 7);
    reporter.Report(1, &last);
    ASSERT_TRUE(
        Pump([&] { return server.Records().size() == 1000 && !reporter.HoldsConnection(); }));
    const std::vector<std::string> records = server.Records();
    // 1201 were reported: the 201 oldest went, part of the first report with them.
    EXPECT_EQ(records.front(), Line("http://cdn.test/201", 201));
    EXPECT_EQ(records[998], Line("http://cdn.test/1199", 1199));
    EXPECT_EQ(records.back(), Line("http://cdn.test/last", 7));
}

TEST_F(ReporterTest, ServerPrintsTextAsEscapedJsonAndCutUrlsWhole) {
    ReportServer server;
    ASSERT_TRUE(server.Start());
    UseLoopbackServer(server.Port());
    CPlatformReporter reporter;
    const std::string longUrl = "http://cdn.test/" + std::string(300, 'x');
    const ResultRecord records[] = {
        ResultRecord::Make("k\"\\",
                           "a\tb\x01"
                           "c\xC3\xA9"
                           "d\xE9",
                           -1),
        Record(longUrl, 5),
    };
    reporter.Report(2, records);
    ASSERT_TRUE(Pump([&] { return server.Records().size() == 2; }));
    // Valid UTF-8 passes, a stray byte is read as Latin-1, controls escaped.
    EXPECT_EQ(server.Records()[0],
              "{\"key\":\"k\\\"\\\\\",\"url\":\"a\\u0009b\\u0001c\xC3\xA9"
              "d\\u00e9\",\"bytes\":-1}");
    EXPECT_EQ(server.Records()[1], Line(longUrl.substr(0, 255), 5));
}

TEST_F(ReporterTest, ServerDropsClientsThatSendGarbageOrHugeFrames) {
    ReportServer server;
    ASSERT_TRUE(server.Start());
    const std::string bad[] = {
        std::string("GET / HTTP/1.1\r\n\r\n"),
        // A report header announcing 2 MiB: refused on the header alone.
        std::string("\x00\x03\x9A\x00\0\0\0\0\0\0\x00\x00\x20\x00", 14),
        // A count of 2 with room for one record.
        std::string("\x00\x03\x9A\x00\0\0\0\0\0\0\x2E\x01\0\0\x02\0\0\0", 18) +
            std::string(298, 'r'),
    };
    for (const std::string& bytes : bad) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        plat::SockAddrIn address;
        address.portNet = plat::HostToNet16(static_cast<std::uint16_t>(server.Port()));
        address.addrNet = plat::HostToNet32(plat::kLoopbackHostOrder);
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_TRUE(WriteAll(fd, bytes));
        // The server closes: the read ends rather than timing out.
        EXPECT_TRUE(ClosedByPeer(fd)) << bytes.substr(0, 8);
        close(fd);
    }
    EXPECT_TRUE(server.Records().empty());
}

namespace {

// A running service whose reporter sends to `reportServer_`, set before the
// service (and its reporter) start.
class ServiceReportTest : public DirectJobTest {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        port_ = plat::NetToHost16(UnusedLoopbackPort().portNet);
        variable_ = std::make_unique<ScopedEnv>(kReportServerVariable,
                                                ("127.0.0.1:" + std::to_string(port_)).c_str());
        DirectJobTest::SetUp();
        StartNginx();
    }
    // A job of `count` small files, run to its end.
    void RunJob(int count) {
        std::vector<std::string> urls;
        for (int i = 0; i < count; ++i) {
            const std::string path = "/r/" + std::to_string(i) + ".bin";
            nginx_->WriteFile(path, 1000 + i, 40 + i);
            urls.push_back(nginx_->Url(path));
        }
        CJob* job = NewJob(urls);
        ASSERT_EQ(Manager()->StartJob(job, 1), 512);
        ASSERT_TRUE(events_.WaitFor(516, 1, 20000));
    }

    int port_ = 0;
    std::unique_ptr<ScopedEnv> variable_;
};

}  // namespace

TEST_F(ServiceReportTest, EveryReportOfAQuickRunArrivesBeforeTheServiceEnds) {
    ReportServer server;
    ASSERT_TRUE(server.Start(port_));
    RunJob(10);
    // At once, as a terminal program that has nothing left to do would.
    FinalizeService();
    ASSERT_TRUE(WaitFor([&] { return server.Records().size() == 10; }, 5000))
        << server.Records().size();
    EXPECT_FALSE(plat::PathExists(PendingReportsPath()));
    ASSERT_EQ(InitializeService(events_.Window()), 512);  // for TearDown
}

TEST_F(ServiceReportTest, ReportsTheServerCouldNotTakeAreKeptAndSentAtTheNextStart) {
    RunJob(3);
    FinalizeService();  // nothing listens: kept, not waited on
    std::vector<ResultRecord> kept;
    std::string bytes;
    ASSERT_TRUE(plat::ReadWholeFile(PendingReportsPath(), &bytes));
    ASSERT_TRUE(DecodePendingReports(bytes, &kept));
    EXPECT_EQ(kept.size(), 3u);

    ReportServer server;
    ASSERT_TRUE(server.Start(port_));
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    ASSERT_TRUE(WaitFor([&] { return server.Records().size() == 3; }, 5000));
    EXPECT_FALSE(plat::PathExists(PendingReportsPath()));
}

TEST(PendingReports, AFileThatIsNotOursIsDroppedWhole) {
    std::vector<ResultRecord> records;
    EXPECT_FALSE(DecodePendingReports("", &records));
    EXPECT_FALSE(
        DecodePendingReports("ZK4R\x01\0\0\0\x05\0\0\0", &records));  // count without records
    std::string valid = std::string("ZK4R\x01\0\0\0\x01\0\0\0", 12);
    ResultRecord record = Record("http://cdn.test/a", 5);
    valid.append(reinterpret_cast<const char*>(&record), sizeof record);
    EXPECT_TRUE(DecodePendingReports(valid, &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Url(), "http://cdn.test/a");
    std::string unterminated = valid;
    std::memset(&unterminated[12 + 33], 'u', ResultRecord::kUrlSize);  // no NUL in the URL column
    EXPECT_FALSE(DecodePendingReports(unterminated, &records));
    EXPECT_TRUE(records.empty());
    std::string huge = std::string("ZK4R\x01\0\0\0", 8) + std::string("\xff\xff\xff\x7f", 4);
    EXPECT_FALSE(DecodePendingReports(huge, &records));
}
