// What the engine does with input that breaks the conversation: each case
// closes that one connection, and the engine keeps serving new ones.
#include "engine_fixture.h"
#include "transport/frame.h"
#include "wire_codec.h"

namespace {

// A frame by hand, with any length field.
std::string RawFrame(std::uint16_t type, std::uint16_t subtype, const std::string& payload,
                     std::uint32_t declaredLength) {
    std::string out;
    out.push_back(static_cast<char>(type & 0xFF));
    out.push_back(static_cast<char>(type >> 8));
    out.push_back(static_cast<char>(subtype & 0xFF));
    out.push_back(static_cast<char>(subtype >> 8));
    out.append(6, '\0');
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((declaredLength >> (8 * i)) & 0xFF));
    return out + payload;
}

struct BadInput {
    const char* name;
    bool introduce;  // send the service key first
    std::string bytes;
};

class EngineProtocolTest : public EngineTest {
protected:
    // A job the engine answers at once (its folder is refused): proof that
    // a connection is served.
    void ExpectServed(EngineLink* link) {
        Describe(link, 77, {{"relative/", "f.bin", "http://127.0.0.1:9/f.bin", 1}});
        EXPECT_EQ(ExpectAccepted(link).jobKey, 77u);
        EngineFrame end;
        EXPECT_TRUE(link->Receive(&end));
        EXPECT_EQ(end.subtype, 6);
    }
};

std::vector<BadInput> BadInputs() {
    const std::string good = JobSubmitPayload(5, kServiceKey, {{"/tmp/", "a", "http://h/a", 1}});
    std::string unterminatedFolder = good;
    for (std::size_t i = 51; i < 51 + 260; ++i) unterminatedFolder[i] = 'a';
    // An address without its zero, and a payload length that needs no
    // padding, so that nothing after it can end it.
    std::string unterminatedUrl = good.substr(0, good.size() - 1);
    while ((14 + unterminatedUrl.size()) % 8 != 0) unterminatedUrl.push_back('u');
    std::string keyWithoutZero(266, 'k');
    return {
        {"a job mode before the service key", false,
         RawFrame(0x0100, 0, JobModePayload(2) + std::string(1, '\0'), 18)},
        {"a service key without its zero", false, RawFrame(0x0100, 12, keyWithoutZero, 266)},
        {"a short description", true,
         RawFrame(0x0102, 14, good.substr(0, 20) + std::string(2, '\0'), 22)},
        {"a folder without its zero", true,
         RawFrame(0x0102, 14, unterminatedFolder + std::string(6, '\0'),
                  static_cast<std::uint32_t>(unterminatedFolder.size() + 6))},
        {"an address without its zero", true,
         RawFrame(0x0102, 14, unterminatedUrl, static_cast<std::uint32_t>(unterminatedUrl.size()))},
        {"a huge declared length", true, RawFrame(0x0100, 0, std::string(18, '\0'), 0x7FFFFFF0)},
        {"an unknown subtype", true, RawFrame(0x0100, 99, std::string(10, '\0'), 10)},
        {"a description under the wrong type", true,
         RawFrame(0x0100, 14, good + std::string(8 - (14 + good.size()) % 8, '\0'),
                  static_cast<std::uint32_t>(good.size() + 8 - (14 + good.size()) % 8))},
        {"a file piece without a beginning", true,
         RawFrame(0x0100, 20, std::string(546, '\0'), 546)},
        {"too many files", true,
         RawFrame(0x0100, 19, JobHeadPayload(5, 1000000, kServiceKey) + std::string(7, '\0'), 48)},
        {"an end with files missing", true,
         RawFrame(0x0100, 19, JobHeadPayload(5, 2, kServiceKey) + std::string(7, '\0'), 48) +
             RawFrame(0x0100, 21, JobKeyPayload(5) + std::string(6, '\0'), 10)},
        {"a short cancel", true, RawFrame(0x0100, 3, std::string(2, '\0'), 2)},
    };
}

