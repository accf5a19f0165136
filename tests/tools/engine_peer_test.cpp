// The engine's peer back end against real peers on loopback: a libtorrent
// seeder (the Python binding), a seeder that corrupts every piece, and a
// second engine. nginx serves the publisher's metadata made by
// tools/make-release and, where a test says so, the file as web seed.
// Peers are only ever named (TLX_ENGINE_PEERS); nothing is discovered.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "engine_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/tracker_process.h"
#include "tests/support/wait_for.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";

bool PeerToolsAvailable(std::string* why) {
    if (!ZK4_ENGINE_HAS_PEERS) {
        *why = "the engine is built without its peer back end";
        return false;
    }
    if (std::system("/usr/bin/python3 -c 'import libtorrent' >/dev/null 2>&1") != 0) {
        *why = "python3-libtorrent is not installed";
        return false;
    }
    return true;
}

// The test seeder as a child; its upload counter read from its status file.
class Seeder {
public:
    bool Start(const std::string& torrent, const std::string& folder,
               const std::vector<std::string>& options = {}) {
        status_ = dir_.Path() + "status.json";
        std::vector<std::string> args = {ZK4_TEST_SEEDER, torrent, folder, status_};
        args.insert(args.end(), options.begin(), options.end());
        if (!child_.Start(kPython, args) || !child_.WaitForLines(1, 30000)) return false;
        const std::string& line = child_.Lines().front();
        if (line.rfind("port ", 0) != 0) return false;
        port_ = std::atoi(line.c_str() + 5);
        return port_ > 0;
    }
    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
    long long Uploaded() const {
        const std::string text = ReadFileText(status_);
        std::smatch m;
        if (!std::regex_search(text, m, std::regex("\"uploaded\": *([0-9]+)"))) return 0;
        return std::atoll(m[1].str().c_str());
    }

private:
    TempFolder dir_;
    ChildProcess child_;
    std::string status_;
    int port_ = 0;
};

// Frames up to and including JobEnded (or JobFailed).
std::vector<EngineFrame> UntilEnded(EngineLink* link, int ms = 30000) {
    std::vector<EngineFrame> frames;
    EngineFrame frame;
    while (link->Receive(&frame, ms)) {
        frames.push_back(frame);
        if (frame.subtype == 6 || frame.subtype == 11) break;
    }
    return frames;
}

// The first number after `prefix` in the log, or -1.
long long LoggedNumber(const std::string& log, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(log, m, std::regex(pattern))) return -1;
    return std::atoll(m[1].str().c_str());
}

class EnginePeerTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (IsSkipped()) return;
        std::string why;
        if (!PeerToolsAvailable(&why)) GTEST_SKIP() << why;
    }

    // A file below /files/ on nginx with its metadata beside it, made by
    // the publisher's tool. nginx must run.
    LauncherFile Released(const std::string& name, std::size_t size, unsigned seed,
                          const std::string& pieceSize = "32768", const std::string& tracker = "") {
        LauncherFile file = Served(name, size, seed);
        const std::string command = std::string(kPython) + " " + ZK4_MAKE_RELEASE + " " +
                                    FilesFolder() + " " + nginx_->Url("/files/") +
                                    " --piece-size " + pieceSize +
                                    (tracker.empty() ? "" : " --tracker " + tracker) + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return file;
    }
    std::string FilesFolder() const { return nginx_->Root() + "files/"; }
    std::string Torrent(const std::string& name) const { return FilesFolder() + name + ".torrent"; }

    // Engine environment: local discovery off, peers only those named.
    static std::vector<std::string> PeerEnv(const std::string& peers,
                                            std::vector<std::string> more = {}) {
        more.push_back("TLX_ENGINE_LSD=0");
        more.push_back("TLX_ENGINE_PEER_LISTEN=127.0.0.1:0");
        more.push_back("TLX_ENGINE_PEERS=" + peers);
        return more;
    }

    // One job of `files` in mode 2; the frames to its end.
    std::vector<EngineFrame> RunJob(std::uint32_t key, const std::vector<LauncherFile>& files,
                                    std::uint8_t mode = 2) {
        link_ = std::make_unique<EngineLink>();
        Introduce(link_.get());
        Describe(link_.get(), key, files, mode);
        ExpectAccepted(link_.get());
        return UntilEnded(link_.get());
    }

    // nginx refuses the file itself; its metadata stays served.
    static std::string Refuse(const std::string& path) {
        return "location = " + path + " { return 404; }\n";
    }

    std::unique_ptr<EngineLink> link_;
};

