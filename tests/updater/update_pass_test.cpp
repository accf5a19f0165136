// Whole update passes against nginx with TLS on loopback: the manifest, the
// digest file and the archive fetched over verified https, checked, installed
// and the engine started, and every way a pass can go wrong leaving the
// installed engine as it was.
#include <arpa/inet.h>
#include <openssl/evp.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "engine/engine_paths.h"
#include "platform/kernel.h"
#include "platform/resolver.h"
#include "service/base/service_log.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_certificates.h"
#include "tests/support/tls_peer_server.h"
#include "tests/transfers/direct_job_fixture.h"
#include "tests/updater/archive_builders.h"
#include "updater/manifest_signature.h"
#include "updater/update_digest.h"
#include "updater/update_launcher.h"

namespace {

namespace fs = std::filesystem;
namespace ut = updater_test;

constexpr char kUpdateHost[] = "update.zk4.test";
constexpr char kManifestPath[] = "/norvex/tlxdownload/update/v3_32/tlxdownload_updater.xml";

// What the launcher tells the engine downloader, from the worker thread.
class LaunchRecorder final : public ILauncherEventListener {
public:
    void OnUpdateFileStarted(const char* url, std::int64_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sizes.emplace_back(url, size);
    }
    void OnUpdateProgress(const char*, std::int64_t received) override { lastProgress = received; }
    void OnEngineStarted(bool) override { started = started + 1; }
    void OnEngineStartFailed() override { startFailed = startFailed + 1; }
    void OnUpdateStalled() override { stalled = stalled + 1; }
    void OnUpdateFailed(int kind) override {
        failedKind = kind;
        failed = failed + 1;
    }
    bool Ended() const { return started + startFailed + failed > 0; }
    std::vector<std::pair<std::string, std::int64_t>> Sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes;
    }

    std::atomic<int> started{0}, startFailed{0}, stalled{0}, failed{0}, failedKind{0};
    std::atomic<std::int64_t> lastProgress{0};

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::int64_t>> sizes;
};

// What a published manifest says beyond the addresses; "" leaves an
// attribute out.
struct Checks {
    std::string serial = "1";
    std::string expires = "2099-01-01";
    std::string sha256;  // the archive's unless set
    std::string size;    // the archive's unless set
};

