// The engine program fetching real files from nginx on loopback: the whole
// conversation of a job, sources and their alternatives, the destinations
// it refuses, the receive cap of each mode, files already in place.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "engine_fixture.h"
#include "tests/support/test_certificates.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frames up to and including JobEnded.
std::vector<EngineFrame> UntilEnded(EngineLink* link, int ms = 20000) {
    std::vector<EngineFrame> frames;
    EngineFrame frame;
    while (link->Receive(&frame, ms)) {
        frames.push_back(frame);
        if (frame.subtype == 6 || frame.subtype == 11) break;
    }
    return frames;
}

int Count(const std::vector<EngineFrame>& frames, std::uint16_t subtype) {
    int n = 0;
    for (const EngineFrame& f : frames) n += f.subtype == subtype;
    return n;
}

class EngineTransferTest : public EngineTest {};

TEST_F(EngineTransferTest, TwoFilesArriveWholeWithProgressFileDoneAndEnd) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    std::vector<LauncherFile> files = {Served("a.bin", 300000, 1), Served("b.bin", 200000, 2)};
    Describe(&link, 41, files);

    const Accepted accepted = ExpectAccepted(&link);
    EXPECT_EQ(accepted.jobKey, 41u);
    EXPECT_NE(accepted.engineJob, 0u);
    EXPECT_EQ(accepted.fileCount, 2u);
    EXPECT_EQ(accepted.total, 500000u);

    const std::vector<EngineFrame> frames = UntilEnded(&link);
    ASSERT_FALSE(frames.empty());
    EXPECT_GE(Count(frames, 5), 1);
    ASSERT_EQ(Count(frames, 7), 2);
    std::vector<std::string> paths;
    for (const EngineFrame& f : frames) {
        EXPECT_EQ(PayloadU32(f.payload, 0), 41u) << "subtype " << f.subtype;
        EXPECT_EQ(PayloadU32(f.payload, 4), accepted.engineJob) << "subtype " << f.subtype;
        if (f.subtype == 7) {
            EXPECT_EQ(PayloadText(f.payload, 8, 33), kServiceKey);
            paths.push_back(PayloadText(f.payload, 41, 260));
            EXPECT_EQ(PayloadText(f.payload, 301), files[paths.size() - 1].url);
        }
        if (f.subtype == 5) {
            EXPECT_EQ(PayloadU32(f.payload, 12), 2u);       // files of the job
            EXPECT_EQ(PayloadU64(f.payload, 20), 500000u);  // total
            EXPECT_EQ(PayloadU32(f.payload, 60), 1u);       // one file record
            EXPECT_GE(f.payload.size(), 64u + 65u + 1u);
        }
    }
    EXPECT_EQ(paths,
              (std::vector<std::string>{downloads_.Path() + "a.bin", downloads_.Path() + "b.bin"}));
    const EngineFrame& end = frames.back();
    ASSERT_EQ(end.subtype, 6);
    EXPECT_EQ(PayloadU32(end.payload, 12), 2u);  // completed
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);  // no fallback

    EXPECT_TRUE(Downloaded("a.bin") == contents_["a.bin"]) << "a.bin differs";
    EXPECT_TRUE(Downloaded("b.bin") == contents_["b.bin"]) << "b.bin differs";
    EXPECT_FALSE(FileExists(downloads_.Path() + "a.bin.part"));
    EXPECT_FALSE(FileExists(downloads_.Path() + "b.bin.part"));
}

TEST_F(EngineTransferTest, SplitDescriptionAndAlternativesAfterAMissingSource) {
    StartNginx("location = /old.bin { return 302 /files/c.bin; }");
    StartEngine();
    EngineLink link;
    Introduce(&link);
    LauncherFile c = Served("c.bin", 70000, 3);
    // The first source is missing; the second redirects to the file.
    c.url = nginx_->Url("/missing.bin") + "|" + nginx_->Url("/old.bin");
    LauncherFile d = Served("d.bin", 1000, 4);
    ASSERT_TRUE(link.Send(0, JobModePayload(2)));
    ASSERT_TRUE(link.Send(19, JobHeadPayload(7, 2, kServiceKey)));
    ASSERT_TRUE(link.Send(20, JobSubmitFilePayload(7, 0, c)));
    ASSERT_TRUE(link.Send(20, JobSubmitFilePayload(7, 1, d)));
    ASSERT_TRUE(link.Send(21, JobKeyPayload(7)));

    EXPECT_EQ(ExpectAccepted(&link).fileCount, 2u);
    const std::vector<EngineFrame> frames = UntilEnded(&link);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().subtype, 6);
    EXPECT_EQ(PayloadU32(frames.back().payload, 12), 2u);
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 0u);
    EXPECT_TRUE(Downloaded("c.bin") == contents_["c.bin"]) << "c.bin differs";
    EXPECT_TRUE(Downloaded("d.bin") == contents_["d.bin"]) << "d.bin differs";
    // A missing source costs one probe (and a look for its metadata), no
    // download attempt.
    EXPECT_NE(AccessLog().find("HEAD /missing.bin range=- status=404"), std::string::npos)
        << AccessLog();
    EXPECT_EQ(AccessLog().find("GET /missing.bin range"), std::string::npos) << AccessLog();
}

