// Whole jobs through the running service and the direct downloader: the
// fixture and helpers the direct-download tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/connectivity.h"
#include "platform/file_handle.h"
#include "tests/support/nginx_server.h"
#include "tests/support/service_fixture.h"

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class DirectJobTest : public ServiceTest {
protected:
    void TearDown() override {
        plat::File::SetWritesFailForTesting(false);
        plat::SetFreeDiskBytesForTesting(-2);
        plat::SetNetworkStateForTesting(-1);
        ServiceTest::TearDown();
    }
    void StartNginx(const std::string& serverConfig = "") {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        nginx_ = std::make_unique<NginxServer>(serverConfig);
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
    }
    CJob* NewJob(const std::vector<std::string>& urls) {
        CJob* job = nullptr;
        EXPECT_EQ(Manager()->CreateJob(&job, "joltwave_zorakine4"), 512);
        for (const std::string& url : urls)
            EXPECT_EQ(Manager()->AddJobFile(job, url.c_str(), Folder().c_str()), 512);
        return job;
    }
    std::string Folder() const { return downloads_.Path() + "ZK4/"; }
    std::vector<std::pair<int, std::string>> Messages(CJob* job) {
        std::vector<std::pair<int, std::string>> out;
        for (;;) {
            std::uint32_t length = 0;
            EXPECT_EQ(Manager()->PeekJobMessageLength(job, &length), kResultOk);
            std::string text(length + 1, '\0');
            std::int32_t code = 0;
            EXPECT_EQ(Manager()->PopJobMessage(job, &code, text.data(), text.size()), kResultOk);
            if (code == 512) return out;
            text.resize(std::strlen(text.c_str()));
            out.emplace_back(code, text);
        }
    }
    bool LogHas(const std::string& line) {
        auto lines = ServiceLogMessages();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::unique_ptr<NginxServer> nginx_;
};
