// Partial files of an earlier run: the engine asks (16) before it touches
// them and does what the answer (18) says.
#include <fstream>

#include "engine_fixture.h"

namespace {

class EngineResumeTest : public EngineTest {
protected:
    // The file on nginx and the first `partBytes` of `partContent` (the
    // real content unless given) as its partial file.
    LauncherFile WithPart(const std::string& name, std::size_t size, unsigned seed,
                          std::size_t partBytes, const std::string& partContent = "") {
        LauncherFile file = Served(name, size, seed);
        const std::string part = partContent.empty() ? contents_[name].substr(0, partBytes)
                                                     : partContent.substr(0, partBytes);
        std::ofstream(downloads_.Path() + name + ".part", std::ios::binary) << part;
        return file;
    }

    // Waits for the question, answers it, waits for the end.
    EngineFrame AnswerAndFinish(EngineLink* link, const Accepted& accepted, bool continueEarlier,
                                bool applyToAll = false) {
        EngineFrame question;
        EXPECT_TRUE(link->Receive(&question));
        EXPECT_EQ(question.subtype, 16);
        EXPECT_EQ(PayloadU32(question.payload, 0), accepted.jobKey);
        EXPECT_TRUE(link->Send(18, ResumeAnswerPayload(accepted.engineJob, accepted.jobKey,
                                                       continueEarlier, applyToAll)));
        EngineFrame end;
        EXPECT_TRUE(link->ReceiveUntil(6, &end));
        return end;
    }
};

TEST_F(EngineResumeTest, ContinuingFetchesOnlyTheRestWithARange) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    Describe(&link, 21, {WithPart("r.bin", 400000, 1, 200000)});
    const EngineFrame end = AnswerAndFinish(&link, ExpectAccepted(&link), true);
    EXPECT_EQ(PayloadU32(end.payload, 12), 1u);
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);
    EXPECT_TRUE(Downloaded("r.bin") == contents_["r.bin"]) << "r.bin differs";
    EXPECT_FALSE(FileExists(downloads_.Path() + "r.bin.part"));
    EXPECT_NE(AccessLog().find("GET /files/r.bin range=bytes=200000- status=206"),
              std::string::npos)
        << AccessLog();
}

TEST_F(EngineResumeTest, StartingOverDropsTheEarlierData) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    // Earlier data that does not match: only starting over gives the file.
    Describe(&link, 22, {WithPart("s.bin", 300000, 2, 150000, std::string(150000, 'x'))});
    const EngineFrame end = AnswerAndFinish(&link, ExpectAccepted(&link), false);
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);
    EXPECT_TRUE(Downloaded("s.bin") == contents_["s.bin"]) << "s.bin differs";
    EXPECT_NE(AccessLog().find("GET /files/s.bin range=- status=200"), std::string::npos)
        << AccessLog();
    EXPECT_EQ(AccessLog().find("range=bytes="), std::string::npos) << AccessLog();
}

TEST_F(EngineResumeTest, AnAnswerForAllStandsForLaterJobsOnTheConnection) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    Describe(&link, 23, {WithPart("t1.bin", 100000, 3, 50000)});
    AnswerAndFinish(&link, ExpectAccepted(&link), true, true);
    Describe(&link, 24, {WithPart("t2.bin", 100000, 4, 60000)});
    ExpectAccepted(&link);
    std::vector<EngineFrame> others;
    EngineFrame end;
    ASSERT_TRUE(link.ReceiveUntil(6, &end, 10000, &others));
    for (const EngineFrame& f : others) EXPECT_NE(f.subtype, 16);
    EXPECT_TRUE(Downloaded("t2.bin") == contents_["t2.bin"]) << "t2.bin differs";
    EXPECT_NE(AccessLog().find("GET /files/t2.bin range=bytes=60000- status=206"),
              std::string::npos);
}

TEST_F(EngineResumeTest, NoQuestionWithoutPartialDataAndAStrayAnswerIsIgnored) {
    StartNginx();
    StartEngine();
    EngineLink link;
    Introduce(&link);
    ASSERT_TRUE(link.Send(18, ResumeAnswerPayload(999, 998, true, false)));
    Describe(&link, 25, {Served("n.bin", 1000, 5)});
    ExpectAccepted(&link);
    std::vector<EngineFrame> others;
    EngineFrame end;
    ASSERT_TRUE(link.ReceiveUntil(6, &end, 10000, &others));
    for (const EngineFrame& f : others) EXPECT_NE(f.subtype, 16);
    EXPECT_EQ(PayloadU32(end.payload, 16), 0u);
}

}  // namespace
