#include "wire_codec.h"

#include <cstring>

namespace engine {
namespace {

std::uint64_t ReadLittle(const char* p, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(p[i]);
    return v;
}

void AppendLittle(std::string* out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

FramePeek PeekFrame(std::string_view buffer, FrameHead* head) {
    if (buffer.size() < kFrameHeaderBytes) return FramePeek::kNeedMore;
    head->type = static_cast<std::uint16_t>(ReadLittle(buffer.data(), 2));
    head->subtype = static_cast<std::uint16_t>(ReadLittle(buffer.data() + 2, 2));
    head->length = static_cast<std::uint32_t>(ReadLittle(buffer.data() + 10, 4));
    if (head->length > kMaxIncomingPayload) return FramePeek::kTooLarge;
    if (buffer.size() - kFrameHeaderBytes < head->length) return FramePeek::kNeedMore;
    return FramePeek::kWhole;
}

std::string EncodeFrame(std::uint16_t type, std::uint16_t subtype, std::string_view payload) {
    const std::size_t unpadded = kFrameHeaderBytes + payload.size();
    const std::size_t total = (unpadded + 7) / 8 * 8;
    std::string frame;
    frame.reserve(total);
    AppendLittle(&frame, type, 2);
    AppendLittle(&frame, subtype, 2);
    frame.append(6, '\0');
    AppendLittle(&frame, total - kFrameHeaderBytes, 4);
    frame.append(payload);
    frame.append(total - unpadded, '\0');
    return frame;
}

void ByteWriter::U16(std::uint16_t v) {
    AppendLittle(&out_, v, 2);
}
void ByteWriter::U32(std::uint32_t v) {
    AppendLittle(&out_, v, 4);
}
void ByteWriter::U64(std::uint64_t v) {
    AppendLittle(&out_, v, 8);
}

void ByteWriter::FixedText(std::string_view text, std::size_t width) {
    const std::size_t n = text.size() < width ? text.size() : (width == 0 ? 0 : width - 1);
    out_.append(text.substr(0, n));
    out_.append(width - n, '\0');
}

void ByteWriter::Text(std::string_view text) {
    out_.append(text);
    out_.push_back('\0');
}

bool ByteReader::Take(std::size_t n, const char** at) {
    if (!ok_ || n > data_.size() - pos_) {
        ok_ = false;
        return false;
    }
    *at = data_.data() + pos_;
    pos_ += n;
    return true;
}

std::uint8_t ByteReader::U8() {
    const char* p = nullptr;
    return Take(1, &p) ? static_cast<std::uint8_t>(*p) : 0;
}

std::uint16_t ByteReader::U16() {
    const char* p = nullptr;
    return Take(2, &p) ? static_cast<std::uint16_t>(ReadLittle(p, 2)) : 0;
}

std::uint32_t ByteReader::U32() {
    const char* p = nullptr;
    return Take(4, &p) ? static_cast<std::uint32_t>(ReadLittle(p, 4)) : 0;
}

std::uint64_t ByteReader::U64() {
    const char* p = nullptr;
    return Take(8, &p) ? ReadLittle(p, 8) : 0;
}

std::string ByteReader::FixedText(std::size_t width) {
    const char* p = nullptr;
    if (!Take(width, &p)) return {};
    const void* end = std::memchr(p, '\0', width);
    if (!end) {
        ok_ = false;
        return {};
    }
    return std::string(p, static_cast<const char*>(end));
}

std::string ByteReader::Text() {
    if (!ok_) return {};
    const char* start = data_.data() + pos_;
    const void* end = std::memchr(start, '\0', data_.size() - pos_);
    if (!end) {
        ok_ = false;
        return {};
    }
    std::string text(start, static_cast<const char*>(end));
    pos_ += text.size() + 1;
    return text;
}

std::string ByteReader::Raw(std::size_t n) {
    const char* p = nullptr;
    return Take(n, &p) ? std::string(p, n) : std::string();
}

}  // namespace engine
