#include "transport/frame.h"

#include <cstring>

namespace {

constexpr std::uint32_t kTypeOffset = 0;
constexpr std::uint32_t kSubtypeOffset = 2;
constexpr std::uint32_t kLengthOffset = 10;

// Byte by byte, so the wire order does not depend on the host's order and
// unaligned offsets (10) are safe.
std::uint16_t Load16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Load32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Store16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Store32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

nwFrameHeader nwReadFrameHeader(const void* data) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    nwFrameHeader header;
    header.type = Load16(p + kTypeOffset);
    header.subtype = Load16(p + kSubtypeOffset);
    header.payloadLength = Load32(p + kLengthOffset);
    return header;
}

void nwWriteFrameHeader(const nwFrameHeader& header, void* out) {
    auto* p = static_cast<std::uint8_t*>(out);
    std::memset(p, 0, kFrameHeaderSize);
    Store16(p + kTypeOffset, header.type);
    Store16(p + kSubtypeOffset, header.subtype);
    Store32(p + kLengthOffset, header.payloadLength);
}

std::uint64_t nwPaddedFrameSize(std::uint32_t payloadLength) {
    std::uint64_t size = std::uint64_t{kFrameHeaderSize} + payloadLength;
    return (size + kFrameAlignment - 1) / kFrameAlignment * kFrameAlignment;
}

vzStatus nwBuildFrame(std::uint16_t type, std::uint16_t subtype, const void* payload,
                      std::uint32_t payloadLength, std::vector<std::uint8_t>* frame) {
    const std::uint64_t size = nwPaddedFrameSize(payloadLength);
    if (frame == nullptr || size - kFrameHeaderSize > kFrameMaxPayload ||
        (payload == nullptr && payloadLength != 0))
        return kLayerFail;
    const auto total = static_cast<std::uint32_t>(size);
    frame->assign(total, 0);
    nwWriteFrameHeader({type, subtype, total - kFrameHeaderSize}, frame->data());
    if (payloadLength != 0) std::memcpy(frame->data() + kFrameHeaderSize, payload, payloadLength);
    return kLayerOk;
}