// The log is read after the job ended, never as an argument beside it.
void ExpectCompleted(const std::vector<EngineFrame>& frames, std::uint32_t files,
                     const EngineProcess& engine) {
    const std::string log = engine.Log();
    ASSERT_FALSE(frames.empty()) << log;
    const EngineFrame& end = frames.back();
    ASSERT_EQ(end.subtype, 6) << log;
    EXPECT_EQ(PayloadU32(end.payload, 12), files) << log;
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u) << "fallback asked for\n" << log;
}

TEST_F(EnginePeerTest, TheFileComesFromThePeerWhenTheServerHasOnlyItsMetadata) {
    StartNginx(Refuse("/files/p.bin"));
    const LauncherFile file = Released("p.bin", 3000000, 1);
    Seeder seeder;
    ASSERT_TRUE(seeder.Start(Torrent("p.bin"), FilesFolder()));
    StartEngine(PeerEnv(seeder.Endpoint()));

    const std::vector<EngineFrame> frames = RunJob(31, {file});
    ExpectCompleted(frames, 1, *engine_);
    int done = 0;
    for (const EngineFrame& f : frames) {
        if (f.subtype == 7) {
            ++done;
            EXPECT_EQ(PayloadText(f.payload, 41, 260), downloads_.Path() + "p.bin");
        }
        // Progress counts verified bytes: never more than the file.
        if (f.subtype == 5) {
            EXPECT_LE(PayloadU64(f.payload, 28), 3000000u);
        }
    }
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(Downloaded("p.bin") == contents_["p.bin"]) << "p.bin differs";
    EXPECT_FALSE(FileExists(downloads_.Path() + "p.bin.part"));
    EXPECT_TRUE(WaitFor([&] { return seeder.Uploaded() >= 3000000; }, 5000)) << seeder.Uploaded();
    const std::string access = AccessLog();
    EXPECT_NE(access.find("GET /files/p.bin.torrent range=- status=200"), std::string::npos)
        << access;
    EXPECT_EQ(access.find("GET /files/p.bin range"), std::string::npos) << access;
    EXPECT_GE(LoggedNumber(engine_->Log(), "p.bin: ([0-9]+) bytes from peers"), 3000000)
        << engine_->Log();
}

TEST_F(EnginePeerTest, WithoutPeersTheFileServerSendsThePiecesOneByOne) {
    StartNginx();
    const LauncherFile file = Released("w.bin", 2000000, 2);
    StartEngine(PeerEnv(""));
    ExpectCompleted(RunJob(32, {file}), 1, *engine_);
    EXPECT_TRUE(Downloaded("w.bin") == contents_["w.bin"]) << "w.bin differs";
    const std::string log = engine_->Log();
    // Counted by piece: all of it from the server, to the byte.
    EXPECT_EQ(LoggedNumber(log, "w.bin: ([0-9]+) bytes from peers"), 0) << log;
    EXPECT_EQ(LoggedNumber(log, "w.bin: [0-9]+ bytes from peers, ([0-9]+) from file servers"),
              2000000)
        << log;
    // One request per piece: no range longer than a piece (32 KiB), and
    // every piece asked once.
    const std::string access = AccessLog();
    const std::regex range("GET /files/w\\.bin range=bytes=([0-9]+)-([0-9]+) status=206");
    int requests = 0;
    for (std::sregex_iterator it(access.begin(), access.end(), range), end; it != end; ++it) {
        const long long first = std::atoll((*it)[1].str().c_str());
        const long long last = std::atoll((*it)[2].str().c_str());
        EXPECT_LE(last - first + 1, 32768) << it->str();
        EXPECT_EQ(first % 32768, 0) << it->str();
        ++requests;
    }
    EXPECT_EQ(requests, (2000000 + 32767) / 32768) << access;
}

