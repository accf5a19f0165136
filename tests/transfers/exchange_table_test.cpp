// The reaction table against every session that follows it: each session
// is run for real over a URL field of two mirrors, the first of which fails
// in one class (a 503, a 404, a refused connection), against real nginx,
// and what it did (how often it asked the first mirror, whether it went on
// to the second, whether it ended well) must be what the table says for
// its role. So the table in http_outcome.cpp is the one place that answers
// "what does the program do on a 503 from a mirror, during the sum, during
// a file, during an update".
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "platform/files.h"
#include "service/base/job.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/network_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_certificates.h"
#include "tests/support/wait_for.h"
#include "transfers/content_length_checker.h"
#include "transfers/data_download_session.h"
#include "transfers/file_size_checker.h"
#include "transfers/http_outcome.h"
#include "transfers/platform_session.h"
#include "updater/download_session.h"

namespace {

constexpr ExchangeRole kRoles[] = {ExchangeRole::kDocument, ExchangeRole::kSum,
                                   ExchangeRole::kSizeProbe, ExchangeRole::kFile,
                                   ExchangeRole::kUpdate};

// How a first mirror fails.
struct Fault {
    HttpOutcome outcome;
    const char* path;  // on nginx; "" for a port where nothing listens
};
constexpr Fault kFaults[] = {{HttpOutcome::kServerError, "/busy/f.bin"},
                             {HttpOutcome::kClientError, "/gone/f.bin"},
                             {HttpOutcome::kConnectFailed, ""}};

// What the table predicts for a field "first|second".
struct Prediction {
    int firstRequests;
    bool secondAsked;
};

Prediction Predict(ExchangeRole role, HttpOutcome outcome) {
    switch (ReactionTo(role, outcome).step) {
        case Step::kRetry:
            return {LimitsFor(role).attemptsPerAlternative, true};
        case Step::kNextAddress:
            return {1, true};
        case Step::kFail:
            break;
    }
    return {1, false};
}

// Ends when the session reports; `ok` says how.
struct Ending {
    bool ended = false;
    bool ok = false;
};

class Listeners final : public IDataDownloadSessionEventListener,
                        public IContentLengthCheckerEventListener,
                        public ICheckerEventListener,
                        public IPlatFormSessionEventListener,
                        public IDownloadSessionEventListener {
public:
    explicit Listeners(Ending* ending) : ending_(ending) {}
    void End(bool ok) {
        if (ending_->ended) return;
        ending_->ended = true;
        ending_->ok = ok;
    }
    void OnDocumentComplete() override { End(true); }
    void OnDocumentFailed(int) override { End(false); }
    void OnDocumentTick() override {}
    void OnLengthsKnown() override { End(true); }
    void OnLengthCheckFailed() override { End(false); }
    void OnLengthCheckAborted() override { End(false); }
    void OnSizeCheckCompleted(void*, const SizeTotals&) override { End(true); }
    void OnSizeCheckFailed(void*, int, const std::string&) override { End(false); }
    void OnSessionComplete(void*) override { End(true); }
    void OnSessionFailed(void*, const std::string&, bool) override { End(false); }
    void OnFileCompleted(void*, const SessionFile&) override {}
    void OnProgress(void*) override {}
    void OnFileOpened(const std::string&, void*) override {}
    void OnError(void*, int, const std::string&) override { End(false); }
    void OnSessionConnected(CDownloadSession*) override {}
    void OnSessionComplete(CDownloadSession*, const DownloadResult& result) override {
        End(result.code == kDownloadDone);
    }
    void OnSessionError(CDownloadSession*, int) override { End(false); }
    void OnFileSize(CDownloadSession*, const char*, std::int64_t) override {}
    void OnFileProgress(CDownloadSession*, const char*, std::int64_t) override {}

private:
    Ending* ending_;
};

// The update's entry at its manifest stage: takes whatever arrives.
class ManifestEntry final : public IProgressFile {
public:
    explicit ManifestEntry(std::string url) : url_(std::move(url)) {}
    void GetUrl(std::string* out) const override { *out = url_; }
    bool IsFinished() const override { return true; }
    int OnData(const std::string&, const std::uint8_t*, std::int64_t, std::int32_t* kind) override {
        *kind = kDownloadManifest;
        return kDownloadDone;
    }
    std::int32_t Classify(const std::string&) const override { return kDownloadManifest; }

private:
    std::string url_;
};

class ExchangeTableTest : public NetworkTest {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(certificates_.Error().empty()) << certificates_.Error();
        ASSERT_TRUE(certificates_.Issue("origin", "IP:127.0.0.1", 30, &tls_));
        trust_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", certificates_.CaFile().c_str());
        nginx_ = std::make_unique<NginxServer>(
            "access_log " + logs_.Path() + "access.log table;\n"
            "location /busy/ { return 503; }\n"
            "location /gone/ { return 404; }\n",
            "log_format table '$uri';");
        nginx_->AddTlsListener(tls_.cert, tls_.key);
        nginx_->WriteFile("/good/f.bin", 5000, 3);
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
        NetworkTest::SetUp();
    }

