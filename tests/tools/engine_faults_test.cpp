// The fault switches that make the engine misbehave on purpose, so that the
// service's handling of each misbehaviour can be tested against a real
// engine program.
#include <fstream>

#include "engine_fixture.h"

namespace {

class EngineFaultTest : public EngineTest {
protected:
    // nginx with a slow location, the engine with `faults`, one job of one
    // file described; returns the link's first answer in *first.
    void Run(const std::string& faults, EngineFrame* first, bool slow = false) {
        StartNginx("location /slow/ { limit_rate 200k; }");
        StartEngine({"TLX_ENGINE_FAULT=" + faults});
        Introduce(&link_);
        LauncherFile file = Served("f.bin", 600000, 1);
        if (slow) {
            contents_["f.bin"] = nginx_->WriteFile("/slow/f.bin", 600000, 1);
            file.url = nginx_->Url("/slow/f.bin");
        }
        Describe(&link_, 31, {file});
        ASSERT_TRUE(link_.Receive(first)) << engine_->Log();
    }

    EngineLink link_;
};

TEST_F(EngineFaultTest, FallbackEndsEveryJobWithFallbackRightAfterAcceptance) {
    EngineFrame first;
    Run("fallback", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame end;
    ASSERT_TRUE(link_.Receive(&end));
    EXPECT_EQ(end.subtype, 6);
    EXPECT_EQ(PayloadU32(end.payload, 16), 1u);
}

TEST_F(EngineFaultTest, StallAcceptsAndThenSaysNothing) {
    EngineFrame first;
    Run("stall", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame more;
    EXPECT_FALSE(link_.Receive(&more, 2500)) << "subtype " << more.subtype;
}

TEST_F(EngineFaultTest, SilentNeverAccepts) {
    StartEngine({"TLX_ENGINE_FAULT=silent"});
    Introduce(&link_);
    Describe(&link_, 32, {{downloads_.Path(), "f.bin", "http://127.0.0.1:9/f", 1}});
    EngineFrame frame;
    EXPECT_FALSE(link_.Receive(&frame, 2000)) << "subtype " << frame.subtype;
    EXPECT_FALSE(link_.Closed());
}

TEST_F(EngineFaultTest, DiskFullReportsStateOneAfterAcceptance) {
    EngineFrame first;
    Run("disk-full", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame state;
    ASSERT_TRUE(link_.Receive(&state));
    EXPECT_EQ(state.subtype, 8);
    EXPECT_EQ(PayloadU32(state.payload, 0), 31u);
    EXPECT_EQ(static_cast<int>(state.payload.at(8)), 1);
    EXPECT_FALSE(PayloadText(state.payload, 9).empty());
}

TEST_F(EngineFaultTest, NetworkLostAndBackAfterTheFirstProgressReport) {
    EngineFrame first;
    Run("network", &first, true);
    EXPECT_EQ(first.subtype, 4);
    std::vector<EngineFrame> before;
    EngineFrame lost;
    ASSERT_TRUE(link_.ReceiveUntil(9, &lost, 10000, &before));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back().subtype, 5);
    EXPECT_EQ(lost.payload.size(), 18u);  // four numbers, padded
    EngineFrame back;
    ASSERT_TRUE(link_.Receive(&back));
    EXPECT_EQ(back.subtype, 10);
    EngineFrame end;
    ASSERT_TRUE(link_.ReceiveUntil(6, &end));
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);
    EXPECT_TRUE(Downloaded("f.bin") == contents_["f.bin"]) << "f.bin differs";
}

TEST_F(EngineFaultTest, JobFailedInsteadOfAcceptance) {
    EngineFrame first;
    Run("job-failed", &first);
    EXPECT_EQ(first.subtype, 11);
    EXPECT_EQ(PayloadU32(first.payload, 0), 31u);
    EXPECT_FALSE(PayloadText(first.payload, 8).empty());
}

TEST_F(EngineFaultTest, ResumeAsksEvenWithoutPartialData) {
    EngineFrame first;
    Run("resume", &first);
    ASSERT_EQ(first.subtype, 4);
    const std::uint32_t engineJob = PayloadU32(first.payload, 4);
    EngineFrame question;
    ASSERT_TRUE(link_.Receive(&question));
    EXPECT_EQ(question.subtype, 16);
    EngineFrame nothing;
    EXPECT_FALSE(link_.Receive(&nothing, 1200)) << "it must wait for the answer";
    ASSERT_TRUE(link_.Send(18, ResumeAnswerPayload(engineJob, 31, true, false)));
    EngineFrame end;
    ASSERT_TRUE(link_.ReceiveUntil(6, &end));
    EXPECT_TRUE(Downloaded("f.bin") == contents_["f.bin"]) << "f.bin differs";
}

TEST_F(EngineFaultTest, BadFrameSendsAnUnknownSubtypeAndATruncatedFileDone) {
    EngineFrame first;
    Run("bad-frame", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame unknown, truncated;
    ASSERT_TRUE(link_.Receive(&unknown));
    EXPECT_EQ(unknown.subtype, 0x7F);
    ASSERT_TRUE(link_.Receive(&truncated));
    EXPECT_EQ(truncated.subtype, 7);
    EXPECT_LT(truncated.payload.size(), 301u);
}

TEST_F(EngineFaultTest, OutsidePathReportsAKeptPathOutsideTheFolder) {
    EngineFrame first;
    Run("outside-path", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame done;
    ASSERT_TRUE(link_.ReceiveUntil(15, &done));
    EXPECT_EQ(PayloadText(done.payload, 41, 260), downloads_.Path() + "f.bin");
    const std::string kept = PayloadText(done.payload, 301, 260);
    EXPECT_NE(kept.rfind(downloads_.Path(), 0), 0u) << kept;
    EXPECT_FALSE(kept.empty());
}

TEST_F(EngineFaultTest, PartialEndReportsFewerFilesWithoutFallback) {
    EngineFrame first;
    Run("partial-end", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame end;
    ASSERT_TRUE(link_.Receive(&end));
    EXPECT_EQ(end.subtype, 6);
    EXPECT_LT(PayloadU32(end.payload, 12), 1u);
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);
}

TEST_F(EngineFaultTest, DieAfterEndsTheProcessMidTransferKeepingThePartialFile) {
    EngineFrame first;
    Run("die-after:100000", &first, true);
    EXPECT_EQ(first.subtype, 4);
    int status = 0;
    ASSERT_TRUE(engine_->WaitForExit(10000, &status));
    EXPECT_EQ(status, 9);
    EXPECT_TRUE(link_.WaitClosed());
    EXPECT_TRUE(FileExists(downloads_.Path() + "f.bin.part"));
    EXPECT_FALSE(FileExists(downloads_.Path() + "f.bin"));
}

TEST_F(EngineFaultTest, SwitchesCombineAndUnknownOnesAreLogged) {
    EngineFrame first;
    Run("bogus,disk-full,network", &first);
    EXPECT_EQ(first.subtype, 4);
    EngineFrame state;
    ASSERT_TRUE(link_.Receive(&state));
    EXPECT_EQ(state.subtype, 8);
    EXPECT_NE(engine_->Log().find("Ignoring unknown fault switch bogus"), std::string::npos);
}

}  // namespace