class UpdatePassTest : public DirectJobTest {
protected:
    static void SetUpTestSuite() {
        if (certificates_) return;
        certificates_ = new TestCertificates();
        if (certificates_->CaFile().empty() ||
            !certificates_->Issue("update", std::string("DNS:") + kUpdateHost, 30, &good_))
            error_ = certificates_->Error();
    }
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(error_.empty()) << error_;
        trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", certificates_->CaFile().c_str());
        plat::SetHostOverrideForTesting(kUpdateHost, htonl(INADDR_LOOPBACK));
        engineIdle_ = std::make_unique<ScopedEnv>("TLX_ENGINE_IDLE_EXIT", "2");
        enginePort_ = std::make_unique<ScopedEnv>(
            "TLX_ENGINE_PORT",
            std::to_string(UnusedFixedPort()).c_str());
        DirectJobTest::SetUp();
        if (HasFatalFailure()) return;
        // /pkg/ranged.zip: a whole request gets a damaged copy, a ranged one
        // the good bytes (a try after a digest failure must ask for the rest).
        nginx_ = std::make_unique<NginxServer>(
            "access_log " + logs_.Path() + "access.log plain;\n"
            "location = /pkg/ranged.zip {\n"
            "  if ($http_range = \"\") { rewrite ^ /pkg/ranged.zip.damaged break; }\n"
            "}\n",
            "log_format plain '$request_method $uri $status $http_range';");
        nginx_->AddTlsListener(good_.cert, good_.key);
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
        updateServer_ = std::make_unique<ScopedEnv>(
            "TLX_UPDATE_SERVER",
            (std::string(kUpdateHost) + ":" + std::to_string(nginx_->TlsPort())).c_str());
        fs::create_directories(EngineFolder());
    }
    void TearDown() override {
        if (launcher_) UnderLock([&] { launcher_.reset(); });
        SetUpdateSessionFaultForTesting(0, 0);
        SetUpdateFetchDeadlineForTesting(0);
        CJobManager::SetEngineLinkLimitsForTesting(EngineLinkLimits{});
        DirectJobTest::TearDown();
        plat::ClearHostOverridesForTesting();
        KillEngines();
    }
    void KillEngines() {
        // The engine program ends by itself once idle; a test does not wait.
        // An installed engine runs from its version folder, beside the
        // engine folder: every engine below the test's data folder goes.
        const std::string mine = appData_.Path();
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::error_code ec;
            const fs::path target = fs::read_symlink(entry.path() / "exe", ec);
            if (!ec && target.string().rfind(mine, 0) == 0 &&
                target.filename() == kEngineFileName)
                kill(std::atoi(entry.path().filename().c_str()), SIGKILL);
        }
    }

    std::string EngineFolder() const { return appData_.Path() + "Norvex/tlxDownloadV32/"; }
    std::string Executable() const { return EngineFolder() + kEngineFileName; }
    std::string Https(const std::string& path) const {
        return "https://" + std::string(kUpdateHost) + ":" + std::to_string(nginx_->TlsPort()) +
               path;
    }
    std::string AccessLog() const { return ReadFile(logs_.Path() + "access.log"); }
    int Requests(const std::string& path) const {
        const std::string log = AccessLog();
        int count = 0;
        for (std::size_t at = log.find("GET " + path + " "); at != std::string::npos;
             at = log.find("GET " + path + " ", at + 1))
            ++count;
        return count;
    }
    void Serve(const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(nginx_->Root() + path).parent_path());
        ut::WriteFile(nginx_->Root() + path, bytes);
    }
    static std::string DigestOf(const std::string& archive) {
        const auto sequence =
            DigestSequence(ut::Bytes(archive), static_cast<std::int64_t>(archive.size()));
        return std::string(sequence.begin(), sequence.end());
    }
    // The manifest naming `version`, with the engine's archive at
    // /pkg/<archiveName> (also as the whole package) and its digest file.
    void Publish(const std::string& version, const std::string& archiveName,
                 const std::string& archive, const std::string* digest = nullptr,
                 std::optional<Checks> checks = Checks{}) {
        const std::string url = Https("/pkg/" + archiveName);
        Serve("/pkg/" + archiveName, archive);
        Serve("/pkg/" + archiveName + ".md4", digest ? *digest : DigestOf(archive));
        std::string root = "<root>", entry;
        if (checks) {
            root = "<root" + Attr("serial", checks->serial) + Attr("expires", checks->expires) + ">";
            entry = Attr("sha256", checks->sha256.empty() ? Sha256Of(archive) : checks->sha256) +
                    Attr("size", checks->size.empty() ? std::to_string(archive.size())
                                                      : checks->size);
        }
        Serve(kManifestPath, "<?xml version=\"1.0\"?>\n" + root +
                                 "<file><TLXDownloadV32.exe ver=\"" + version + "\" url=\"" + url +
                                 "\" hash=\"" + url + ".md4\"" + entry +
                                 "/></file><all><all url=\"" + url + "\" hash=\"" + url +
                                 ".md4\"" + entry + "/></all></root>\n");
    }
    static std::string Attr(const std::string& name, const std::string& value) {
        return value.empty() ? std::string() : " " + name + "=\"" + value + "\"";
    }
    static std::string Sha256Of(const std::string& bytes) {
        unsigned char digest[32];
        unsigned int length = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text += kHex[digest[i] >> 4];
            text += kHex[digest[i] & 0xF];
        }
        return text;
    }
    // The built engine program, packed as a zip.
    std::string EnginePackage() {
        return ut::MakeZip(logs_.Path(), {ut::ZipItem{kEngineFileName, ReadFile(ZK4_ENGINE_BIN)}});
    }
    void RunPass() {
        // A pass after another: only its own outcome counts.
        recorder_.started = 0;
        recorder_.startFailed = 0;
        recorder_.failed = 0;
        UnderLock([&] {
            launcher_ = std::make_unique<CEngineLauncher>(&recorder_);
            launcher_->Begin();
        });
        ASSERT_TRUE(WaitFor([&] { return recorder_.Ended(); }, 60000))
            << ::testing::PrintToString(ServiceLogMessages());
    }
    int LogCount(const std::string& line) {
        const auto lines = ServiceLogMessages();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool NoStaging() const {
        for (const auto& entry : fs::directory_iterator(appData_.Path() + "Norvex"))
            if (entry.path().filename().string().rfind("tlxDownloadV32.update-", 0) == 0)
                return false;
        return true;
    }

    static inline TestCertificates* certificates_ = nullptr;
    static inline CertificateFiles good_;
    static inline std::string error_;
    TempFolder logs_;
    std::unique_ptr<ScopedEnv> trust_, engineIdle_, enginePort_, updateServer_;
    LaunchRecorder recorder_;
    std::unique_ptr<CEngineLauncher> launcher_;
};

}  // namespace