TEST_F(EngineProtocolTest, MalformedOrOutOfOrderInputClosesOnlyThatConnection) {
    StartEngine();
    for (const BadInput& input : BadInputs()) {
        SCOPED_TRACE(input.name);
        EngineLink bad;
        ASSERT_TRUE(bad.Connect(engine_->Port()));
        if (input.introduce) {
            ASSERT_TRUE(bad.Send(12, ServiceKeyPayload(kServiceKey)));
        }
        ASSERT_TRUE(bad.SendRaw(input.bytes));
        EXPECT_TRUE(bad.WaitClosed());
    }
    EngineLink good;
    Introduce(&good);
    ExpectServed(&good);
}

TEST_F(EngineProtocolTest, MessagesSplitAcrossReadsOrSharingOneAreAllTaken) {
    StartEngine();
    EngineLink link;
    ASSERT_TRUE(link.Connect(engine_->Port()));
    std::vector<std::uint8_t> key, mode;
    ASSERT_EQ(nwBuildFrame(0x0100, 12, ServiceKeyPayload(kServiceKey).data(), 260, &key), kLayerOk);
    ASSERT_EQ(nwBuildFrame(0x0100, 0, JobModePayload(2).data(), 17, &mode), kLayerOk);
    std::string both(key.begin(), key.end());
    both.append(mode.begin(), mode.end());
    ASSERT_TRUE(link.SendRaw(both));
    const std::string job =
        JobSubmitPayload(9, kServiceKey, {{"relative/", "f.bin", "http://127.0.0.1:9/f", 1}});
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(nwBuildFrame(0x0102, 14, job.data(), static_cast<std::uint32_t>(job.size()), &frame),
              kLayerOk);
    const std::string bytes(frame.begin(), frame.end());
    ASSERT_TRUE(link.SendRaw(bytes.substr(0, 9)));
    EngineFrame early;
    EXPECT_FALSE(link.Receive(&early, 300));
    ASSERT_TRUE(link.SendRaw(bytes.substr(9, 100)));
    EXPECT_FALSE(link.Receive(&early, 300));
    ASSERT_TRUE(link.SendRaw(bytes.substr(109)));
    EXPECT_EQ(ExpectAccepted(&link).jobKey, 9u);
}

TEST_F(EngineProtocolTest, JobsBelongToTheirConnectionAndNumbersStayUnique) {
    StartEngine();
    EngineLink first;
    Introduce(&first);
    Describe(&first, 1, {{"relative/", "f", "http://127.0.0.1:9/f", 1}});
    const Accepted a = ExpectAccepted(&first);
    first.Close();
    EngineLink second;
    Introduce(&second);
    // The same job key again on a new connection is a new job.
    Describe(&second, 1, {{"relative/", "f", "http://127.0.0.1:9/f", 1}});
    const Accepted b = ExpectAccepted(&second);
    EXPECT_NE(a.engineJob, b.engineJob);
}

// The engine's own codec against the service's frame functions.
TEST(EngineWireCodec, FramesMatchTheServiceFramingByteForByte) {
    for (std::size_t size : {0u, 1u, 4u, 17u, 18u, 260u, 672u}) {
        const std::string payload(size, '\x5A');
        std::vector<std::uint8_t> theirs;
        ASSERT_EQ(
            nwBuildFrame(0x0100, 5, payload.data(), static_cast<std::uint32_t>(size), &theirs),
            kLayerOk);
        const std::string ours = engine::EncodeFrame(0x0100, 5, payload);
        EXPECT_EQ(ours, std::string(theirs.begin(), theirs.end())) << size;
        engine::FrameHead head;
        EXPECT_EQ(engine::PeekFrame(ours, &head), engine::FramePeek::kWhole);
        EXPECT_EQ(head.length + 14, ours.size());
        EXPECT_EQ(engine::PeekFrame(ours.substr(0, ours.size() - 1), &head),
                  engine::FramePeek::kNeedMore);
    }
    EXPECT_EQ(engine::EncodeFrame(0x0100, 12, std::string(260, 'k')).size(), 280u);
}

}  // namespace
