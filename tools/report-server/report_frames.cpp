#include "report_frames.h"

#include <cstring>

namespace {

constexpr std::uint16_t kType = 0x300;
constexpr std::uint16_t kReportSubtype = 0x9A;
constexpr std::uint16_t kReplySubtype = 0x83;
constexpr std::size_t kKeySize = 33;
constexpr std::size_t kUrlSize = 256;
constexpr std::size_t kBytesOffset = kKeySize + kUrlSize;  // 289

std::uint64_t LoadLE(const char* p, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return value;
}

void StoreLE(char* p, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) p[i] = static_cast<char>(value >> (8 * i));
}

std::string Column(const char* p, std::size_t size) {
    const void* nul = std::memchr(p, 0, size);
    return {p, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : size};
}

}  // namespace

FrameRead ReadReport(std::string_view data, std::size_t* frameSize,
                     std::vector<ReceivedRecord>* records) {
    if (data.size() < kFrameHeaderSize) return FrameRead::kNeedMore;
    const auto type = static_cast<std::uint16_t>(LoadLE(data.data(), 2));
    const auto subtype = static_cast<std::uint16_t>(LoadLE(data.data() + 2, 2));
    const auto length = static_cast<std::uint32_t>(LoadLE(data.data() + 10, 4));
    // Checked on the header alone, before waiting for a payload that a
    // hostile or confused client may never finish.
    if (type != kType || subtype != kReportSubtype || length > kMaxPayload || length < 4)
        return FrameRead::kGarbage;
    if (data.size() - kFrameHeaderSize < length) return FrameRead::kNeedMore;

    const char* payload = data.data() + kFrameHeaderSize;
    const std::uint64_t count = LoadLE(payload, 4);
    if (count > (length - 4) / kRecordSize) return FrameRead::kGarbage;
    for (std::uint64_t i = 0; i < count; ++i) {
        const char* record = payload + 4 + i * kRecordSize;
        ReceivedRecord received;
        received.key = Column(record, kKeySize);
        received.url = Column(record + kKeySize, kUrlSize);
        received.bytes = static_cast<std::int64_t>(LoadLE(record + kBytesOffset, 8));
        records->push_back(std::move(received));
    }
    *frameSize = kFrameHeaderSize + length;
    return FrameRead::kReport;
}

std::string ReplyFrame(std::uint8_t code) {
    std::string frame(16, '\0');
    StoreLE(frame.data(), kType, 2);
    StoreLE(frame.data() + 2, kReplySubtype, 2);
    StoreLE(frame.data() + 10, frame.size() - kFrameHeaderSize, 4);
    frame[kFrameHeaderSize] = static_cast<char>(code);
    return frame;
}
