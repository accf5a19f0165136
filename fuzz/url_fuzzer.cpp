// URL handling: the splitter a connection opens with (http/split_url.h), the
// resolution of a redirect's Location (http/resolve_location.h), the file
// name a URL field gives and its check (http/url_file_name.h), and the
// percent codec (http/uri_codec.h).
//
// Input: the request URL, a line feed, then the Location (the whole input
// is also taken as one URL field with "|" alternatives, and as codec input).
//
// Checks: a split URL puts back together into what it was split from; a
// resolved Location is an absolute http or https URL with a host and no
// fragment, resolves to itself again, and takes the request's scheme and
// host when it names none; a name that passes CheckFileName never holds a
// separator, a control byte or a dot name; decoding undoes encoding, and
// the codec's two-pass calls agree with the text helpers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/read_script.h"
#include "http/resolve_location.h"
#include "http/split_url.h"
#include "http/uri_codec.h"
#include "http/url_file_name.h"

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Lower(text[i]) != prefix[i]) return false;
    return true;
}

struct Split {
    bool ok = false;
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
};

Split CheckSplit(std::string_view url) {
    Split s;
    s.ok = SplitUrl(url, &s.host, &s.path, &s.port, &s.scheme);
    if (!s.ok) return s;
    const std::string_view sent = WithoutFragment(url);
    std::size_t prefix = 0;
    if (s.scheme == kUrlSchemeHttp) {
        FUZZ_CHECK(StartsWithNoCase(sent, "http://"));
        prefix = 7;
    } else {
        FUZZ_CHECK(s.scheme == kUrlSchemeHttps);
        FUZZ_CHECK(StartsWithNoCase(sent, "https://"));
        prefix = 8;
    }
    FUZZ_CHECK(sent.size() > prefix);
    FUZZ_CHECK(s.path.empty() || s.path[0] == '/');
    FUZZ_CHECK(s.path.find('#') == std::string::npos);
    FUZZ_CHECK(s.host.find('/') == std::string::npos && s.host.find(':') == std::string::npos);
    // Host, then ":port" or nothing, then the path: nothing lost or moved.
    const std::string_view rest = sent.substr(prefix);
    FUZZ_CHECK(rest.substr(0, s.host.size()) == s.host);
    FUZZ_CHECK(rest.size() >= s.path.size() && rest.substr(rest.size() - s.path.size()) == s.path);
    const std::string_view between =
        rest.substr(s.host.size(), rest.size() - s.host.size() - s.path.size());
    if (between.empty())
        FUZZ_CHECK(s.port == (s.scheme == kUrlSchemeHttp ? 80 : 443));
    else
        FUZZ_CHECK(between[0] == ':' && between.find('/') == std::string_view::npos);
    return s;
}

bool HasDotSegment(std::string_view path) {
    path = path.substr(0, path.find('?'));
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        if (segment == "." || segment == "..") return true;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return false;
}

void CheckLocation(std::string_view base, std::string_view location) {
    std::string target;
    const LocationVerdict verdict = ResolveLocation(base, location, &target);
    FUZZ_CHECK(LocationVerdictText(verdict) != nullptr);
    if (verdict != LocationVerdict::kResolved) {
        FUZZ_CHECK(target.empty());
        return;
    }
    FUZZ_CHECK(target.compare(0, 7, "http://") == 0 || target.compare(0, 8, "https://") == 0);
    FUZZ_CHECK(target.find('#') == std::string::npos);
    const Split split = CheckSplit(target);
    FUZZ_CHECK(split.ok);
    FUZZ_CHECK(!split.host.empty());
    // The result is absolute: it resolves to itself, against any base. (For
    // a URL without white space or control bytes: a Location is trimmed
    // before its fragment goes, so "a #f" keeps the blank, as a reference
    // of characters no URL may hold deserves.)
    const Split from = CheckSplit(base);
    const bool plain = std::none_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
    });
    if (plain && from.ok && !HasDotSegment(from.path)) {
        FUZZ_CHECK(!HasDotSegment(split.path));
        std::string again;
        FUZZ_CHECK(ResolveLocation(base, target, &again) == LocationVerdict::kResolved);
        FUZZ_CHECK(again == target);
        FUZZ_CHECK(ResolveLocation("http://other.example/x", target) == target);
    }
    (void)FileNameOfUrlField(target);
}

void CheckFileNameOf(std::string_view field) {
    const std::string name = FileNameOfUrlField(field);
    const FileNameProblem problem = CheckFileName(name);
    FUZZ_CHECK(FileNameProblemText(problem) != nullptr);
    if (problem != FileNameProblem::kNone) return;
    // A name that passes is one file in the download folder, nothing else.
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name != "." && name != "..");
    FUZZ_CHECK(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
    for (char c : name) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

bool IsUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '+' || c == '-' || c == '.' || c == '@' || c == '_';
}

void CheckCodec(const std::string& input) {
    // The codec works on C strings: the text up to the first NUL.
    const std::string text(input.c_str());
    std::string encoded = text;
    EncodeText(&encoded);
    std::size_t expected = 0;
    for (char c : text) expected += IsUnreserved(c) ? 1 : 3;
    FUZZ_CHECK(encoded.size() == expected);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            FUZZ_CHECK(i + 2 < encoded.size());
            for (std::size_t j = i + 1; j <= i + 2; ++j)
                FUZZ_CHECK((encoded[j] >= '0' && encoded[j] <= '9') ||
                           (encoded[j] >= 'A' && encoded[j] <= 'F'));
            i += 2;
        } else {
            FUZZ_CHECK(IsUnreserved(encoded[i]));
        }
    }
    std::string decoded = encoded;
    DecodeText(&decoded);
    FUZZ_CHECK(decoded == text);

    std::string plain = text;
    DecodeText(&plain);
    FUZZ_CHECK(plain.size() <= text.size());
    FUZZ_CHECK(plain.find('\0') == std::string::npos);
    utCUriCodec codec;
    std::size_t length = 0;
    if (text.empty()) {
        FUZZ_CHECK(vzFailed(codec.Decode(text.c_str(), nullptr, 0, &length)));
        return;
    }
    FUZZ_CHECK(vzSucceeded(codec.Decode(text.c_str(), nullptr, 0, &length)));
    FUZZ_CHECK(length == plain.size());
    std::vector<char> buffer(length + 1, 'x');
    FUZZ_CHECK(vzFailed(codec.Decode(text.c_str(), buffer.data(), length, &length)));
    FUZZ_CHECK(vzSucceeded(codec.Decode(text.c_str(), buffer.data(), buffer.size(), &length)));
    FUZZ_CHECK(std::string(buffer.data()) == plain);
    FUZZ_CHECK(vzSucceeded(codec.Encode(text.c_str(), nullptr, 0, &length)));
    FUZZ_CHECK(length == encoded.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t lf = input.find('\n');
    const std::string base = input.substr(0, lf);
    const std::string location = lf == std::string::npos ? std::string() : input.substr(lf + 1);
    (void)CheckSplit(base);
    (void)CheckSplit(location);
    CheckLocation(base, location);
    CheckFileNameOf(input);
    CheckFileNameOf(base);
    CheckFileNameOf(location);
    CheckCodec(input);
    return 0;
}
