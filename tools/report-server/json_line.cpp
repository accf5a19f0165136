#include "json_line.h"

#include <cstdio>

namespace {

void AppendEscapedByte(std::string* out, unsigned char byte) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
    out->append(buffer);
}

// The length of the valid UTF-8 sequence starting at text[i], 0 when there
// is none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (at(k) < 0x80 || at(k) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            AppendEscapedByte(&out, byte);
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (std::size_t length = Utf8SequenceLength(text, i)) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            AppendEscapedByte(&out, byte);
            ++i;
        }
    }
    out += '"';
    return out;
}

std::string RecordJsonLine(std::string_view key, std::string_view url, std::int64_t bytes) {
    return "{\"key\":" + JsonString(key) + ",\"url\":" + JsonString(url) +
           ",\"bytes\":" + std::to_string(bytes) + "}";
}
