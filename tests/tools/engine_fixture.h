// Shared set-up of the engine program's tests: nginx on loopback serving
// real files with an access log of methods and ranges, the engine started
// on a free port, and a launcher-side link introduced with its service key.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/engine_peer.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_folder.h"

inline constexpr const char* kServiceKey = "joltwave_zorakine4";

struct Accepted {
    std::uint32_t jobKey = 0;
    std::uint32_t engineJob = 0;
    std::uint32_t fileCount = 0;
    std::uint64_t total = 0;
};

class EngineTest : public testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    }

    // Each request as "METHOD URI range=RANGE status=CODE", one a line.
    std::string AccessLog() const { return ReadFileText(logs_.Path() + "access.log"); }

    // nginx with `serverConfig` added to its server block.
    void StartNginx(const std::string& serverConfig = "") {
        nginx_ = std::make_unique<NginxServer>(
            "access_log " + logs_.Path() + "access.log engine;\n" + serverConfig,
            "log_format engine '$request_method $uri range=$http_range status=$status';");
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
    }

    void StartEngine(const std::vector<std::string>& env = {},
                     const std::vector<std::string>& launcher = {}) {
        engine_ = std::make_unique<EngineProcess>(ZK4_ENGINE_BIN);
        engine_->RunThrough(launcher);
        ASSERT_TRUE(engine_->Start(env));
        ASSERT_TRUE(engine_->WaitListening()) << engine_->Log();
    }

    // Connects and sends the service key.
    void Introduce(EngineLink* link) {
        ASSERT_TRUE(link->Connect(engine_->Port()));
        ASSERT_TRUE(link->Send(12, ServiceKeyPayload(kServiceKey)));
    }

    // Sends the mode and the one-message description.
    void Describe(EngineLink* link, std::uint32_t jobKey, const std::vector<LauncherFile>& files,
                  std::uint8_t mode = 2) {
        ASSERT_TRUE(link->Send(0, JobModePayload(mode)));
        ASSERT_TRUE(link->Send(14, JobSubmitPayload(jobKey, kServiceKey, files), 0x0102));
    }

    // The next message must be JobAccepted.
    static Accepted ExpectAccepted(EngineLink* link) {
        EngineFrame frame;
        Accepted accepted;
        EXPECT_TRUE(link->Receive(&frame)) << "no answer";
        EXPECT_EQ(frame.subtype, 4);
        EXPECT_EQ(frame.type, 0x0100);
        accepted.jobKey = PayloadU32(frame.payload, 0);
        accepted.engineJob = PayloadU32(frame.payload, 4);
        accepted.fileCount = PayloadU32(frame.payload, 8);
        accepted.total = PayloadU64(frame.payload, 12);
        return accepted;
    }

    LauncherFile Served(const std::string& name, std::size_t size, unsigned seed,
                        const std::string& folder = "") {
        contents_[name] = nginx_->WriteFile("/files/" + name, size, seed);
        return {folder.empty() ? downloads_.Path() : folder, name, nginx_->Url("/files/" + name),
                static_cast<std::int64_t>(size)};
    }

    std::string Downloaded(const std::string& name) const {
        return ReadFileText(downloads_.Path() + name);
    }

    TempFolder logs_;
    TempFolder downloads_;
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<EngineProcess> engine_;
    std::map<std::string, std::string> contents_;
};