TEST_F(EnginePeerTest, PeersThatFallBehindShareTheFileWithTheServerAndTheCountsAddUp) {
    // A seeder slower than the floor and a slow file server: both send.
    StartNginx("location = /files/m.bin { limit_rate 150k; }\n");
    const LauncherFile file = Released("m.bin", 2000000, 12);
    Seeder slow;
    ASSERT_TRUE(slow.Start(Torrent("m.bin"), FilesFolder(), {"--upload-limit", "100000"}));
    StartEngine(PeerEnv(slow.Endpoint(), {"TLX_ENGINE_PEER_WINDOW=2"}));
    ExpectCompleted(RunJob(43, {file}), 1, *engine_);
    EXPECT_TRUE(Downloaded("m.bin") == contents_["m.bin"]) << "m.bin differs";
    const std::string log = engine_->Log();
    const long long peers = LoggedNumber(log, "m.bin: ([0-9]+) bytes from peers");
    const long long servers =
        LoggedNumber(log, "m.bin: [0-9]+ bytes from peers, ([0-9]+) from file servers");
    const long long already = LoggedNumber(log, "m.bin: .*, ([0-9]+) already on disk");
    EXPECT_GT(peers, 0) << log;
    EXPECT_GT(servers, 0) << log;
    EXPECT_EQ(peers + servers + already, 2000000) << log;
    EXPECT_NE(log.find("the file servers also send pieces peers have"), std::string::npos) << log;
}

TEST_F(EnginePeerTest, CorruptPiecesFromAPeerAreFetchedAgainElsewhere) {
    // A slow file server: the corrupt peer gets its chance first.
    StartNginx("location = /files/c.bin { limit_rate 400k; }\n");
    const LauncherFile file = Released("c.bin", 1000000, 3);
    Seeder liar;
    ASSERT_TRUE(liar.Start(Torrent("c.bin"), FilesFolder(), {"--corrupt"}));
    StartEngine(PeerEnv(liar.Endpoint()));
    ExpectCompleted(RunJob(33, {file}), 1, *engine_);
    EXPECT_TRUE(Downloaded("c.bin") == contents_["c.bin"]) << "c.bin differs";
    EXPECT_GT(liar.Uploaded(), 0) << "the corrupt peer was never asked";
    EXPECT_NE(engine_->Log().find("failed its hash check"), std::string::npos) << engine_->Log();
}

TEST_F(EnginePeerTest, WithoutConsentNoPeerIsAskedAndNoMetadataLookedUp) {
    StartNginx();
    const LauncherFile file = Released("n.bin", 500000, 4);
    Seeder seeder;
    ASSERT_TRUE(seeder.Start(Torrent("n.bin"), FilesFolder()));
    StartEngine(PeerEnv(seeder.Endpoint()));
    ExpectCompleted(RunJob(34, {file}, 1), 1, *engine_);
    EXPECT_TRUE(Downloaded("n.bin") == contents_["n.bin"]) << "n.bin differs";
    const std::string access = AccessLog();
    EXPECT_EQ(access.find(".torrent"), std::string::npos) << access;
    EXPECT_NE(access.find("GET /files/n.bin range=- status=200"), std::string::npos) << access;
    EXPECT_EQ(seeder.Uploaded(), 0);
}

