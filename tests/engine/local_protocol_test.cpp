// The local engine protocol byte for byte, and its decoders against what a
// broken or hostile engine may send.
#include "engine/local_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "transport/frame.h"

namespace {

std::uint32_t U32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

std::vector<std::uint8_t> Framed(std::uint16_t type, std::uint16_t subtype,
                                 const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame;
    EXPECT_TRUE(vzSucceeded(nwBuildFrame(type, subtype, payload.data(),
                                         static_cast<std::uint32_t>(payload.size()), &frame)));
    return frame;
}

LocalFileRecord File(std::size_t urlLength) {
    LocalFileRecord file;
    file.size = -1;
    file.folder = "/home/p/tovalen/ZK4/";
    file.name = "data.pak";
    file.url = "http://" + std::string(urlLength - 7, 'u');
    return file;
}

}  // namespace

TEST(LocalProtocol, OutgoingMessagesHaveTheirSizesAndFields) {
    EXPECT_EQ(
        Framed(kLocalMessageType, kMsgServiceKey, EncodeServiceKey("joltwave_zorakine4")).size(),
        280u);
    const auto mode = Framed(kLocalMessageType, kMsgJobMode, EncodeJobMode(2));
    EXPECT_EQ(mode.size(), 32u);
    EXPECT_EQ(nwReadFrameHeader(mode.data()).payloadLength, 18u);
    EXPECT_EQ(mode[14], 2);
    const auto flag = Framed(kLocalMessageType, kMsgJobEngineFlag, EncodeJobKey(7));
    EXPECT_EQ(flag.size(), 24u);
    EXPECT_EQ(nwReadFrameHeader(flag.data()).payloadLength, 10u);
    // The answer to the resume question names the engine's job first.
    const auto answer = EncodeResumeAnswer(41, 7, 1, 0);
    ASSERT_EQ(answer.size(), 10u);
    EXPECT_EQ(U32(answer, 0), 41u);
    EXPECT_EQ(U32(answer, 4), 7u);
    EXPECT_EQ(answer[8], 1);
    EXPECT_EQ(answer[9], 0);
}

TEST(LocalProtocol, JobSubmitLaysOutItsHeadAndFileRecords) {
    LocalJobHead head{7, 1, "joltwave_zorakine4"};
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(EncodeJobSubmit(head, {File(100)}, &payload));
    EXPECT_EQ(payload.size(), 672u);  // 41 + 531 + 100
    EXPECT_EQ(Framed(kLocalSubmitType, kMsgJobSubmit, payload).size(), 688u);
    EXPECT_EQ(U32(payload, 0), 7u);
    EXPECT_EQ(U32(payload, 4), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&payload[8]), "joltwave_zorakine4");
    EXPECT_EQ(payload[41], 1);  // first option
    EXPECT_EQ(payload[42], 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(payload[43 + i], 0xFF);  // size -1
    EXPECT_STREQ(reinterpret_cast<const char*>(&payload[51]), "/home/p/tovalen/ZK4/");
    EXPECT_STREQ(reinterpret_cast<const char*>(&payload[311]), "data.pak");
    EXPECT_EQ(payload[571], 'h');
    EXPECT_EQ(payload.back(), 0);
}

TEST(LocalProtocol, TheSplitFormStartsAtExactly130048Bytes) {
    // 41 + 531 + url = 130047 stays one message; one byte more splits.
    EXPECT_EQ(JobSubmitPayloadLength({File(130047 - 41 - 531)}), 130047u);
    EXPECT_LT(JobSubmitPayloadLength({File(130047 - 41 - 531)}), kSubmitSplitThreshold);
    EXPECT_EQ(JobSubmitPayloadLength({File(130048 - 41 - 531)}), kSubmitSplitThreshold);
    std::vector<std::uint8_t> piece;
    LocalFileRecord file = File(300);
    file.option1 = 3;
    ASSERT_TRUE(EncodeJobSubmitFile(7, 2, file, &piece));
    ASSERT_EQ(piece.size(), 540u + 300u);
    EXPECT_EQ(U32(piece, 4), 2u);
    EXPECT_EQ(piece[8], 3);
    EXPECT_STREQ(reinterpret_cast<const char*>(&piece[18]), "/home/p/tovalen/ZK4/");
    EXPECT_STREQ(reinterpret_cast<const char*>(&piece[278]), "data.pak");
    EXPECT_EQ(piece[538] | piece[539] << 8, 300);
    EXPECT_EQ(piece[540], 'h');
}

