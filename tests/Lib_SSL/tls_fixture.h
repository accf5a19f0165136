// What the TLS tests share: one test certificate authority with its server
// certificates (made once per program run), the trust store pointed at that
// authority, the test host name pointed at the loopback, and the refusal
// lines of the service log.
//
// Trust: SSL_CERT_FILE names the test authority for the length of each
// test. Every connection builds its own SSL_CTX and reads the default
// verify paths then, so the variable takes effect at once and is gone for
// the next test.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/resolver.h"
#include "service/base/service_log.h"
#include "tests/support/network_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_certificates.h"

inline constexpr char kSecureHost[] = "secure.zk4.test";

class TlsTest : public NetworkTest {
protected:
    static void SetUpTestSuite() {
        if (certificates_) return;
        certificates_ = std::make_unique<TestCertificates>();
        bool ok =
            !certificates_->CaFile().empty() &&
            certificates_->Issue("good", std::string("DNS:") + kSecureHost + ",IP:127.0.0.1", 30,
                                 &good_) &&
            certificates_->Issue("other-host", "DNS:other.zk4.test", 30, &otherHost_) &&
            certificates_->Issue("expired", std::string("DNS:") + kSecureHost, -1, &expired_) &&
            certificates_->SelfSigned("self-signed", std::string("DNS:") + kSecureHost,
                                      &selfSigned_);
        if (!ok) error_ = certificates_->Error();
    }

    void SetUp() override {
        NetworkTest::SetUp();
        ASSERT_TRUE(error_.empty()) << error_;
        trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", certificates_->CaFile().c_str());
        plat::SetHostOverrideForTesting(kSecureHost, htonl(INADDR_LOOPBACK));
        ResetServiceLog();
    }

    void TearDown() override {
        trust_.reset();
        plat::ClearHostOverridesForTesting();
        NetworkTest::TearDown();
    }

    // The service log's certificate refusals, without their time stamps.
    static std::vector<std::string> RefusalLines() {
        std::string text;
        plat::ReadWholeFile(GetServiceLogPath(), &text);
        std::vector<std::string> lines;
        const std::string marker = "[OstrelLib] TLS certificate";
        for (std::size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + 1))
            lines.push_back(text.substr(at, text.find("\r\n", at) - at));
        return lines;
    }

    static inline std::unique_ptr<TestCertificates> certificates_;  // for the program run
    std::unique_ptr<ScopedEnv> trust_;  // SSL_CERT_FILE names the test authority
    static inline std::string error_;
    static inline CertificateFiles good_, otherHost_, expired_, selfSigned_;
};