    // The address of `path` for `role` ("" for a refused port); the update
    // takes https only.
    std::string Address(ExchangeRole role, const std::string& path) const {
        if (path.empty()) {
            const plat::SockAddrIn port = UnusedLoopbackPort();
            return std::string(role == ExchangeRole::kUpdate ? "https" : "http") +
                   "://127.0.0.1:" + std::to_string(plat::NetToHost16(port.portNet)) + "/f.bin";
        }
        return role == ExchangeRole::kUpdate ? nginx_->TlsUrl("127.0.0.1", path) : nginx_->Url(path);
    }

    // Runs the role's own session over `field` to its report.
    Ending Run(ExchangeRole role, const std::string& field) {
        Ending ending;
        Listeners listeners(&ending);
        TempFolder folder;
        std::vector<std::unique_ptr<JobFileEntry>> files;
        files.push_back(std::make_unique<JobFileEntry>());
        files[0]->index = 0;
        files[0]->url = field;
        files[0]->folder = folder.Path();
        files[0]->localName = "f.bin";
        files[0]->remoteSize = -1;
        auto wait = [&] { EXPECT_TRUE(Pump([&] { return ending.ended; }, 30000)) << field; };
        switch (role) {
            case ExchangeRole::kDocument: {
                CDataDownloadSession session(&listeners);
                session.Fetch(field.c_str());
                wait();
                break;
            }
            case ExchangeRole::kSum: {
                CContentLengthChecker checker(&listeners);
                (void)checker.AddUrl(field.c_str());
                checker.Start();
                wait();
                break;
            }
            case ExchangeRole::kSizeProbe: {
                CPlatformFileSizeChecker checker(&listeners, nullptr);
                checker.Check(files);
                wait();
                break;
            }
            case ExchangeRole::kFile: {
                CPlatformSession session(&listeners, nullptr);
                session.Begin(files, [](std::int32_t) { return -1; });
                wait();
                if (ending.ok) {
                    EXPECT_EQ(plat::FileLength(folder.Path() + "f.bin"), 5000);
                }
                break;
            }
            case ExchangeRole::kUpdate: {
                ManifestEntry entry(field);
                CDownloadSession session(&listeners);
                session.Attach(&entry);
                session.StartFetch();
                wait();
                session.Detach();
                break;
            }
        }
        return ending;
    }

    // Requests nginx logged for `uri` since the last call.
    int Requests(const std::string& uri) {
        std::ifstream in(logs_.Path() + "access.log");
        std::string line;
        int count = 0;
        for (std::size_t at = 0; std::getline(in, line); ++at)
            if (at >= seen_ && line == uri) ++count;
        return count;
    }
    void ForgetLog() {
        std::ifstream in(logs_.Path() + "access.log");
        std::string line;
        seen_ = 0;
        while (std::getline(in, line)) ++seen_;
    }

    TestCertificates certificates_;
    CertificateFiles tls_;
    std::unique_ptr<ScopedEnv> trust_;
    TempFolder logs_;
    std::unique_ptr<NginxServer> nginx_;
    std::size_t seen_ = 0;
};

}  // namespace

TEST_F(ExchangeTableTest, EverySessionReactsToAFailingMirrorAsTheTableSays) {
    for (const Fault& fault : kFaults) {
        for (ExchangeRole role : kRoles) {
            const std::string what = std::string(RoleName(role)) + ", first mirror " +
                                     std::string(OutcomeName(fault.outcome));
            const Prediction predicted = Predict(role, fault.outcome);
            ForgetLog();
            const Ending ending =
                Run(role, Address(role, fault.path) + "|" + Address(role, "/good/f.bin"));
            EXPECT_EQ(ending.ok, predicted.secondAsked) << what;
            // nginx logs a request once it has answered it: the counts are
            // read until they are what they will be.
            int first = 0, second = 0;
            (void)WaitFor([&] {
                first = *fault.path ? Requests(fault.path) : predicted.firstRequests;
                second = Requests("/good/f.bin");
                return first >= predicted.firstRequests && second >= (predicted.secondAsked ? 1 : 0);
            }, 2000);
            EXPECT_EQ(first, predicted.firstRequests) << what;
            EXPECT_GE(second, predicted.secondAsked ? 1 : 0) << what;
            if (!predicted.secondAsked) {
                EXPECT_EQ(second, 0) << what;
            }
        }
    }
}