TEST(LocalProtocol, FieldsThatDoNotFitAreRefusedNotCut) {
    std::vector<std::uint8_t> payload;
    LocalFileRecord longFolder = File(20);
    longFolder.folder = "/" + std::string(259, 'f');
    EXPECT_FALSE(EncodeJobSubmit({1, 1, "k"}, {longFolder}, &payload));
    LocalFileRecord longName = File(20);
    longName.name = std::string(260, 'n');
    EXPECT_FALSE(EncodeJobSubmit({1, 1, "k"}, {longName}, &payload));
    EXPECT_FALSE(EncodeJobSubmitFile(1, 0, File(65536), &payload));
    EXPECT_TRUE(EncodeJobSubmitFile(1, 0, File(65535), &payload));
    EXPECT_FALSE(EncodeJobSubmitBegin({1, 1, std::string(33, 'k')}, &payload));
}

TEST(LocalProtocol, IncomingMessagesAreReadOnlyWithinTheirPayload) {
    std::vector<std::uint8_t> accepted(24, 0);
    accepted[0] = 7;
    accepted[4] = 9;
    accepted[8] = 2;
    accepted[12] = 0x10;
    JobAccepted a;
    ASSERT_TRUE(DecodeJobAccepted(accepted.data(), accepted.size(), &a));
    EXPECT_EQ(a.engineJob, 9u);
    EXPECT_EQ(a.totalBytes, 16u);
    EXPECT_FALSE(DecodeJobAccepted(accepted.data(), 19, &a));

    // A file path without its end, a URL without its zero: malformed.
    std::vector<std::uint8_t> done(400, 'x');
    FileDone d;
    EXPECT_FALSE(DecodeFileDone(done.data(), done.size(), false, &d));
    std::memset(done.data() + 41, 0, 260);
    EXPECT_FALSE(DecodeFileDone(done.data(), done.size(), false, &d));
    done.back() = 0;
    EXPECT_TRUE(DecodeFileDone(done.data(), done.size(), false, &d));
    EXPECT_TRUE(d.path.empty());
    EXPECT_EQ(d.url.size(), 400u - 301 - 1);
    EXPECT_FALSE(DecodeFileDone(done.data(), 301, false, &d));

    // A progress report whose count promises the world, with no record.
    std::vector<std::uint8_t> progress(64, 0);
    progress[60] = progress[61] = progress[62] = progress[63] = 0xFF;
    ProgressReport p;
    ASSERT_TRUE(DecodeProgressReport(progress.data(), progress.size(), &p));
    EXPECT_FALSE(p.hasFirstRecord);
    EXPECT_FALSE(DecodeProgressReport(progress.data(), 63, &p));
    // A record present but its text unterminated: the head is read, not the record.
    progress.resize(64 + 65 + 10, 'r');
    ASSERT_TRUE(DecodeProgressReport(progress.data(), progress.size(), &p));
    EXPECT_FALSE(p.hasFirstRecord);
    progress.back() = 0;
    ASSERT_TRUE(DecodeProgressReport(progress.data(), progress.size(), &p));
    EXPECT_TRUE(p.hasFirstRecord);

    std::vector<std::uint8_t> failed = {1, 0, 0, 0, 0, 0, 0, 0, 'n', 'o'};
    JobFailed f;
    EXPECT_FALSE(DecodeJobFailed(failed.data(), failed.size(), &f));
    failed.push_back(0);
    ASSERT_TRUE(DecodeJobFailed(failed.data(), failed.size(), &f));
    EXPECT_EQ(f.text, "no");
    JobStateRecord s;
    EXPECT_FALSE(DecodeJobState(failed.data(), 9, &s));
}