TEST_F(EnginePeerTest, TwoEnginesShareOneRelease) {
    // The second player's address has the metadata but not the file: every
    // byte it gets comes from the first player.
    StartNginx(Refuse("/mirror/s.bin"));
    const LauncherFile first = Released("s.bin", 2500000, 5);
    // The same release published under another address: the same content,
    // a web seed that refuses the file.
    nginx_->WriteText("/mirror/s.bin", contents_["s.bin"]);
    const std::string mirror = std::string(kPython) + " " + ZK4_MAKE_RELEASE + " " +
                               nginx_->Root() + "mirror/ " + nginx_->Url("/mirror/") +
                               " --piece-size 32768 >/dev/null";
    ASSERT_EQ(std::system(mirror.c_str()), 0);
    StartEngine(PeerEnv(""));
    ExpectCompleted(RunJob(35, {first}), 1, *engine_);
    ASSERT_TRUE(engine_->WaitForLog("Peers may connect on 127.0.0.1:"));
    const long long port =
        LoggedNumber(engine_->Log(), "Peers may connect on 127\\.0\\.0\\.1:([0-9]+)");
    ASSERT_GT(port, 0);

    TempFolder secondFolder;
    EngineProcess second(ZK4_ENGINE_BIN);
    ASSERT_TRUE(second.Start(PeerEnv("127.0.0.1:" + std::to_string(port))));
    ASSERT_TRUE(second.WaitListening()) << second.Log();
    EngineLink link;
    ASSERT_TRUE(link.Connect(second.Port()));
    ASSERT_TRUE(link.Send(12, ServiceKeyPayload(kServiceKey)));
    const LauncherFile mirrored{secondFolder.Path(), "s.bin", nginx_->Url("/mirror/s.bin"),
                                2500000};
    Describe(&link, 36, {mirrored});
    ExpectAccepted(&link);
    ExpectCompleted(UntilEnded(&link), 1, second);
    EXPECT_TRUE(ReadFileText(secondFolder.Path() + "s.bin") == contents_["s.bin"]);
    EXPECT_GE(LoggedNumber(second.Log(), "s.bin: ([0-9]+) bytes from peers"), 2500000)
        << second.Log();
    EXPECT_EQ(AccessLog().find("GET /mirror/s.bin range"), std::string::npos) << AccessLog();
    // The first player's log says what it sent.
    EXPECT_TRUE(WaitFor(
        [&] { return LoggedNumber(engine_->Log(), "Sent ([0-9]+) bytes to peers") >= 2500000; },
        15000))
        << engine_->Log();
}

// Nobody is named: the players meet at the tracker the metadata names.
TEST_F(EnginePeerTest, TwoEnginesFindEachOtherThroughTheReleasesTracker) {
    if (!TrackerProcess::Available()) GTEST_SKIP() << "opentracker is not installed";
    TrackerProcess tracker;
    ASSERT_TRUE(tracker.Start()) << tracker.Error();
    StartNginx(Refuse("/mirror/k.bin"));
    const LauncherFile first = Released("k.bin", 1500000, 13, "32768", tracker.AnnounceUrl());
    nginx_->WriteText("/mirror/k.bin", contents_["k.bin"]);
    const std::string mirror = std::string(kPython) + " " + ZK4_MAKE_RELEASE + " " +
                               nginx_->Root() + "mirror/ " + nginx_->Url("/mirror/") +
                               " --piece-size 32768 --tracker " + tracker.AnnounceUrl() +
                               " >/dev/null";
    ASSERT_EQ(std::system(mirror.c_str()), 0);
    ASSERT_TRUE(tracker.SetInfoHashes(
        TrackerProcess::ReadInfoHashes(FilesFolder() + "filelist.txt.hashes")))
        << tracker.Error();
    StartEngine(PeerEnv(""));
    ExpectCompleted(RunJob(45, {first}), 1, *engine_);
    EXPECT_NE(engine_->Log().find("tracker " + tracker.AnnounceUrl() + " names"), std::string::npos)
        << engine_->Log();

    TempFolder secondFolder;
    EngineProcess second(ZK4_ENGINE_BIN);
    ASSERT_TRUE(second.Start(PeerEnv("")));
    ASSERT_TRUE(second.WaitListening()) << second.Log();
    EngineLink link;
    ASSERT_TRUE(link.Connect(second.Port()));
    ASSERT_TRUE(link.Send(12, ServiceKeyPayload(kServiceKey)));
    Describe(&link, 46, {{secondFolder.Path(), "k.bin", nginx_->Url("/mirror/k.bin"), 1500000}});
    ExpectAccepted(&link);
    ExpectCompleted(UntilEnded(&link), 1, second);
    EXPECT_TRUE(ReadFileText(secondFolder.Path() + "k.bin") == contents_["k.bin"]);
    EXPECT_EQ(LoggedNumber(second.Log(), "k.bin: ([0-9]+) bytes from peers"), 1500000)
        << second.Log();
}