// --- Passes that install or keep the engine.

TEST_F(UpdatePassTest, MissingEngineIsInstalledOverHttpsAndStarted) {
    const std::string package = EnginePackage();
    Publish("3.2.0.7", "engine.zip", package);
    RunPass();
    EXPECT_EQ(recorder_.started, 1);
    EXPECT_TRUE(ReadFile(Executable()) == ReadFile(ZK4_ENGINE_BIN));
    EXPECT_EQ(LogCount("[OstrelLib] Current Version:  / New Version: 3.2.0.7"), 1);
    EXPECT_EQ(LogCount("[OstrelLib] Update File (Count: 2)"), 1)
        << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_EQ(
        LogCount("[OstrelLib] Download Completed (URL: " + Https(kManifestPath) + ")(Code: 0)"), 1);
    EXPECT_EQ(
        LogCount("[OstrelLib] Download Completed (URL: " + Https("/pkg/engine.zip") + ")(Code: 0)"),
        1);
    EXPECT_EQ(LogCount("[OstrelLib] Execute OK(0)"), 1);
    EXPECT_EQ(LogCount("[OstrelLib] Patch Success"), 1);
    // The archive's size and progress reached the engine downloader (518, 519).
    const auto sizes = recorder_.Sizes();
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].second, static_cast<std::int64_t>(package.size()));
    EXPECT_EQ(recorder_.lastProgress, static_cast<std::int64_t>(package.size()));
    EXPECT_TRUE(NoStaging());
}

TEST_F(UpdatePassTest, EqualVersionFetchesNoArchive) {
    ut::WriteFile(Executable(), ut::ElfWithVersion("3.2.0.7"));
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    RunPass();
    EXPECT_EQ(recorder_.started, 1);  // all good, whatever the start did
    EXPECT_EQ(Requests(kManifestPath), 1);
    EXPECT_EQ(Requests("/pkg/engine.zip"), 0);
    EXPECT_EQ(Requests("/pkg/engine.zip.md4"), 0);
    EXPECT_EQ(LogCount("[OstrelLib] Update File (Count: 0)"), 1);
    EXPECT_EQ(LogCount("[OstrelLib] Patch Success"), 1);
}

// --- Passes that must change nothing.

TEST_F(UpdatePassTest, ThreeDigestMismatchesLeaveTheOldEngine) {
    const std::string old = ut::ElfWithVersion("3.2.0.5");
    ut::WriteFile(Executable(), old);
    const std::string wrong(48, 'x');
    Publish("3.2.0.7", "engine.zip", EnginePackage(), &wrong);
    RunPass();
    EXPECT_EQ(
        LogCount("[OstrelLib] Download Completed (URL: " + Https("/pkg/engine.zip") + ")(Code: 4)"),
        3);
    EXPECT_EQ(LogCount("[OstrelLib] Patch Fail"), 1);
    EXPECT_TRUE(ReadFile(Executable()) == old);
    EXPECT_TRUE(NoStaging());
}

TEST_F(UpdatePassTest, MissingDigestNeverLetsTheArchiveInUnchecked) {
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    fs::remove(nginx_->Root() + "pkg/engine.zip.md4");
    RunPass();
    EXPECT_FALSE(fs::exists(Executable()));
    EXPECT_EQ(Requests("/pkg/engine.zip"), 0);
    EXPECT_EQ(recorder_.startFailed, 1);
}

