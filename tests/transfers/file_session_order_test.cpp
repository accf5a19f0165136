// The ranged file session on a kept connection: the next file is opened
// while the server answers for the current one, and its request leaves
// before the finished file is written out and reported. What that must not
// change: every file lands whole, a next file removed meanwhile is written
// afresh, the job's notices keep the order of the files, and a session that
// ends early leaves no file it only opened ahead. Files are written under
// "<name>.part" and get their own name only when whole. The session runs on
// the test thread, so nothing moves between the test's steps.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "tests/support/network_fixture.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_folder.h"
#include "tests/transfers/direct_job_fixture.h"
#include "transfers/platform_session.h"

namespace {

std::string OkKept(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: keep-alive\r\n\r\n" + body;
}

const char kNotFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";

class SessionEvents : public IPlatFormSessionEventListener {
public:
    void OnSessionComplete(void*) override {
        events.push_back("complete");
        ended = true;
    }
    void OnSessionFailed(void*, const std::string& text, bool) override {
        events.push_back("failed " + text);
        ended = true;
    }
    void OnFileCompleted(void*, const SessionFile& file) override {
        events.push_back("done " + file.entry.localName);
    }
    void OnProgress(void*) override {}
    void OnFileOpened(const std::string&, void*) override {}
    void OnError(void*, int code, const std::string& text) override {
        events.push_back("error " + std::to_string(code) + " " + text);
        ended = true;
    }

    std::vector<std::string> events;
    bool ended = false;
};

class FileSessionOrderTest : public NetworkTest {
protected:
    void TearDown() override {
        plat::File::SetWritesFailForTesting(false);
        session_.reset();
        NetworkTest::TearDown();
    }
    void Run(const std::vector<std::string>& urls) {
        for (const std::string& url : urls) {
            auto entry = std::make_unique<JobFileEntry>();
            entry->index = static_cast<std::int32_t>(files_.size());
            entry->url = url;
            entry->folder = folder_.Path();
            entry->localName = url.substr(url.rfind('/') + 1);
            files_.push_back(std::move(entry));
        }
        session_ = std::make_unique<CPlatformSession>(&events_, nullptr);
        session_->Begin(files_, {});
    }
    bool Exists(const std::string& name) const {
        return std::filesystem::exists(folder_.Path() + name);
    }

    TempFolder folder_;
    SessionEvents events_;
    std::vector<std::unique_ptr<JobFileEntry>> files_;
    std::unique_ptr<CPlatformSession> session_;
};

}  // namespace

TEST_F(FileSessionOrderTest, FilesLandWholeAndAreReportedInOrderOverOneConnection) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("first")),
                      ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("second!")),
                      ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("3")),
                      ScriptStep::Stall()});
    Run({server.Url("/a.bin"), server.Url("/b.bin"), server.Url("/c.bin")});
    // The file after the first is open (made) before any answer came.
    EXPECT_TRUE(Exists("b.bin.part"));
    EXPECT_FALSE(Exists("c.bin.part"));
    EXPECT_FALSE(Exists("a.bin"));
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    EXPECT_EQ(events_.events,
              (std::vector<std::string>{"done a.bin", "done b.bin", "done c.bin", "complete"}));
    EXPECT_EQ(ReadFile(folder_.Path() + "a.bin"), "first");
    EXPECT_EQ(ReadFile(folder_.Path() + "b.bin"), "second!");
    EXPECT_EQ(ReadFile(folder_.Path() + "c.bin"), "3");
    for (const char* part : {"a.bin.part", "b.bin.part", "c.bin.part"}) EXPECT_FALSE(Exists(part));
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(session_->RunningTotal(), 13);
}

TEST_F(FileSessionOrderTest, NextFileRemovedWhileTheCurrentArrivesIsWrittenAfresh) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("aaaa")),
                      ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("bbbbbb")),
                      ScriptStep::Stall()});
    Run({server.Url("/a.bin"), server.Url("/b.bin")});
    ASSERT_TRUE(Exists("b.bin.part"));
    std::filesystem::remove(folder_.Path() + "b.bin.part");
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    EXPECT_EQ(events_.events, (std::vector<std::string>{"done a.bin", "done b.bin", "complete"}));
    EXPECT_EQ(ReadFile(folder_.Path() + "b.bin"), "bbbbbb");
}