TEST_F(EnginePeerTest, AFileThatMakesNoProgressHandsTheJobBack) {
    StartNginx(Refuse("/files/x.bin"));
    const LauncherFile file = Released("x.bin", 400000, 6);
    StartEngine(PeerEnv("", {"TLX_ENGINE_PEER_STALL=2"}));
    const std::vector<EngineFrame> frames = RunJob(37, {file});
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().subtype, 6);
    EXPECT_EQ(PayloadU32(frames.back().payload, 16), 1u) << engine_->Log();
    EXPECT_NE(engine_->Log().find("no progress from peers or file servers for 2 s"),
              std::string::npos)
        << engine_->Log();
    EXPECT_FALSE(FileExists(downloads_.Path() + "x.bin"));
}

TEST_F(EnginePeerTest, AStoppedTransferKeepsEveryVerifiedPieceAndTheDirectPathOnlyItsWholeStart) {
    StartNginx(Refuse("/files/t.bin"));
    const LauncherFile file = Released("t.bin", 2000000, 7);
    nginx_->WriteText("/direct/t.bin", contents_["t.bin"]);
    Seeder slow;
    ASSERT_TRUE(slow.Start(Torrent("t.bin"), FilesFolder(), {"--upload-limit", "300000"}));
    StartEngine(PeerEnv(slow.Endpoint()));
    link_ = std::make_unique<EngineLink>();
    Introduce(link_.get());
    Describe(link_.get(), 38, {file});
    const Accepted accepted = ExpectAccepted(link_.get());
    // Some verified bytes, then the launcher cancels.
    EngineFrame progress;
    ASSERT_TRUE(WaitFor(
        [&] {
            return link_->ReceiveUntil(5, &progress, 200) &&
                   PayloadU64(progress.payload, 28) >= 600000;
        },
        20000));
    ASSERT_TRUE(link_->Send(3, CancelJobPayload(38, accepted.engineJob)));
    ASSERT_TRUE(engine_->WaitForLog("verified bytes kept")) << engine_->Log();
    const long long kept = LoggedNumber(engine_->Log(), "t.bin.part: stopped with ([0-9]+) verified");
    ASSERT_GE(kept, 600000) << engine_->Log();
    const std::string part = downloads_.Path() + "t.bin.part";
    ASSERT_TRUE(WaitFor([&] { return FileExists(part + ".pieces"); })) << engine_->Log();

    // The same job again by peers: every verified piece is kept.
    const long long sentBefore = slow.Uploaded();
    Describe(link_.get(), 44, {file});
    const Accepted again = ExpectAccepted(link_.get());
    EngineFrame question;
    ASSERT_TRUE(link_->ReceiveUntil(16, &question));
    ASSERT_TRUE(link_->Send(18, ResumeAnswerPayload(again.engineJob, 44, true, false)));
    // Cancelled again at once: what was kept is still there and noted.
    ASSERT_TRUE(engine_->WaitForLog(std::to_string(kept) + " bytes verified earlier are kept"))
        << engine_->Log();
    ASSERT_TRUE(link_->Send(3, CancelJobPayload(44, again.engineJob)));
    // Stopped a second time: its piece state written again.
    ASSERT_TRUE(WaitFor([&] {
        const std::string log = engine_->Log();
        std::size_t stops = 0;
        for (std::size_t at = log.find("t.bin.part: stopped with"); at != std::string::npos;
             at = log.find("t.bin.part: stopped with", at + 1))
            ++stops;
        return stops >= 2;
    })) << engine_->Log();
    EXPECT_LT(slow.Uploaded() - sentBefore, 2000000 - kept + 2 * 32768)
        << "pieces kept were fetched again";

    // The direct path (here: the engine without consent) continues only
    // what is whole from the start, and ends with the right file.
    LauncherFile direct = file;
    direct.url = nginx_->Url("/direct/t.bin");
    Describe(link_.get(), 39, {direct}, 1);
    const Accepted http = ExpectAccepted(link_.get());
    ASSERT_TRUE(link_->ReceiveUntil(16, &question));
    ASSERT_TRUE(link_->Send(18, ResumeAnswerPayload(http.engineJob, 39, true, false)));
    ExpectCompleted(UntilEnded(link_.get()), 1, *engine_);
    EXPECT_TRUE(Downloaded("t.bin") == contents_["t.bin"]) << "t.bin differs";
    EXPECT_FALSE(FileExists(part + ".pieces"));
}

