// Frames on the wire and the dispatcher that cuts them out of a byte stream.
// Every parse gets its input in a buffer of exactly that size, so that a
// sanitizer build catches any read past the data.
#include "transport/stream_dispatcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint16_t type, std::uint16_t subtype, const std::string& payload) {
    Bytes frame;
    EXPECT_EQ(nwBuildFrame(type, subtype, payload.data(),
                           static_cast<std::uint32_t>(payload.size()), &frame),
              kLayerOk);
    return frame;
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FrameTest, FiveBytePayloadIsPaddedToTwentyFourLittleEndianBytes) {
    const Bytes expected = {0x00, 0x03, 0x83, 0x00, 0,   0,   0,   0, 0, 0, 10, 0,
                            0,    0,    'h',  'e',  'l', 'l', 'o', 0, 0, 0, 0,  0};
    EXPECT_EQ(Frame(0x300, 0x83, "hello"), expected);

    nwFrameHeader header = nwReadFrameHeader(expected.data());
    EXPECT_EQ(header.type, 0x300);
    EXPECT_EQ(header.subtype, 0x83);
    EXPECT_EQ(header.payloadLength, 10u);
}

TEST(FrameTest, SizesRoundUpToEightAndStopAtTheLimit) {
    EXPECT_EQ(nwPaddedFrameSize(0), 16u);  // even an empty frame carries 2 padding bytes
    EXPECT_EQ(nwPaddedFrameSize(2), 16u);
    EXPECT_EQ(nwPaddedFrameSize(3), 24u);
    EXPECT_EQ(nwPaddedFrameSize(0xFFFFFFFF), 0x100000010u);  // no 32-bit wrap

    // The largest payload whose padded length stays within the limit.
    Bytes frame;
    Bytes big(kFrameMaxPayload - 6, 'x');
    EXPECT_EQ(nwBuildFrame(1, 1, big.data(), kFrameMaxPayload - 6, &frame), kLayerOk);
    EXPECT_EQ(nwReadFrameHeader(frame.data()).payloadLength, kFrameMaxPayload - 6);
    big.push_back('x');
    frame.clear();
    EXPECT_EQ(nwBuildFrame(1, 1, big.data(), kFrameMaxPayload - 5, &frame), kLayerFail);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(nwBuildFrame(1, 1, nullptr, 3, &frame), kLayerFail);
}

struct Call {
    int handler;
    std::string payload;
};

class DispatcherTest : public testing::Test {
protected:
    // Framed handlers record (their number, the payload they got).
    template <int N>
    static void Record(const void* payload, std::uint32_t length, void* user) {
        static_cast<DispatcherTest*>(user)->calls_.push_back(
            {N, std::string(static_cast<const char*>(payload), length)});
    }
    static void StopInside(const void*, std::uint32_t, void* user) {
        auto* self = static_cast<DispatcherTest*>(user);
        self->dispatcher_.Stop();
        self->calls_.push_back({9, ""});
    }

    std::int32_t Parse(const Bytes& input) {
        auto exact = std::make_unique<std::uint8_t[]>(input.size());
        if (!input.empty()) std::memcpy(exact.get(), input.data(), input.size());
        std::int32_t consumed = 12345;
        EXPECT_EQ(
            dispatcher_.Parse(exact.get(), static_cast<std::int32_t>(input.size()), &consumed),
            kLayerOk);
        return consumed;
    }

    nwCStreamDispatcher dispatcher_;
    std::vector<Call> calls_;
};

TEST_F(DispatcherTest, TwoFramesInOneParseAreBothDispatchedInOrder) {
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(0x100, 1, &Record<1>, this)));
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(0x100, 2, &Record<2>, this)));
    Bytes empty(kFrameHeaderSize);  // unpadded, as a peer may send it
    nwWriteFrameHeader({0x100, 1, 0}, empty.data());

    EXPECT_EQ(Parse(Join(Frame(0x100, 2, "abc"), empty)), 24 + 14);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].handler, 2);
    EXPECT_EQ(calls_[0].payload, std::string("abc\0\0\0\0\0\0\0", 10));  // padding included
    EXPECT_EQ(calls_[1].handler, 1);
    EXPECT_TRUE(calls_[1].payload.empty());
}

