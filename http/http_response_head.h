// The response head of an HTTP/1.1 exchange, read as RFC 9112 allows a
// recipient to: header lines end in CR LF or a bare LF, optional white space
// (none, spaces or tabs) may follow the colon and end the line, a line that
// starts with white space continues the previous field, and field names may
// come in any letter case. Each field is kept as a record whose name runs up
// to and including its colon ("Content-Length:") and whose value is the rest
// of the line without the white space around it, percent-decoded; the
// status line's record is its version ("HTTP/1.1") and the rest.
//
// The parser also decides how the body is framed: by Content-Length (every
// Content-Length must be plain digits, fit 63 bits and agree), chunked
// (Transfer-Encoding ending in "chunked", which wins over a Content-Length),
// until the connection closes, or not at all (interim 1xx heads, 204, 304).
// A Transfer-Encoding it cannot decode leaves the body unreadable.
//
// Plain data and functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class HttpBodyFraming {
    kNone,         // no body: 1xx, 204, 304, or Content-Length 0
    kLength,       // exactly ContentLength() bytes
    kChunked,      // chunked transfer coding
    kUntilClose,   // neither: the body ends when the server closes
    kUnsupported,  // a transfer coding other than chunked: unreadable
};

class HttpResponseHead {
public:
    using Record = std::pair<std::string, std::string>;

    // The longest head accepted; a head that has not ended by then is not one.
    static constexpr std::size_t kMaxHead = 64 * 1024;

    enum class Scan { kIncomplete, kComplete, kTooLong };
    // Looks for the end of a head at the start of `data` (after any empty
    // lines a server left in front of it). On kComplete *headLength is the
    // number of bytes of the head, its closing empty line included, and
    // *skipped the empty lines before it (both to be consumed).
    static Scan FindEnd(std::string_view data, std::size_t* headLength, std::size_t* skipped);

    // Parses a complete head (as FindEnd delimited it). False when the head
    // is unusable: no status line, a line that is no field (no colon, or a
    // name that is not a token: "Transfer-Encoding : chunked" with a space
    // before the colon, "en-US Content-Type: x"), or Content-Length values
    // that are not digits, overflow or disagree. Refusal() then says why.
    // A line that is no field cannot be skipped: the framing read without
    // it may not be the one the server meant (RFC 9112, 5.1).
    bool Parse(std::string_view head);
    // Why the last Parse refused the head ("" when it did not).
    const std::string& Refusal() const { return refusal_; }

    int StatusCode() const { return status_; }
    // 0 when the head announces none (or is chunked, which ignores it).
    std::int64_t ContentLength() const { return contentLength_; }
    HttpBodyFraming Framing() const { return framing_; }
    bool IsInterim() const { return status_ >= 100 && status_ < 200; }
    // The server asked to close after this response ("Connection: close").
    bool CloseRequested() const { return closeRequested_; }
    // The first record whose name begins with `name`, compared without
    // regard to letter case ("Location:" finds "location:").
    const Record* Find(std::string_view name) const;
    // The same record's value as it stood on the line (not percent-decoded):
    // what a redirect's Location must be resolved from, since decoding it
    // first would turn an escaped "/" or "%" into a different address.
    const std::string* FindUndecoded(std::string_view name) const;
    const std::vector<Record>& Records() const { return records_; }
    const std::string& Raw() const { return raw_; }

private:
    bool Refuse(std::string why);

    std::vector<Record> records_;
    std::vector<std::string> undecoded_;  // parallel to records_
    std::string raw_;
    int status_ = 0;
    std::int64_t contentLength_ = 0;
    HttpBodyFraming framing_ = HttpBodyFraming::kUntilClose;
    bool closeRequested_ = false;
    std::string refusal_;
};