TEST_F(UpdatePassTest, UntrustedCertificateInstallsNothing) {
    trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", "/nonexistent/ca.pem");
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    RunPass();
    EXPECT_FALSE(fs::exists(Executable()));
    EXPECT_EQ(Requests(kManifestPath), 0);  // no request ever went out
    EXPECT_EQ(recorder_.startFailed, 1);
}

TEST_F(UpdatePassTest, HostilePackageFailsThePassAndChangesNothing) {
    const std::string old = ut::ElfWithVersion("3.2.0.5");
    ut::WriteFile(Executable(), old);
    const auto before = ut::Snapshot(appData_.Path());
    Publish("3.2.0.7", "engine.zip",
            ut::MakeZip(logs_.Path(), {ut::ZipItem{"TLXDownloadV32.exe", "new"},
                                       ut::ZipItem{"../../evil", "x"}}));
    RunPass();
    EXPECT_EQ(recorder_.failed, 1);
    EXPECT_EQ(recorder_.failedKind, 1) << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_EQ(LogCount("[OstrelLib] 엔진 다운로드 실패 result : 5"), 1);
    EXPECT_TRUE(ReadFile(Executable()) == old);
    auto after = ut::Snapshot(appData_.Path());
    after.erase("Norvex/tlxDownloadV32/config/service.log");
    auto expected = before;
    expected.erase("Norvex/tlxDownloadV32/config/service.log");
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_FALSE(fs::exists(appData_.Path() + "evil"));
    EXPECT_TRUE(NoStaging());
}

TEST_F(UpdatePassTest, UnreachableServerStallsOnceThenFetchesAgain) {
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    SetUpdateSessionFaultForTesting(7, 2);
    RunPass();
    EXPECT_EQ(recorder_.stalled, 1) << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_EQ(LogCount("[OstrelLib] Session Error (URL: " + Https(kManifestPath) + ")(Code: 7)"),
              2);
    EXPECT_EQ(recorder_.started, 1);
    EXPECT_TRUE(ReadFile(Executable()) == ReadFile(ZK4_ENGINE_BIN));
}

// --- The whole system: the service updates, starts and uses the engine.

TEST_F(UpdatePassTest, ServiceUpdatesTheEngineAndRunsTheJobThroughIt) {
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    // A second service on the same data folder, with the updating launch.
    FinalizeService();
    CJobManager::SetDefaultLauncherFactoryForTesting(CEngineLauncher::Factory());
    ResetServiceLog();
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    const std::string body = nginx_->WriteFile("/files/game.pak", 500000, 3);
    CJob* job = NewJob({nginx_->Url("/files/game.pak")});
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(WaitFor([&] { return events_.CountOf(516) > 0; }, 60000))
        << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_TRUE(ReadFile(Folder() + "game.pak") == body);
    EXPECT_EQ(LogCount("[OstrelLib] Patch Success"), 1);
    EXPECT_EQ(events_.CountOf(520), 1);  // the engine is ready
    const auto lines = ServiceLogMessages();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("goes to direct download") != std::string::npos;
    })) << ::testing::PrintToString(lines);
    EXPECT_NE(ReadFile(EngineFolder() + "config/engine.log").find("game.pak"), std::string::npos);
}

TEST_F(UpdatePassTest, ADigestFailureRefetchesOnlyWhatDidNotVerify) {
    const std::string package = EnginePackage();
    ASSERT_GT(package.size(), 2u * kDigestPieceBytes);
    std::string damaged = package;
    damaged[kDigestPieceBytes + kDigestPieceBytes / 2] ^= 0x5A;  // inside the second piece
    Serve("/pkg/ranged.zip.damaged", damaged);
    Publish("3.2.0.7", "ranged.zip", package);
    RunPass();
    EXPECT_EQ(recorder_.started, 1) << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_TRUE(ReadFile(Executable()) == ReadFile(ZK4_ENGINE_BIN));
    // The whole archive once, then only what followed the verified piece.
    const std::string log = AccessLog();
    EXPECT_NE(log.find("GET /pkg/ranged.zip.damaged 200 -"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /pkg/ranged.zip 206 bytes=" + std::to_string(kDigestPieceBytes) + "-"),
              std::string::npos)
        << log;
    EXPECT_EQ(Requests("/pkg/ranged.zip.damaged") + Requests("/pkg/ranged.zip"), 2);
}

// --- Servers that answer too slowly, or not at all.

TEST_F(UpdatePassTest, DrippedManifestEndsAtItsDeadline) {
    // 100 bytes every 200 ms: never idle, never below the low-speed floor.
    TlsPeerServer server(good_, [](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        (void)peer.ReadRequest();
        (void)peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                            std::string(100000, ' '),
                        100, 200);
    });
    updateServer_.reset();  // restores the old value first, then the new one holds
    updateServer_ = std::make_unique<ScopedEnv>(
        "TLX_UPDATE_SERVER", (std::string(kUpdateHost) + ":" + std::to_string(server.Port())).c_str());
    SetUpdateFetchDeadlineForTesting(1500);
    const std::int64_t before = plat::MonotonicMs();
    RunPass();
    EXPECT_LT(plat::MonotonicMs() - before, 20000);
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("(the download did not end within 1 s)") != std::string::npos;
    })) << ::testing::PrintToString(lines);
}

