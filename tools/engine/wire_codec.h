// The engine link's framing and little-endian field access, written from
// the wire layout alone so that it shares no mistakes with the service's
// own codec:
//
//   offset 0   u16  message type (0x0100; 0x0102 for the one-message job
//                   description)
//   offset 2   u16  message subtype
//   offset 4   6 zero bytes (ignored on receipt)
//   offset 10  u32  payload length, padding included
//   offset 14       payload, then zero bytes up to a multiple of 8 in all
//
// Plain functions and value types; any thread may use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::size_t kFrameHeaderBytes = 14;
inline constexpr std::uint16_t kEngineMessageType = 0x0100;
inline constexpr std::uint16_t kJobSubmitMessageType = 0x0102;
// The launcher switches to the split description well below this, so a
// larger frame is corrupt or hostile; refusing it at the header keeps a
// connection's buffer small.
inline constexpr std::uint32_t kMaxIncomingPayload = 256 * 1024;

struct FrameHead {
    std::uint16_t type = 0;
    std::uint16_t subtype = 0;
    std::uint32_t length = 0;  // payload bytes, padding included
};

enum class FramePeek {
    kNeedMore,  // the header or part of the payload has not arrived
    kWhole,     // header and the whole payload are in the buffer
    kTooLarge,  // the header announces more than kMaxIncomingPayload
};

// Looks at the front of `buffer`; on kWhole and kTooLarge *head is filled.
FramePeek PeekFrame(std::string_view buffer, FrameHead* head);

// A complete frame: header, payload and the zero padding, the padded length
// in the header.
std::string EncodeFrame(std::uint16_t type, std::uint16_t subtype, std::string_view payload);

// Appends little-endian fields to a payload.
class ByteWriter {
public:
    void U8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void U64(std::uint64_t v);
    void Zeros(std::size_t n) { out_.append(n, '\0'); }
    // `text` then zero bytes up to `width`; the caller has checked that the
    // text is shorter than the field.
    void FixedText(std::string_view text, std::size_t width);
    // `text` and one zero byte.
    void Text(std::string_view text);

    const std::string& Bytes() const { return out_; }

private:
    std::string out_;
};

// Reads little-endian fields from a payload; any read past the end, or a
// text without its zero inside its field or the payload, turns Ok() false
// and every later read yields zero values.
class ByteReader {
public:
    explicit ByteReader(std::string_view data) : data_(data) {}

    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::uint64_t U64();
    // A fixed field of `width` bytes whose text ends at its first zero byte,
    // which must lie inside the field.
    std::string FixedText(std::size_t width);
    // A text running to a zero byte that must lie inside the payload.
    std::string Text();
    // `n` raw bytes.
    std::string Raw(std::size_t n);

    bool Ok() const { return ok_; }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return ok_ ? data_.size() - pos_ : 0; }

private:
    bool Take(std::size_t n, const char** at);

    std::string_view data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace engine
