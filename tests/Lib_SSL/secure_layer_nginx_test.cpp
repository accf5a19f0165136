// HTTPS through the TLS layer against a real nginx with TLS listeners: whole
// files, ranges, a redirect from http to https, the server name, and the
// certificates that must be refused.
#include <gtest/gtest.h>

#include "Lib_SSL/COpenSSL.h"
#include "tests/Lib_SSL/tls_fixture.h"
#include "tests/support/nginx_server.h"

namespace {

// TLS listeners of the server, in the order they are added.
enum Listener : std::size_t { kGood, kSelfSigned, kOtherHost, kExpired };

class TlsNginxTest : public TlsTest {
protected:
    void SetUp() override {
        TlsTest::SetUp();
        if (HasFatalFailure()) return;
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        server_ = std::make_unique<NginxServer>(
            std::string("location = /to-https { return 302 https://") + kSecureHost +
            ":$tls_port/target.bin; }\n"
            "location = /sni { return 200 \"$ssl_server_name\"; }\n");
        server_->AddTlsListener(good_.cert, good_.key);
        server_->AddTlsListener(selfSigned_.cert, selfSigned_.key);
        server_->AddTlsListener(otherHost_.cert, otherHost_.key);
        server_->AddTlsListener(expired_.cert, expired_.key);
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }

    // Fetches `url` to its end; the fetch's events and body tell the rest.
    void FetchToEnd(HttpFetch* fetch, const std::string& url) {
        ASSERT_TRUE(fetch->Start(url)) << url;
        ASSERT_TRUE(Pump([&] { return fetch->Ended(); }, 60000)) << url;
    }

    std::unique_ptr<NginxServer> server_;
};

const std::vector<std::string> kRefused = {"connected", "closed"};

}  // namespace

TEST_F(TlsNginxTest, GetOfSeveralMebibytesIsByteIdentical) {
    // Several MiB: many records arrive in one receive and receives end
    // inside records.
    std::string content = server_->WriteFile("/files/big.bin", 5 * 1024 * 1024 + 13, 5);
    HttpFetch fetch;
    FetchToEnd(&fetch, server_->TlsUrl(kSecureHost, "/files/big.bin"));
    EXPECT_EQ(fetch.status, 200);
    EXPECT_EQ(fetch.Count("complete"), 1);
    EXPECT_EQ(fetch.body.size(), content.size());
    EXPECT_TRUE(fetch.body == content);
    EXPECT_TRUE(RefusalLines().empty());
}

TEST_F(TlsNginxTest, RangedGetIsAnswered206FromTheOffset) {
    std::string content = server_->WriteFile("/r.bin", 200000, 9);
    HttpFetch fetch;
    ASSERT_TRUE(fetch.Start(server_->TlsUrl(kSecureHost, "/r.bin"), {{"Range", "bytes=70001-"}}));
    ASSERT_TRUE(Pump([&] { return fetch.Ended(); }));
    EXPECT_EQ(fetch.status, 206);
    EXPECT_EQ(fetch.Count("complete"), 1);
    EXPECT_TRUE(fetch.body == content.substr(70001));
}

TEST_F(TlsNginxTest, RedirectFromHttpToHttpsIsFollowedByTheCaller) {
    std::string content = server_->WriteFile("/target.bin", 70000, 4);
    HttpFetch first;
    first.closeOnComplete = false;
    ASSERT_TRUE(first.Start(server_->Url("/to-https")));
    ASSERT_TRUE(Pump([&] { return first.Count("header") == 1; }));
    EXPECT_EQ(first.status, 302);
    std::string location;
    ASSERT_EQ(first.Layer()->GetHeader("Location:", &location), kLayerOk);
    EXPECT_EQ(location, server_->TlsUrl(kSecureHost, "/target.bin"));
    HttpFetch second;
    FetchToEnd(&second, location);
    EXPECT_EQ(second.Count("complete"), 1);
    EXPECT_TRUE(second.body == content);
    EXPECT_EQ(second.Context()->FindLayer(kClassSecureSocketClientLayer, nullptr), kTransportOk);
}

TEST_F(TlsNginxTest, HostNameIsSentAsServerName) {
    HttpFetch fetch;
    FetchToEnd(&fetch, server_->TlsUrl(kSecureHost, "/sni"));
    EXPECT_EQ(fetch.body, kSecureHost);
}

TEST_F(TlsNginxTest, IpLiteralIsMatchedAgainstTheCertificateAddresses) {
    server_->WriteFile("/target.bin", 1000, 4);
    HttpFetch listed;
    FetchToEnd(&listed, server_->TlsUrl("127.0.0.1", "/target.bin"));
    EXPECT_EQ(listed.Count("complete"), 1);

    HttpFetch unlisted;
    FetchToEnd(&unlisted, server_->TlsUrl("127.0.0.1", "/target.bin", kOtherHost));
    EXPECT_EQ(unlisted.events, kRefused);
    std::vector<std::string> lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("IP address mismatch"), std::string::npos) << lines[0];
}

TEST_F(TlsNginxTest, UnacceptableCertificatesAreRefusedWithOneLogLineEach) {
    server_->WriteFile("/target.bin", 1000, 4);
    const struct {
        Listener listener;
        const char* reason;
    } cases[] = {
        {kSelfSigned, "self-signed certificate (verify error 18)"},
        {kOtherHost, "hostname mismatch (verify error 62)"},
        {kExpired, "certificate has expired (verify error 10)"},
    };
    for (const auto& c : cases) {
        ResetServiceLog();
        HttpFetch fetch;
        FetchToEnd(&fetch, server_->TlsUrl(kSecureHost, "/target.bin", c.listener));
        // The layers above see a connection that closed before any answer:
        // no head, no body, no completion.
        EXPECT_EQ(fetch.events, kRefused) << c.reason;
        EXPECT_TRUE(fetch.body.empty());
        std::vector<std::string> lines = RefusalLines();
        ASSERT_EQ(lines.size(), 1u) << c.reason;
        EXPECT_EQ(lines[0], std::string("[OstrelLib] TLS certificate of ") + kSecureHost +
                                " refused: " + c.reason);
    }
    // Nothing of the refusals stays behind on this thread for the next
    // connection.
    HttpFetch after;
    FetchToEnd(&after, server_->TlsUrl(kSecureHost, "/target.bin"));
    EXPECT_EQ(after.Count("complete"), 1);
    EXPECT_EQ(COpenSSL::LiveSessionsForTesting(), 0);
}

TEST_F(TlsNginxTest, TrustComesFromTheStoreOfEachNewConnection) {
    server_->WriteFile("/target.bin", 1000, 4);
    HttpFetch trusted;
    FetchToEnd(&trusted, server_->TlsUrl(kSecureHost, "/target.bin"));
    EXPECT_EQ(trusted.Count("complete"), 1);
    // Without the test authority in the store the same server is a stranger
    // to the next connection.
    unsetenv("SSL_CERT_FILE");
    HttpFetch stranger;
    FetchToEnd(&stranger, server_->TlsUrl(kSecureHost, "/target.bin"));
    EXPECT_EQ(stranger.events, kRefused);
    std::vector<std::string> lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("unable to get local issuer certificate"), std::string::npos)
        << lines[0];
}
