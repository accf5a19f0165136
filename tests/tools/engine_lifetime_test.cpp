// How the engine program starts and ends: its version, its port, the idle
// exit, the stop signal, a port that is taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "engine_config.h"
#include "engine_fixture.h"
#include "platform/file_version.h"
#include "platform/socket_owner.h"

namespace {

class EngineLifetimeTest : public EngineTest {};

TEST_F(EngineLifetimeTest, VersionIsPrintedAndReadableWithoutRunningTheFile) {
    EXPECT_EQ(plat::ReadFileVersion(ZK4_ENGINE_BIN), ZK4_ENGINE_VERSION);
    FILE* out = popen((std::string(ZK4_ENGINE_BIN) + " --version").c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[256] = "";
    ASSERT_NE(fgets(line, sizeof line, out), nullptr);
    pclose(out);
    EXPECT_EQ(std::string(line), std::string(ZK4_ENGINE_VERSION) + "\n");
}

TEST_F(EngineLifetimeTest, EndsAfterTheIdleTimeWithoutAConnection) {
    StartEngine({"TLX_ENGINE_IDLE_EXIT=1"});
    // The listener is ours: the check the service makes before it connects.
    std::uint32_t uid = 0;
    ASSERT_TRUE(plat::LoopbackListenerUid(static_cast<std::uint16_t>(engine_->Port()), &uid));
    EXPECT_EQ(uid, geteuid());
    // A connection keeps it alive past its idle time.
    EngineLink link;
    Introduce(&link);
    int status = 0;
    EXPECT_FALSE(engine_->WaitForExit(2000, &status));
    link.Close();
    ASSERT_TRUE(engine_->WaitForExit(5000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(engine_->Log().find("No connection for 1 s"), std::string::npos);
}

TEST_F(EngineLifetimeTest, StopSignalEndsItCleanlyKeepingPartialFiles) {
    StartNginx("location /slow/ { limit_rate 100k; }");
    StartEngine();
    EngineLink link;
    Introduce(&link);
    nginx_->WriteFile("/slow/g.bin", 1024 * 1024, 3);
    Describe(&link, 51, {{downloads_.Path(), "g.bin", nginx_->Url("/slow/g.bin"), 1024 * 1024}});
    ExpectAccepted(&link);
    EngineFrame progress;
    ASSERT_TRUE(link.ReceiveUntil(5, &progress));
    engine_->Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(engine_->WaitForExit(5000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(FileExists(downloads_.Path() + "g.bin.part"));
    EXPECT_FALSE(FileExists(downloads_.Path() + "g.bin"));
    EXPECT_NE(engine_->Log().find("Stopping on request"), std::string::npos);
}

TEST_F(EngineLifetimeTest, ATakenPortEndsItWithCodeOne) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof address;
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    engine_ = std::make_unique<EngineProcess>(ZK4_ENGINE_BIN);
    ASSERT_TRUE(engine_->Start({"TLX_ENGINE_PORT=" + std::to_string(ntohs(address.sin_port))}));
    int status = -1;
    ASSERT_TRUE(engine_->WaitForExit(5000, &status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(engine_->Log().find("Cannot listen on 127.0.0.1:"), std::string::npos);
    close(taken);
}

TEST_F(EngineLifetimeTest, MalformedSettingsAreLoggedAndIgnored) {
    // The port falls back to the default; the idle time too short to matter.
    engine_ = std::make_unique<EngineProcess>(ZK4_ENGINE_BIN);
    ASSERT_TRUE(engine_->Start({"TLX_ENGINE_PORT=80a", "TLX_ENGINE_IDLE_EXIT=soon"}));
    EXPECT_TRUE(engine_->WaitForLog("Ignoring TLX_ENGINE_PORT=80a (expected a port)"));
    EXPECT_TRUE(engine_->WaitForLog("Ignoring TLX_ENGINE_IDLE_EXIT=soon"));
    engine_->Stop();
}

TEST(EngineConfigParsing, PortsAndFaultLists) {
    std::uint16_t port = 0;
    EXPECT_TRUE(engine::ParsePort("65535", &port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"0", "65536", "-1", " 80", "80 ", "", "0x50", "99999999999999999999"})
        EXPECT_FALSE(engine::ParsePort(bad, &port)) << bad;

    engine::FaultSwitches faults;
    std::vector<std::string> problems;
    EXPECT_TRUE(engine::ParseFaults("stall,,die-after:4096", &faults, &problems));
    EXPECT_TRUE(faults.stall);
    EXPECT_EQ(faults.dieAfterBytes, 4096u);
    EXPECT_FALSE(faults.fallback);
    EXPECT_FALSE(engine::ParseFaults("die-after:x,nope", &faults, &problems));
    EXPECT_EQ(problems.size(), 2u);
}

}  // namespace