TEST_F(UpdatePassTest, SilentUpdateServerSendsTheJobDirectAtTheFirstByteBound) {
    fs::copy_file(ZK4_ENGINE_BIN, Executable());
    // Connections are taken by the kernel and never answered.
    LoopbackListener silent;
    updateServer_.reset();  // restores the old value first, then the new one holds
    updateServer_ = std::make_unique<ScopedEnv>(
        "TLX_UPDATE_SERVER", (std::string(kUpdateHost) + ":" + std::to_string(silent.Port())).c_str());
    FinalizeService();
    EngineLinkLimits limits;
    limits.firstByteMs = 3000;
    CJobManager::SetEngineLinkLimitsForTesting(limits);
    CJobManager::SetDefaultLauncherFactoryForTesting(CEngineLauncher::Factory());
    ResetServiceLog();
    ASSERT_EQ(InitializeService(events_.Window()), 512);
    const std::string body = nginx_->WriteFile("/files/game.pak", 300000, 4);
    CJob* job = NewJob({nginx_->Url("/files/game.pak")});
    const std::int64_t before = plat::MonotonicMs();
    ASSERT_EQ(Manager()->StartJob(job, 1), 512);
    ASSERT_TRUE(WaitFor([&] { return events_.CountOf(516) > 0; }, 30000))
        << ::testing::PrintToString(ServiceLogMessages());
    EXPECT_LT(plat::MonotonicMs() - before, 15000);
    EXPECT_TRUE(ReadFile(Folder() + "game.pak") == body);
    // The window heard what the job waited for, then that it went direct.
    std::vector<int> codes;
    for (const auto& [code, text] : Messages(job)) codes.push_back(code);
    EXPECT_NE(std::find(codes.begin(), codes.end(), 519), codes.end())
        << ::testing::PrintToString(codes);
    EXPECT_NE(std::find(codes.begin(), codes.end(), 518), codes.end());
}

// --- A publisher's build with an update key: manifests must be signed.

class SignedManifestTest : public UpdatePassTest {
protected:
    void SetUp() override {
        UpdatePassTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        key_ = logs_.Path() + "update-key.pem";
        ASSERT_EQ(Shell("openssl genpkey -algorithm ed25519 -out " + key_), 0);
        // The raw public key: the last 32 bytes of its DER form.
        ASSERT_EQ(Shell("openssl pkey -in " + key_ +
                        " -pubout -outform DER | tail -c 32 | od -An -tx1 | tr -d ' \\n' > " +
                        logs_.Path() + "key.hex"),
                  0);
        SetUpdatePublicKeyForTesting(ReadFile(logs_.Path() + "key.hex"));
    }
    void TearDown() override {
        SetUpdatePublicKeyForTesting("");
        UpdatePassTest::TearDown();
    }
    static int Shell(const std::string& command) { return std::system(command.c_str()); }
    void Sign(const std::string& keyFile) {
        const std::string manifest = nginx_->Root() + kManifestPath;
        ASSERT_EQ(Shell("openssl pkeyutl -sign -rawin -inkey " + keyFile + " -in " + manifest +
                        " -out " + manifest + ".sig"),
                  0);
    }
    std::string key_;
};

