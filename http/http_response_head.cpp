#include "http/http_response_head.h"

#include <algorithm>
#include <limits>

#include "http/uri_codec.h"
#include "platform/text.h"

namespace {

bool IsOws(char c) { return c == ' ' || c == '\t'; }

// A head line as a reason may show it: at most 80 bytes, control
// characters as \xNN.
std::string Shown(std::string_view line) {
    std::string shown;
    for (char c : line.substr(0, 80)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        }
    }
    if (line.size() > 80) shown += "...";
    return shown;
}

// A field name is a token (RFC 9110, 5.6.2): letters, digits and these.
bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view TrimOws(std::string_view text) {
    while (!text.empty() && IsOws(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsOws(text.back())) text.remove_suffix(1);
    return text;
}

// Plain decimal digits that fit a signed 64-bit value; nothing else.
std::optional<std::int64_t> DecimalLength(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The lines of a head: each without its LF and a CR before it.
std::vector<std::string_view> Lines(std::string_view head) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < head.size()) {
        std::size_t lf = head.find('\n', start);
        if (lf == std::string_view::npos) break;
        std::string_view line = head.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

std::string Decoded(std::string_view value) {
    std::string text(value);
    DecodeText(&text);
    return text;
}

// The last coding of a comma-separated list, lower case.
std::string LastCoding(std::string_view list) {
    std::size_t comma = list.rfind(',');
    std::string_view last = comma == std::string_view::npos ? list : list.substr(comma + 1);
    return plat::AsciiLower(TrimOws(last));
}

bool HasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        if (plat::AsciiLower(TrimOws(list.substr(0, comma))) == token) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

HttpResponseHead::Scan HttpResponseHead::FindEnd(std::string_view data, std::size_t* headLength,
                                                 std::size_t* skipped) {
    // Empty lines before a status line are tolerated (a server's stray CR LF
    // after an earlier body).
    std::size_t start = 0;
    while (start < data.size() && (data[start] == '\r' || data[start] == '\n')) ++start;
    std::size_t lineStart = start;
    while (lineStart < data.size()) {
        std::size_t lf = data.find('\n', lineStart);
        if (lf == std::string_view::npos) break;
        std::size_t lineEnd = lf;
        if (lineEnd > lineStart && data[lineEnd - 1] == '\r') --lineEnd;
        if (lineEnd == lineStart && lineStart > start) {
            *skipped = start;
            *headLength = lf + 1 - start;
            return *headLength > kMaxHead ? Scan::kTooLong : Scan::kComplete;
        }
        lineStart = lf + 1;
        if (lineStart - start > kMaxHead) return Scan::kTooLong;
    }
    return data.size() - start > kMaxHead ? Scan::kTooLong : Scan::kIncomplete;
}

bool HttpResponseHead::Parse(std::string_view head) {
    refusal_.clear();
    records_.clear();
    undecoded_.clear();
    raw_.assign(head);
    status_ = 0;
    contentLength_ = 0;
    closeRequested_ = false;
    std::vector<std::string_view> lines = Lines(head);
    if (lines.empty()) return Refuse("no status line");

    // The status line: version, then the code and its reason.
    std::string_view statusLine = lines.front();
    std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos || statusLine.substr(0, 5) != "HTTP/")
        return Refuse("no status line: \"" + Shown(statusLine) + "\"");
    std::string_view rest = statusLine.substr(space + 1);
    if (rest.size() < 3) return Refuse("no status code: \"" + Shown(statusLine) + "\"");
    for (int i = 0; i < 3; ++i)
        if (rest[i] < '0' || rest[i] > '9')
            return Refuse("no status code: \"" + Shown(statusLine) + "\"");
    status_ = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
    records_.emplace_back(std::string(statusLine.substr(0, space)), Decoded(rest));
    undecoded_.emplace_back(rest);

    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.empty()) break;
        if (IsOws(line.front())) {
            // A folded line continues the field before it.
            if (records_.size() > 1) {
                records_.back().second += ' ' + Decoded(TrimOws(line));
                undecoded_.back() += ' ' + std::string(TrimOws(line));
            }
            continue;
        }
        std::size_t colon = line.find(':');
        // No colon, or a name that is not a token (white space before the
        // colon, a stray CR, a control byte): not a field, and the head is
        // refused rather than read without it.
        if (colon == std::string_view::npos || colon == 0)
            return Refuse("a head line that is no field: \"" + Shown(line) + "\"");
        std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsTokenChar))
            return Refuse("a head line whose name is no token: \"" + Shown(line) + "\"");
        records_.emplace_back(std::string(line.substr(0, colon + 1)),
                              Decoded(TrimOws(line.substr(colon + 1))));
        undecoded_.emplace_back(TrimOws(line.substr(colon + 1)));
    }

    std::optional<std::int64_t> length;
    bool chunked = false;
    bool otherCoding = false;
    for (std::size_t i = 1; i < records_.size(); ++i) {
        const std::string name = plat::AsciiLower(records_[i].first);
        // The framing is read from the fields as sent: decoding first would
        // let "%35" stand for a length of 5, or a NUL cut "10\0 000" to 10.
        const std::string& value = undecoded_[i];
        if (name == "content-length:") {
            std::optional<std::int64_t> parsed = DecimalLength(value);
            // A wrong length would end a body early or let it run past what
            // was announced: every one must be a number, and they must agree.
            if (!parsed || (length && *length != *parsed))
                return Refuse("a Content-Length that is no length, or two that disagree");
            length = parsed;
        } else if (name == "transfer-encoding:") {
            if (LastCoding(value) == "chunked")
                chunked = true;
            else if (!TrimOws(value).empty())
                otherCoding = true;
        } else if (name == "connection:") {
            if (HasToken(value, "close")) closeRequested_ = true;
        }
    }
    if (records_.front().first == "HTTP/1.0" && !closeRequested_) closeRequested_ = true;

    if (IsInterim() || status_ == 204 || status_ == 304) {
        framing_ = HttpBodyFraming::kNone;
    } else if (otherCoding) {
        framing_ = HttpBodyFraming::kUnsupported;
    } else if (chunked) {
        framing_ = HttpBodyFraming::kChunked;
        // A length beside a chunked coding means nothing, and a server that
        // sends both is not to be trusted with the connection's next exchange.
        if (length) closeRequested_ = true;
    } else if (length) {
        contentLength_ = *length;
        framing_ = *length == 0 ? HttpBodyFraming::kNone : HttpBodyFraming::kLength;
    } else {
        framing_ = HttpBodyFraming::kUntilClose;
    }
    return true;
}

bool HttpResponseHead::Refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
}

const std::string* HttpResponseHead::FindUndecoded(std::string_view name) const {
    const Record* record = Find(name);
    return record ? &undecoded_[static_cast<std::size_t>(record - records_.data())] : nullptr;
}

const HttpResponseHead::Record* HttpResponseHead::Find(std::string_view name) const {
    const std::string wanted = plat::AsciiLower(name);
    for (const Record& record : records_) {
        if (plat::AsciiLower(record.first).compare(0, wanted.size(), wanted) == 0) return &record;
    }
    return nullptr;
}