TEST_F(EngineTransferTest, EverySourceFailingOrUnfetchableHandsTheJobBack) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    LauncherFile good = Served("ok.bin", 5000, 5);
    LauncherFile missing{downloads_.Path(), "gone.bin",
                         nginx_->Url("/nope1.bin") + "|" + nginx_->Url("/nope2.bin"), 5000};
    Describe(&link, 8, {good, missing});
    ExpectAccepted(&link);
    std::vector<EngineFrame> frames = UntilEnded(&link);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Count(frames, 7), 1);
    EXPECT_EQ(PayloadU32(frames.back().payload, 12), 1u);  // the good one
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 1u);  // fallback
    EXPECT_FALSE(FileExists(downloads_.Path() + "gone.bin"));

    // An address this engine cannot fetch at all.
    Describe(&link, 9, {{downloads_.Path(), "f.bin", "ftp://127.0.0.1/f.bin", 10}});
    ExpectAccepted(&link);
    frames = UntilEnded(&link);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().subtype, 6);
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 1u);
}

TEST_F(EngineTransferTest, RefusesDestinationsOutsideAnAbsoluteFolder) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    const std::string url = Served("x.bin", 100, 6).url;
    const std::string base = downloads_.Path();
    const std::vector<LauncherFile> bad = {
        {"relative/folder/", "x.bin", url, 100},
        {base + "sub/../../", "x.bin", url, 100},
        {base, "../x.bin", url, 100},
        {base, "..", url, 100},
        {base, "a\\b", url, 100},
        // Folder and name fit their fields, the path made of both does not.
        {base + std::string(255 - base.size(), 'f') + "/", "x.bin", url, 100},
    };
    std::uint32_t key = 100;
    for (const LauncherFile& file : bad) {
        Describe(&link, key, {file});
        EXPECT_EQ(ExpectAccepted(&link).jobKey, key);
        EngineFrame end;
        ASSERT_TRUE(link.Receive(&end)) << file.folder << " " << file.name;
        EXPECT_EQ(end.subtype, 6) << file.folder << " " << file.name;
        EXPECT_EQ(PayloadU32(end.payload, 16), 1u) << file.folder << " " << file.name;
        ++key;
    }
    EXPECT_TRUE(std::filesystem::is_empty(base));
}

TEST_F(EngineTransferTest, ModeOneCapsTheReceiveRate) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    Describe(&link, 3, {Served("big.bin", 1024 * 1024, 7)}, 1);
    ExpectAccepted(&link);
    const auto start = Clock::now();
    const std::vector<EngineFrame> frames = UntilEnded(&link, 30000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 0u);
    // 1 MiB at 393216 B/s needs about 2.7 s.
    EXPECT_GT(seconds, 2.0);
    EXPECT_GE(Count(frames, 5), 2);
    EXPECT_TRUE(Downloaded("big.bin") == contents_["big.bin"]) << "big.bin differs";
    EXPECT_NE(engine_->Log().find("at most 393216 B/s"), std::string::npos);

    // Consent lifts the cap to the direct path's high value.
    Describe(&link, 4, {Served("big2.bin", 1024 * 1024, 8)}, 2);
    ExpectAccepted(&link);
    const auto fastStart = Clock::now();
    ASSERT_FALSE(UntilEnded(&link).empty());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - fastStart).count(), 2.0);
    EXPECT_NE(engine_->Log().find("at most 104857600 B/s"), std::string::npos);
}

