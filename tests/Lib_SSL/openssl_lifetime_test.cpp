// The process-wide BIO method: made at the network context's start-up,
// freed at the worker's end, but never before the last session that uses it.
#include <gtest/gtest.h>

#include "Lib_SSL/COpenSSL.h"
#include "tests/support/service_fixture.h"

namespace {

COpenSSLCallbacks QuietCallbacks() {
    COpenSSLCallbacks callbacks;
    callbacks.send = [](void*, const void*, std::size_t) {};
    callbacks.handshakeDone = [](void*) {};
    callbacks.data = [](void*, const void*, std::size_t) { return true; };
    return callbacks;
}

class TlsServiceTest : public ServiceTest {};

}  // namespace

TEST(OpenSslLifetimeTest, MethodOutlivesTheLastSessionAfterCleanup) {
    ASSERT_TRUE(COpenSSL::GlobalStartup());
    ASSERT_EQ(COpenSSL::LiveSessionsForTesting(), 0);
    COpenSSL* session = nullptr;
    ASSERT_EQ(COpenSSL::Create(QuietCallbacks(), "late.zk4.test", &session), kTransportOk);
    // A connection still waiting for its deferred release when the worker
    // ends: its BIOs call into the method when they are freed.
    COpenSSL::GlobalCleanup();
    EXPECT_TRUE(COpenSSL::MethodExistsForTesting());
    session->Free();
    EXPECT_FALSE(COpenSSL::MethodExistsForTesting());

    COpenSSL* none = nullptr;
    EXPECT_EQ(COpenSSL::Create(QuietCallbacks(), "late.zk4.test", &none), kTransportFail);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(COpenSSL::GlobalStartup());
    EXPECT_TRUE(COpenSSL::MethodExistsForTesting());
}

TEST(OpenSslLifetimeTest, StartupAgainCallsOffAWaitingCleanup) {
    ASSERT_TRUE(COpenSSL::GlobalStartup());
    COpenSSL* session = nullptr;
    ASSERT_EQ(COpenSSL::Create(QuietCallbacks(), "127.0.0.1", &session), kTransportOk);
    COpenSSL::GlobalCleanup();
    ASSERT_TRUE(COpenSSL::GlobalStartup());  // a new worker starts meanwhile
    session->Free();
    EXPECT_TRUE(COpenSSL::MethodExistsForTesting());
}

TEST_F(TlsServiceTest, WorkerEndFreesTheMethod) {
    EXPECT_TRUE(COpenSSL::MethodExistsForTesting());
    FinalizeService();
    EXPECT_FALSE(COpenSSL::MethodExistsForTesting());
    EXPECT_TRUE(COpenSSL::GlobalStartup());  // for the tests that follow
}
