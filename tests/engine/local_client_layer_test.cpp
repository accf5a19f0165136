// The engine link's layer on the way up: frames cut out of the byte stream
// however the reads fall, and a message that does not hold its fields never
// reaches the listener.
#include "engine/local_client_layer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Recorder final : public nwICDNLocalClientEventListener {
public:
    void OnConnected(std::uint32_t) override {}
    void OnJobAccepted(const JobAccepted& r, std::uint32_t) override { accepted.push_back(r); }
    void OnJobFailed(const JobFailed&, std::uint32_t) override { ++other; }
    void OnProgressReport(const ProgressReport& r, std::uint32_t) override {
        progress.push_back(r);
    }
    void OnFileDone(const FileDone& r, std::uint32_t) override { done.push_back(r); }
    void OnFileDoneAt(const FileDone&, std::uint32_t) override { ++other; }
    void OnJobEnded(const JobEnded&, std::uint32_t) override { ++other; }
    void OnJobState(const JobStateRecord&, std::uint32_t) override { ++other; }
    void OnNetworkLost(std::uint32_t) override { ++other; }
    void OnNetworkRestored(std::uint32_t) override { ++other; }
    void OnClosed(std::uint32_t) override {}
    void OnConnectFailed(std::uint32_t) override {}
    void OnResumeQuestion(std::uint32_t) override { ++other; }

    std::vector<JobAccepted> accepted;
    std::vector<ProgressReport> progress;
    std::vector<FileDone> done;
    int other = 0;
};

void PutU32(Bytes* b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutU64(Bytes* b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Frame(std::uint16_t subtype, const Bytes& payload) {
    Bytes frame;
    EXPECT_EQ(nwBuildFrame(kLocalMessageType, subtype, payload.data(),
                           static_cast<std::uint32_t>(payload.size()), &frame),
              kLayerOk);
    return frame;
}

Bytes Accepted(std::uint32_t jobKey, std::uint32_t engineJob) {
    Bytes p;
    PutU32(&p, jobKey);
    PutU32(&p, engineJob);
    PutU32(&p, 3);
    PutU64(&p, 123456789012ull);
    return p;
}

class LocalClientLayerTest : public testing::Test {
protected:
    void SetUp() override {
        layer_ = new nwCCDNLocalClientLayer();
        (void)layer_->AddRef();
        ASSERT_EQ(layer_->SetListener(&recorder_, 0), kLayerOk);
    }
    void TearDown() override { (void)layer_->Release(); }
    // Hands `input` over in a buffer of exactly its size (a sanitizer build
    // catches any read past it); the bytes consumed.
    std::int32_t Receive(const Bytes& input, std::size_t length) {
        auto exact = std::make_unique<std::uint8_t[]>(length + 1);
        std::memcpy(exact.get(), input.data(), length);
        return layer_->OnReceive(exact.get(), static_cast<std::int32_t>(length));
    }

    nwCCDNLocalClientLayer* layer_ = nullptr;
    Recorder recorder_;
};

}  // namespace

TEST_F(LocalClientLayerTest, TwoMessagesInOneReadAndOneSplitAtEveryByte) {
    Bytes both = Frame(kMsgJobAccepted, Accepted(7, 1));
    const Bytes second = Frame(kMsgJobAccepted, Accepted(8, 2));
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(Receive(both, both.size()), static_cast<std::int32_t>(both.size()));
    ASSERT_EQ(recorder_.accepted.size(), 2u);
    EXPECT_EQ(recorder_.accepted[0].jobKey, 7u);
    EXPECT_EQ(recorder_.accepted[1].engineJob, 2u);
    EXPECT_EQ(recorder_.accepted[1].totalBytes, 123456789012ull);

    recorder_.accepted.clear();
    for (std::size_t cut = 1; cut < second.size(); ++cut)
        EXPECT_EQ(Receive(second, cut), 0) << "cut " << cut;
    EXPECT_TRUE(recorder_.accepted.empty());
    EXPECT_EQ(Receive(second, second.size()), static_cast<std::int32_t>(second.size()));
    EXPECT_EQ(recorder_.accepted.size(), 1u);
}

TEST_F(LocalClientLayerTest, MalformedMessagesNeverReachTheListener) {
    // Too short for its fields.
    Bytes shortAccepted = Accepted(7, 1);
    shortAccepted.resize(10);
    // A progress report whose record count promises far more than it holds.
    Bytes progress(64, 0);  // the report's head: received at 28, record count at 60
    progress[28] = 50;
    for (int i = 0; i < 4; ++i) progress[60 + i] = 0xFF;  // no record follows
    // A finished file whose path runs to the end of the payload.
    Bytes done;
    PutU32(&done, 7);
    PutU32(&done, 1);
    done.insert(done.end(), 40, 'x');
    for (const Bytes& frame : {Frame(kMsgJobAccepted, shortAccepted),
                               Frame(kMsgProgressReport, progress), Frame(kMsgFileDone, done)})
        (void)Receive(frame, frame.size());  // the layer closes; nothing to close here
    EXPECT_TRUE(recorder_.accepted.empty());
    EXPECT_TRUE(recorder_.done.empty());
    // The report's head holds; its records do not: only the head is read.
    ASSERT_EQ(recorder_.progress.size(), 1u);
    EXPECT_EQ(recorder_.progress[0].receivedBytes, 50u);
    EXPECT_FALSE(recorder_.progress[0].hasFirstRecord);
}
