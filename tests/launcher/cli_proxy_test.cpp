// The terminal program where the only way out is a proxy (tinyproxy, with
// the patch server on an island only it reaches) and against apache, whose
// redirects are built from the Host header: the real binary, the real
// servers, the files compared byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "tests/launcher/cli_process.h"
#include "tests/support/apache_server.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/proxy_island.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_certificates.h"
#include "tests/support/wait_for.h"

#ifndef ZK4_CLI_BIN
#error "ZK4_CLI_BIN must name the terminal program"
#endif

namespace {

constexpr int kRunLimitMs = 90000;
constexpr char kListPath[] = "/download/zk4/tlxdownload/filelist.txt";
constexpr char kManifestPath[] = "/norvex/tlxdownload/update/v3_32/tlxdownload_updater.xml";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int CountOf(const std::vector<std::string>& lines, const std::string& part) {
    int count = 0;
    for (const std::string& line : lines) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

CliResult RunCli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    CliProcess cli;
    EXPECT_TRUE(cli.Start(ZK4_CLI_BIN, args, env));
    CliResult result;
    result.status = cli.WaitForExit(kRunLimitMs);
    result.out = cli.Out();
    result.err = cli.Err();
    return result;
}

// A private home for every run.
std::map<std::string, std::string> HomeEnv(const TempFolder& home) {
    const std::string path = home.Path();
    return {{"HOME", path},
            {"XDG_CONFIG_HOME", path + "config"},
            {"XDG_DATA_HOME", path + "data"},
            {"XDG_RUNTIME_DIR", path},
            {"TLX_NETWORK", "up"},
            {"TLX_REPORT_SERVER", "127.0.0.1:1"}};
}

class CliThroughAProxy : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!ProxyIsland::Available(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(certificates_.Error().empty()) << certificates_.Error();
        ASSERT_TRUE(certificates_.Issue("origin", "IP:127.0.0.1", 30, &tls_));
    }

    // Starts the island; `user` and `password` make tinyproxy ask for them.
    void StartIsland(const std::string& user = "", const std::string& password = "") {
        ProxyIsland::Options options;
        options.tls = tls_;
        options.proxyUser = user;
        options.proxyPassword = password;
        island_ = std::make_unique<ProxyIsland>(options);
        ASSERT_TRUE(island_->Start()) << island_->Error();
    }

    // Two data files, one over http and one over https, and the installer;
    // the list at the built-in path of the island's origin.
    void ServeGame() {
        NginxServer& origin = island_->Origin();
        files_["data1.pak"] = origin.WriteFile("/files/data1.pak", 1500000, 21);
        files_["data2.pak"] = origin.WriteFile("/files/data2.pak", 700000, 22);
        files_["ZK4Setup.exe"] = origin.WriteFile("/files/ZK4Setup.exe", 4000, 23);
        origin.WriteText(kListPath, origin.Url("/files/data1.pak") + "\r\n" +
                                        origin.Url("/files/ZK4Setup.exe") + "\r\n" +
                                        origin.TlsUrl("127.0.0.1", "/files/data2.pak") + "\r\n");
    }

    std::map<std::string, std::string> Env(const std::string& proxy) const {
        std::map<std::string, std::string> env = HomeEnv(home_);
        env["TLX_PATCH_SERVER"] = "127.0.0.1:" + std::to_string(island_->Origin().Port());
        env["TLX_UPDATE_SERVER"] = "127.0.0.1:1";
        env["SSL_CERT_FILE"] = certificates_.CaFile();
        env["CURL_CA_BUNDLE"] = certificates_.CaFile();
        env["http_proxy"] = proxy;
        env["https_proxy"] = proxy;
        return env;
    }

    void ExpectGameIdentical() {
        for (const auto& [name, content] : files_)
            EXPECT_TRUE(ReadFile(downloads_.Path() + name) == content) << name;
    }

    TestCertificates certificates_;
    CertificateFiles tls_;
    std::unique_ptr<ProxyIsland> island_;
    std::map<std::string, std::string> files_;
    TempFolder home_;
    TempFolder downloads_;
};

}  // namespace

TEST_F(CliThroughAProxy, EveryRequestOfTheDirectPathGoesThroughTheProxy) {
    ASSERT_NO_FATAL_FAILURE(StartIsland());
    ServeGame();
    // Without the proxy the island's origin cannot be reached at all.
    std::map<std::string, std::string> env = Env("");
    const CliResult alone = RunCli({"--check-only"}, env);
    EXPECT_EQ(alone.status, 1) << alone.out << alone.err;

    const CliResult result = RunCli({"--folder", downloads_.Path(), "--no-install"},
                                    Env(island_->ProxyUrl()));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    ExpectGameIdentical();
    const std::vector<std::string> requests = island_->ProxyRequests();
    const std::string origin = "http://127.0.0.1:" + std::to_string(island_->Origin().Port());
    EXPECT_EQ(CountOf(requests, "GET " + origin + kListPath), 1);
    // The sum's probe and the transfer of each http file; the https file's
    // exchanges go through tunnels.
    EXPECT_EQ(CountOf(requests, "GET " + origin + "/files/data1.pak"), 2);
    EXPECT_EQ(CountOf(requests, "GET " + origin + "/files/ZK4Setup.exe"), 2);
    EXPECT_GE(CountOf(requests, "CONNECT 127.0.0.1:" + std::to_string(island_->Origin().TlsPort(0))),
              1);
}