TEST_F(SignedManifestTest, SignedManifestIsUsed) {
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    Sign(key_);
    RunPass();
    EXPECT_EQ(recorder_.started, 1);
    EXPECT_TRUE(ReadFile(Executable()) == ReadFile(ZK4_ENGINE_BIN));
    EXPECT_EQ(Requests(std::string(kManifestPath) + ".sig"), 1);
}

TEST_F(SignedManifestTest, AnOlderSerialOrAnExpiredManifestIsRefused) {
    Checks first;
    first.serial = "5";
    Publish("3.2.0.7", "engine.zip", EnginePackage(), nullptr, first);
    Sign(key_);
    RunPass();
    ASSERT_EQ(recorder_.started, 1) << ::testing::PrintToString(ServiceLogMessages());
    const std::string installed = ReadFile(Executable());

    // A manifest served again from before: serial 4 after 5.
    Checks older;
    older.serial = "4";
    Publish("3.2.0.8", "old.zip",
            ut::MakeZip(logs_.Path(), {ut::ZipItem{kEngineFileName,
                                                   ut::EngineOfVersion(ZK4_ENGINE_BIN, "3.2.0.8")}}),
            nullptr, older);
    Sign(key_);

    UnderLock([&] { launcher_.reset(); });
    RunPass();
    EXPECT_TRUE(ReadFile(Executable()) == installed);
    EXPECT_EQ(Requests("/pkg/old.zip"), 0);
    EXPECT_GE(LogCount("[OstrelLib] Update manifest refused : serial 4 is older than 5 seen before "
                       "(an old manifest served again)"),
              1);

    // A manifest past its expiry: a server frozen on a stale release.
    Checks stale;
    stale.serial = "6";
    stale.expires = "2020-01-01T00:00:00Z";
    Publish("3.2.0.8", "old.zip", "unused", nullptr, stale);
    Sign(key_);
    UnderLock([&] { launcher_.reset(); });
    RunPass();
    EXPECT_TRUE(ReadFile(Executable()) == installed);
    EXPECT_EQ(Requests("/pkg/old.zip"), 0);
    EXPECT_GE(LogCount("[OstrelLib] Update manifest refused : the manifest expired "
                       "(2020-01-01T00:00:00Z)"),
              1)
        << ::testing::PrintToString(ServiceLogMessages());
}

TEST_F(SignedManifestTest, AnArchiveOtherThanTheSignedOneIsRefused) {
    // The archive and digest addresses serve another engine, with a digest
    // file that fits it: only the signed SHA-256 can tell.
    Checks signedFor;
    signedFor.sha256 = Sha256Of("the archive the publisher signed");
    Publish("3.2.0.7", "engine.zip", EnginePackage(), nullptr, signedFor);
    Sign(key_);
    RunPass();
    EXPECT_FALSE(fs::exists(Executable()));
    const auto lines = ServiceLogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("is not the manifest's") != std::string::npos;
    })) << ::testing::PrintToString(lines);

    // And a signed manifest without the checks is no signed manifest at all.
    Publish("3.2.0.7", "engine.zip", EnginePackage(), nullptr, std::nullopt);
    Sign(key_);
    UnderLock([&] { launcher_.reset(); });
    RunPass();
    EXPECT_FALSE(fs::exists(Executable()));
    EXPECT_GE(LogCount("[OstrelLib] Update manifest refused : the signed manifest has no serial"),
              1);
}

TEST_F(SignedManifestTest, UnsignedOrForeignSignedManifestInstallsNothing) {
    Publish("3.2.0.7", "engine.zip", EnginePackage());
    RunPass();  // no signature beside it
    EXPECT_FALSE(fs::exists(Executable()));
    EXPECT_EQ(Requests("/pkg/engine.zip"), 0);

    const std::string other = logs_.Path() + "other-key.pem";
    ASSERT_EQ(Shell("openssl genpkey -algorithm ed25519 -out " + other), 0);
    Sign(other);
    UnderLock([&] { launcher_.reset(); });
    recorder_.startFailed = 0;
    RunPass();
    EXPECT_FALSE(fs::exists(Executable()));
    EXPECT_EQ(Requests("/pkg/engine.zip"), 0);
    EXPECT_GE(
        LogCount("[OstrelLib] Update manifest refused : the signature does not match the manifest"),
        1);
}