TEST_F(FileSessionOrderTest, NextFileThatCannotBeOpenedFailsAfterTheFinishedFileIsReported) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("aaaa")),
                      ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("bbbb")),
                      ScriptStep::Stall()});
    const std::string second = server.Url("/b.bin");
    Run({server.Url("/a.bin"), second});
    ASSERT_TRUE(Exists("b.bin.part"));
    // Something else puts a folder where the file was.
    std::filesystem::remove(folder_.Path() + "b.bin.part");
    std::filesystem::create_directory(folder_.Path() + "b.bin.part");
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    ASSERT_EQ(events_.events.size(), 2u);
    EXPECT_EQ(events_.events[0], "done a.bin");
    EXPECT_EQ(events_.events[1].rfind(
                  "failed " + second + ": cannot write " + folder_.Path() + "b.bin.part: ", 0),
              0u)
        << events_.events[1];
    EXPECT_EQ(ReadFile(folder_.Path() + "a.bin"), "aaaa");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(FileSessionOrderTest, SessionThatFailsLeavesNoFileItOnlyOpenedAhead) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(kNotFound),
                      ScriptStep::WaitRequest(), ScriptStep::Send(kNotFound),
                      ScriptStep::WaitRequest(), ScriptStep::Send(kNotFound), ScriptStep::Stall()});
    Run({server.Url("/gone.bin"), server.Url("/next.bin")});
    ASSERT_TRUE(Exists("next.bin.part"));
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    ASSERT_EQ(events_.events.size(), 1u);
    EXPECT_EQ(events_.events[0].rfind("failed ", 0), 0u) << events_.events[0];
    EXPECT_FALSE(Exists("next.bin.part"));
    EXPECT_FALSE(Exists("gone.bin.part"));
}

TEST_F(FileSessionOrderTest, StoppedSessionLeavesNoFileItOnlyOpenedAheadButKeepsOneItFound) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Stall()});
    Run({server.Url("/a.bin"), server.Url("/b.bin")});
    ASSERT_TRUE(Exists("b.bin.part"));
    session_->Stop();
    EXPECT_FALSE(Exists("b.bin.part"));
    EXPECT_TRUE(events_.events.empty());

    // A next file that was there already is only closed, under its own name.
    {
        std::ofstream kept(folder_.Path() + "kept.bin");
        kept << "half";
    }
    files_.clear();
    Run({server.Url("/c.bin"), server.Url("/kept.bin")});
    ASSERT_TRUE(Exists("kept.bin.part"));
    session_->Stop();
    EXPECT_EQ(ReadFile(folder_.Path() + "kept.bin"), "half");
    EXPECT_FALSE(Exists("kept.bin.part"));
}

// A partial file from a run before partial files had a name of their own is
// continued; from the first byte written on, only a whole file has the name.
TEST_F(FileSessionOrderTest, AnOlderPartialUnderItsOwnNameIsContinuedUnderThePartialName) {
    {
        std::ofstream older(folder_.Path() + "a.bin");
        older << "abc";
    }
    ScriptedServer server;
    const std::string head =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-7/8\r\nContent-Length: 5\r\n\r\n";
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(head + "de"), ScriptStep::Sleep(400),
                      ScriptStep::Send("fgh"), ScriptStep::Stall()});
    Run({server.Url("/a.bin")});
    ASSERT_TRUE(Pump([&] { return plat::FileLength(folder_.Path() + "a.bin.part") == 5; }));
    EXPECT_FALSE(Exists("a.bin"));
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    EXPECT_EQ(events_.events, (std::vector<std::string>{"done a.bin", "complete"}));
    EXPECT_EQ(ReadFile(folder_.Path() + "a.bin"), "abcdefgh");
    EXPECT_FALSE(Exists("a.bin.part"));
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_NE(server.Requests()[0].find("Range: bytes=3-\r\n"), std::string::npos);
}

TEST_F(FileSessionOrderTest, LastPieceThatCannotBeWrittenEndsTheSessionWithoutReportingTheFile) {
    ScriptedServer server;
    server.AddScript({ScriptStep::WaitRequest(), ScriptStep::Send(OkKept("aaaa")),
                      ScriptStep::WaitRequest(), ScriptStep::Stall()});
    const std::string first = server.Url("/a.bin");
    plat::File::SetWritesFailForTesting(true);
    Run({first, server.Url("/b.bin")});
    ASSERT_TRUE(Pump([&] { return events_.ended; }));
    ASSERT_EQ(events_.events.size(), 1u);
    // The disk is full: the job's 513, naming the file that was being written.
    EXPECT_EQ(events_.events[0], "error 513 " + first + ": writing " + folder_.Path() +
                                     "a.bin.part failed: " + std::strerror(ENOSPC));
    // The next file, begun only because its request left early, is gone again.
    EXPECT_FALSE(Exists("b.bin.part"));
    EXPECT_FALSE(Exists("a.bin"));
    EXPECT_EQ(session_->RunningTotal(), 0);
}