TEST_F(CliThroughAProxy, TheEnginePathGoesThroughTheProxyToo) {
    ASSERT_NO_FATAL_FAILURE(StartIsland());
    ServeGame();
    // The engine installed and current: the manifest names its version.
    const std::string folder = home_.Path() + "data/Norvex/tlxDownloadV32/";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(ZK4_ENGINE_BIN, folder + "TLXDownloadV32.exe");
    std::string version;
    if (FILE* pipe = popen((std::string(ZK4_ENGINE_BIN) + " --version").c_str(), "r")) {
        char line[64] = {};
        if (fgets(line, sizeof line, pipe)) version = line;
        pclose(pipe);
    }
    while (!version.empty() && (version.back() == '\n' || version.back() == '\r')) version.pop_back();
    ASSERT_FALSE(version.empty());
    const std::string package = island_->Origin().TlsUrl("127.0.0.1", "/pkg/engine.7z");
    island_->Origin().WriteText(kManifestPath,
                                "<?xml version=\"1.0\"?>\n<root><file><TLXDownloadV32.exe ver=\"" +
                                    version + "\" url=\"" + package + "\" hash=\"" + package +
                                    ".md4\"/></file><all><all url=\"" + package + "\" hash=\"" +
                                    package + ".md4\"/></all></root>\n");
    std::map<std::string, std::string> env = Env(island_->ProxyUrl());
    env["TLX_UPDATE_SERVER"] = "127.0.0.1:" + std::to_string(island_->Origin().TlsPort(0));
    env["TLX_ENGINE_PORT"] = std::to_string(UnusedFixedPort());
    env["TLX_ENGINE_IDLE_EXIT"] = "2";

    const CliResult result = RunCli({"--folder", downloads_.Path(), "--no-install"}, env);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    ExpectGameIdentical();
    const std::string log = ReadFile(folder + "config/service.log");
    EXPECT_NE(log.find("finished through the engine"), std::string::npos) << log;
    const std::vector<std::string> requests = island_->ProxyRequests();
    const std::string origin = "http://127.0.0.1:" + std::to_string(island_->Origin().Port());
    EXPECT_EQ(CountOf(requests, "GET " + origin + kListPath), 1);
    // The sum's probe, then the engine's transfer (and its size probe).
    EXPECT_GE(CountOf(requests, "GET " + origin + "/files/data1.pak"), 2);
    // The manifest (https) and the https file: tunnels.
    EXPECT_GE(CountOf(requests, "CONNECT 127.0.0.1:" + std::to_string(island_->Origin().TlsPort(0))),
              2);
}

TEST_F(CliThroughAProxy, AProxyThatWantsCredentialsIsNamedAndGetsThemFromItsAddress) {
    ASSERT_NO_FATAL_FAILURE(StartIsland("player", "s3cret"));
    ServeGame();
    const CliResult refused = RunCli({"--check-only"}, Env(island_->ProxyUrl()));
    EXPECT_EQ(refused.status, 1);
    const std::string proxy = "127.0.0.1:" + std::to_string(island_->ProxyPort());
    EXPECT_NE(refused.err.find("the proxy " + proxy + " asks for a user name and password"),
              std::string::npos)
        << refused.err;

    const std::string withCredentials =
        "http://player:s3cr%65t@" + proxy;  // percent-encoded, as a URL may hold it
    const CliResult result =
        RunCli({"--folder", downloads_.Path(), "--no-install"}, Env(withCredentials));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    ExpectGameIdentical();
}

// apache builds a redirect's Location from the Host header: without the
// port there, the client would be sent to port 80.
TEST(CliAgainstApache, RedirectsOnAPortOfItsOwnLeadToTheFiles) {
    if (!ApacheServer::Available()) GTEST_SKIP() << "apache2 is not installed";
    ApacheServer apache("Redirect 301 /old /new\n");
    ASSERT_TRUE(apache.Start()) << apache.Error();
    const std::string data = apache.WriteFile("/new/data.pak", 900000, 31);
    const std::string setup = apache.WriteFile("/new/ZK4Setup.exe", 3000, 32);
    apache.WriteText(kListPath, apache.Url("/old/data.pak") + "\n" +
                                    apache.Url("/old/ZK4Setup.exe") + "\n");
    TempFolder home;
    TempFolder downloads;
    std::map<std::string, std::string> env = HomeEnv(home);
    env["TLX_PATCH_SERVER"] = "127.0.0.1:" + std::to_string(apache.Port());
    env["TLX_UPDATE_SERVER"] = "127.0.0.1:1";
    const CliResult result = RunCli({"--folder", downloads.Path(), "--no-install"}, env);
    ASSERT_EQ(result.status, 0) << result.out << result.err << apache.AccessLog();
    EXPECT_TRUE(ReadFile(downloads.Path() + "data.pak") == data);
    EXPECT_TRUE(ReadFile(downloads.Path() + "ZK4Setup.exe") == setup);
}