TEST_F(DispatcherTest, IncompleteFrameWaitsAtEverySplitPoint) {
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(0x100, 1, &Record<1>, this)));
    const Bytes frame = Frame(0x100, 1, "0123456789");
    for (std::size_t cut = 0; cut < frame.size(); ++cut) {
        EXPECT_EQ(Parse(Bytes(frame.begin(), frame.begin() + cut)), 0) << "cut " << cut;
    }
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(Parse(Join(frame, Bytes(5, 0))), 24);  // the next frame's start stays
    EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(DispatcherTest, UnknownTypeOrSubtypeFailsEvenAfterAGoodFrame) {
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(0x100, 1, &Record<1>, this)));
    EXPECT_TRUE(
        vzSucceeded(dispatcher_.RegisterHandler(0x100, 1, &Record<2>, this)));  // never reached
    EXPECT_TRUE(vzSucceeded(
        dispatcher_.RegisterHandler(0x100, 0x10001, &Record<3>, this)));  // above 16 bits

    EXPECT_EQ(Parse(Join(Frame(0x100, 1, "a"), Frame(0x100, 2, "b"))),
              nwCStreamDispatcher::kParseNoHandler);
    EXPECT_EQ(Parse(Frame(0x300, 1, "a")), nwCStreamDispatcher::kParseNoHandler);
    EXPECT_EQ(Parse(Frame(0x100, 1, "")), 16);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].handler, 1);
    EXPECT_EQ(calls_[1].handler, 1);
}

TEST_F(DispatcherTest, OversizedHeaderIsRefusedWithoutWaitingForItsPayload) {
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(1, 1, &Record<1>, this)));
    Bytes header(kFrameHeaderSize);
    nwWriteFrameHeader({1, 1, kFrameMaxPayload + 1}, header.data());
    EXPECT_EQ(Parse(header), nwCStreamDispatcher::kParseFrameTooLarge);
    nwWriteFrameHeader({1, 1, 0xFFFFFFFF}, header.data());
    EXPECT_EQ(Parse(header), nwCStreamDispatcher::kParseFrameTooLarge);

    nwWriteFrameHeader({1, 1, kFrameMaxPayload}, header.data());
    EXPECT_EQ(Parse(header), 0);  // at the limit it is merely incomplete
    EXPECT_TRUE(calls_.empty());
}

TEST_F(DispatcherTest, StopFlagEndsParsingAlsoInsideAHandler) {
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(1, 1, &StopInside, this)));
    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterHandler(1, 2, &Record<2>, this)));
    Bytes input = Join(Frame(1, 1, "x"), Frame(1, 2, "y"));

    EXPECT_EQ(Parse(input), 16);
    EXPECT_EQ(Parse(input), 0);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].handler, 9);

    std::int32_t consumed = 1;
    EXPECT_EQ(dispatcher_.Parse(nullptr, 5, &consumed), kLayerOk);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(dispatcher_.Parse(input.data(), 16, nullptr), kLayerFail);
}

// Raw handler consuming 4 bytes per call while it has at least 4.
std::vector<std::int32_t> rawLengths;
std::int32_t TakeFour(const void*, std::int32_t length, void*) {
    rawLengths.push_back(length);
    return length >= 4 ? 4 : 0;
}

TEST_F(DispatcherTest, RawModeFeedsTheRestUntilTheHandlerWantsMore) {
    rawLengths.clear();
    EXPECT_TRUE(
        vzSucceeded(dispatcher_.RegisterHandler(0, 0, &Record<1>, this)));  // no header in raw mode
    EXPECT_EQ(dispatcher_.RegisterRawHandler(nullptr, nullptr), kLayerFail);
    EXPECT_FALSE(dispatcher_.IsRawMode());
    EXPECT_EQ(dispatcher_.RegisterRawHandler(&TakeFour, nullptr), kLayerOk);

    EXPECT_EQ(Parse(Bytes(10, 0)), 8);
    EXPECT_EQ(rawLengths, (std::vector<std::int32_t>{10, 6, 2}));
    EXPECT_TRUE(calls_.empty());
}

TEST_F(DispatcherTest, RawHandlerFailureAndOverclaimAreNegative) {
    nwCStreamDispatcher refusing;
    EXPECT_TRUE(vzSucceeded(
        refusing.RegisterRawHandler([](const void*, std::int32_t, void*) { return -7; }, nullptr)));
    std::int32_t consumed = 0;
    EXPECT_TRUE(vzSucceeded(refusing.Parse("abc", 3, &consumed)));
    EXPECT_EQ(consumed, -7);

    EXPECT_TRUE(vzSucceeded(dispatcher_.RegisterRawHandler(
        [](const void*, std::int32_t n, void*) { return n + 1; }, nullptr)));
    EXPECT_EQ(Parse(Bytes(3, 0)), nwCStreamDispatcher::kParseOverrun);
}

}  // namespace