TEST_F(EngineTransferTest, FileAlreadyInPlaceCountsAtOnceAndAnotherSizeIsReplaced) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    LauncherFile same = Served("same.bin", 40000, 9);
    LauncherFile other = Served("other.bin", 40000, 10);
    std::ofstream(downloads_.Path() + "same.bin", std::ios::binary) << contents_["same.bin"];
    std::ofstream(downloads_.Path() + "other.bin", std::ios::binary) << "short and wrong";
    Describe(&link, 5, {same, other});
    ExpectAccepted(&link);
    const std::vector<EngineFrame> frames = UntilEnded(&link);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Count(frames, 7), 2);
    EXPECT_EQ(PayloadU32(frames.back().payload, 12), 2u);
    EXPECT_TRUE(Downloaded("same.bin") == contents_["same.bin"]) << "same.bin differs";
    EXPECT_TRUE(Downloaded("other.bin") == contents_["other.bin"]) << "other.bin differs";
    const std::string log = AccessLog();
    EXPECT_EQ(log.find("GET /files/same.bin range"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /files/other.bin range=- status=200"), std::string::npos) << log;
}

TEST_F(EngineTransferTest, CancelStopsTheJobAndKeepsItsPartialFile) {
    StartNginx("location /slow/ { limit_rate 100k; }");
    StartEngine();
    EngineLink link;
    Introduce(&link);
    nginx_->WriteFile("/slow/slow.bin", 1024 * 1024, 11);
    const LauncherFile file{downloads_.Path(), "slow.bin", nginx_->Url("/slow/slow.bin"),
                            1024 * 1024};
    Describe(&link, 6, {file});
    const Accepted accepted = ExpectAccepted(&link);
    EngineFrame progress;
    ASSERT_TRUE(link.ReceiveUntil(5, &progress));
    ASSERT_TRUE(link.Send(3, CancelJobPayload(6, accepted.engineJob)));
    ASSERT_TRUE(engine_->WaitForLog("cancelled by the launcher"));
    EngineFrame frame;
    EXPECT_FALSE(link.Receive(&frame, 1500)) << "subtype " << frame.subtype;
    EXPECT_TRUE(FileExists(downloads_.Path() + "slow.bin.part"));
    EXPECT_FALSE(FileExists(downloads_.Path() + "slow.bin"));
}

TEST_F(EngineTransferTest, AWriteThatFindsNoRoomPausesTheJobAndSaysSo) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    const LauncherFile file = Served("full.bin", 100000, 13);
    // Every write to the partial file fails as on a full disk.
    ASSERT_EQ(symlink("/dev/full", (downloads_.Path() + "full.bin.part").c_str()), 0);
    Describe(&link, 12, {file});
    ExpectAccepted(&link);
    EngineFrame state;
    ASSERT_TRUE(link.ReceiveUntil(8, &state));
    EXPECT_EQ(PayloadU32(state.payload, 0), 12u);
    EXPECT_EQ(static_cast<int>(state.payload.at(8)), 1);
    EngineFrame more;
    EXPECT_FALSE(link.Receive(&more, 1500)) << "the job must wait, not end: " << more.subtype;
    EXPECT_FALSE(FileExists(downloads_.Path() + "full.bin"));
}

TEST_F(EngineTransferTest, HttpsVerifiesThePeerAgainstTheTrustStoreInTheEnvironment) {
    TestCertificates certificates;
    ASSERT_FALSE(certificates.CaFile().empty()) << certificates.Error();
    CertificateFiles server;
    ASSERT_TRUE(certificates.Issue("server", "IP:127.0.0.1", 30, &server));
    nginx_ = std::make_unique<NginxServer>();
    nginx_->AddTlsListener(server.cert, server.key);
    ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
    const std::string content = nginx_->WriteFile("/files/tls.bin", 50000, 12);
    const LauncherFile file{downloads_.Path(), "tls.bin",
                            nginx_->TlsUrl("127.0.0.1", "/files/tls.bin"), 50000};

    // Without the test authority the server is not trusted.
    StartEngine({"SSL_CERT_FILE=", "CURL_CA_BUNDLE="});
    EngineLink untrusted;
    Introduce(&untrusted);
    Describe(&untrusted, 1, {file});
    ExpectAccepted(&untrusted);
    std::vector<EngineFrame> frames = UntilEnded(&untrusted);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 1u);
    EXPECT_FALSE(FileExists(downloads_.Path() + "tls.bin"));
    engine_->Stop();

    StartEngine({"SSL_CERT_FILE=" + certificates.CaFile()});
    EngineLink trusted;
    Introduce(&trusted);
    Describe(&trusted, 2, {file});
    ExpectAccepted(&trusted);
    frames = UntilEnded(&trusted);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 0u) << engine_->Log();
    EXPECT_TRUE(Downloaded("tls.bin") == content);
}

}  // namespace