TEST_F(EnginePeerTest, EarlierDataIsCheckedAndOnlyTheRestComesFromPeers) {
    StartNginx(Refuse("/files/r.bin"));
    const LauncherFile file = Released("r.bin", 2000000, 8);
    Seeder seeder;
    ASSERT_TRUE(seeder.Start(Torrent("r.bin"), FilesFolder()));
    std::ofstream(downloads_.Path() + "r.bin.part", std::ios::binary)
        << contents_["r.bin"].substr(0, 1000000);
    StartEngine(PeerEnv(seeder.Endpoint()));
    link_ = std::make_unique<EngineLink>();
    Introduce(link_.get());
    Describe(link_.get(), 40, {file});
    const Accepted accepted = ExpectAccepted(link_.get());
    EngineFrame question;
    ASSERT_TRUE(link_->Receive(&question));
    ASSERT_EQ(question.subtype, 16);
    ASSERT_TRUE(link_->Send(18, ResumeAnswerPayload(accepted.engineJob, 40, true, false)));
    ExpectCompleted(UntilEnded(link_.get()), 1, *engine_);
    EXPECT_TRUE(Downloaded("r.bin") == contents_["r.bin"]) << "r.bin differs";
    EXPECT_NE(engine_->Log().find("983040 bytes on disk passed their check"), std::string::npos)
        << engine_->Log();
    EXPECT_LT(seeder.Uploaded(), 1100000);
}

TEST_F(EnginePeerTest, AWriteThatFindsNoRoomPausesTheJob) {
    // A file system of 64 KiB over the download folder, seen by the engine
    // alone (a mount namespace of its own): its writes find no room.
    if (std::system("/usr/bin/unshare -m /bin/true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no mount namespace can be made here";
    StartNginx();
    const LauncherFile file = Released("f.bin", 300000, 9);
    Seeder seeder;
    ASSERT_TRUE(seeder.Start(Torrent("f.bin"), FilesFolder()));
    StartEngine(PeerEnv(seeder.Endpoint()),
                {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                 "mount -t tmpfs -o size=65536 zk4full \"$1\" && shift && exec \"$@\"", "sh",
                 downloads_.Path()});
    link_ = std::make_unique<EngineLink>();
    Introduce(link_.get());
    Describe(link_.get(), 41, {file});
    ExpectAccepted(link_.get());
    EngineFrame state;
    ASSERT_TRUE(link_->ReceiveUntil(8, &state, 20000)) << engine_->Log();
    EXPECT_EQ(static_cast<int>(state.payload.at(8)), 1);
    EngineFrame more;
    EXPECT_FALSE(link_->Receive(&more, 1500)) << "the job must wait, not end: " << more.subtype;
    EXPECT_FALSE(FileExists(downloads_.Path() + "f.bin"));
}


TEST_F(EnginePeerTest, AFileAlreadyInPlaceIsCheckedNotFetched) {
    // Nobody could send it: neither a peer nor the file server.
    StartNginx(Refuse("/files/h.bin"));
    const LauncherFile file = Released("h.bin", 700000, 10);
    std::ofstream(downloads_.Path() + "h.bin", std::ios::binary) << contents_["h.bin"];
    StartEngine(PeerEnv(""));
    ExpectCompleted(RunJob(42, {file}), 1, *engine_);
    EXPECT_TRUE(Downloaded("h.bin") == contents_["h.bin"]) << "h.bin differs";
    EXPECT_NE(engine_->Log().find("complete, 700000 bytes (already there)"), std::string::npos)
        << engine_->Log();
}

}  // namespace
