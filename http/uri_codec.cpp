#include "http/uri_codec.h"

#include <cstring>
#include <string_view>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '+' || c == '-' || c == '.' || c == '@' || c == '_';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string EncodeBytes(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (char ch : in) {
        auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHexDigits[c >> 4]);
            out.push_back(kHexDigits[c & 0x0F]);
        }
    }
    return out;
}

std::string DecodeBytes(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    // Only positions with two characters after them can start an escape.
    while (i + 2 < in.size()) {
        int high = in[i] == '%' ? HexValue(in[i + 1]) : -1;
        int low = high >= 0 ? HexValue(in[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 3;
        } else {
            out.push_back(in[i]);
            ++i;
        }
    }
    out.append(in.substr(i));
    // The result is used as a C string, so an escaped zero ends it.
    std::size_t zero = out.find('\0');
    if (zero != std::string::npos) out.resize(zero);
    return out;
}

vzStatus Deliver(const std::string& result, char* output, std::size_t capacity,
                 std::size_t* length) {
    *length = result.size();
    if (output == nullptr) return kUriOk;
    if (capacity < result.size() + 1) return kUriFail;
    std::memcpy(output, result.data(), result.size());
    output[result.size()] = '\0';
    return kUriOk;
}

}  // namespace

vzStatus utCUriCodec::Decode(const char* input, char* output, std::size_t capacity,
                             std::size_t* length) {
    if (input == nullptr || *input == '\0' || length == nullptr) return kUriFail;
    return Deliver(DecodeBytes(input), output, capacity, length);
}

vzStatus utCUriCodec::Encode(const char* input, char* output, std::size_t capacity,
                             std::size_t* length) {
    if (input == nullptr || *input == '\0' || length == nullptr) return kUriFail;
    return Deliver(EncodeBytes(input), output, capacity, length);
}

void EncodeText(std::string* text) {
    // Stops at an embedded zero like every C-string caller of the codec.
    std::string_view in(text->c_str());
    if (!in.empty()) *text = EncodeBytes(in);
}

void DecodeText(std::string* text) {
    std::string_view in(text->c_str());
    if (!in.empty()) *text = DecodeBytes(in);
}
