// The response head parser (http/http_response_head.h) and the chunked body
// reader (http/chunked_body_reader.h) on their own, without a layer.
//
// The head: FindEnd delimits it within the stream and Parse reads it; the
// checks are the promises of the header: a head ends with its empty line
// and stays within kMaxHead, the status is three digits, a length framing
// carries the Content-Length the head names, and reading the parsed head
// again gives the same fields.
//
// The body: the bytes after the head (or the whole stream, settings bit 0)
// go to a chunked reader in the fuzzer's reads, with a sink that takes at
// most a few bytes at a time (bits 1-2: all, 1, 5, 100), and again in one
// read; both must decode the same data to the same end, using no byte that
// was not given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/read_script.h"
#include "http/chunked_body_reader.h"
#include "http/http_response_head.h"

namespace {

struct Decoded {
    std::string data;
    ChunkedBodyReader::Result last = ChunkedBodyReader::Result::kNeedMore;
    bool operator==(const Decoded&) const = default;
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NamedNoCase(const std::string& name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (Lower(name[i]) != wanted[i]) return false;
    return true;
}

void CheckHead(std::string_view stream) {
    std::size_t length = 0, skipped = 0;
    const HttpResponseHead::Scan scan = HttpResponseHead::FindEnd(stream, &length, &skipped);
    if (scan != HttpResponseHead::Scan::kComplete) {
        if (scan == HttpResponseHead::Scan::kTooLong)
            FUZZ_CHECK(stream.size() > HttpResponseHead::kMaxHead);
        return;
    }
    FUZZ_CHECK(skipped + length <= stream.size());
    FUZZ_CHECK(length <= HttpResponseHead::kMaxHead);
    const std::string_view head = stream.substr(skipped, length);
    FUZZ_CHECK(head.size() >= 2 && head.back() == '\n');
    FUZZ_CHECK(
        head[head.size() - 2] == '\n' ||
        (head.size() >= 3 && head[head.size() - 2] == '\r' && head[head.size() - 3] == '\n'));
    // Nothing but line ends was skipped.
    for (char c : stream.substr(0, skipped)) FUZZ_CHECK(c == '\r' || c == '\n');

    HttpResponseHead parsed;
    if (!parsed.Parse(head)) return;
    FUZZ_CHECK(parsed.Raw() == head);
    FUZZ_CHECK(!parsed.Records().empty());
    FUZZ_CHECK(parsed.Records().front().first.compare(0, 5, "HTTP/") == 0);
    FUZZ_CHECK(parsed.StatusCode() >= 0 && parsed.StatusCode() <= 999);
    FUZZ_CHECK(parsed.ContentLength() >= 0);
    switch (parsed.Framing()) {
        case HttpBodyFraming::kLength:
            FUZZ_CHECK(parsed.ContentLength() > 0);
            break;
        case HttpBodyFraming::kNone:
        case HttpBodyFraming::kChunked:
        case HttpBodyFraming::kUntilClose:
        case HttpBodyFraming::kUnsupported:
            FUZZ_CHECK(parsed.ContentLength() == 0);
            break;
    }
    for (std::size_t i = 1; i < parsed.Records().size(); ++i) {
        const HttpResponseHead::Record& record = parsed.Records()[i];
        FUZZ_CHECK(!record.first.empty() && record.first.back() == ':');
        FUZZ_CHECK(record.first.find_first_of(" \t\r\n") == std::string::npos);
        // Every field can be found by its own name (the first of that name).
        const HttpResponseHead::Record* found = parsed.Find(record.first);
        FUZZ_CHECK(found != nullptr && found <= &record);
        FUZZ_CHECK(parsed.FindUndecoded(record.first) != nullptr);
        if (parsed.Framing() == HttpBodyFraming::kLength &&
            NamedNoCase(record.first, "content-length:")) {
            // What the head says is the length in use, as sent.
            const std::string* sent = parsed.FindUndecoded(record.first);
            std::int64_t value = 0;
            const std::string& digits = found == &record ? *sent : record.second;
            FUZZ_CHECK(!digits.empty());
            for (char c : digits) {
                FUZZ_CHECK(c >= '0' && c <= '9');
                FUZZ_CHECK(value <= (INT64_MAX - (c - '0')) / 10);
                value = value * 10 + (c - '0');
            }
            FUZZ_CHECK(value == parsed.ContentLength());
        }
    }
    // The parsed head read again is the same head.
    HttpResponseHead again;
    FUZZ_CHECK(again.Parse(parsed.Raw()));
    FUZZ_CHECK(again.Records() == parsed.Records());
    FUZZ_CHECK(again.Framing() == parsed.Framing());
    FUZZ_CHECK(again.ContentLength() == parsed.ContentLength());
    FUZZ_CHECK(again.CloseRequested() == parsed.CloseRequested());
}

// Feeds the reads as the layer does: what the reader leaves stays buffered
// and comes again with the next read in front of it.
Decoded Decode(const std::vector<std::string_view>& reads, std::size_t takeAtMost) {
    Decoded out;
    ChunkedBodyReader reader;
    std::string buffered;
    auto sink = [&](std::string_view piece) -> std::size_t {
        FUZZ_CHECK(!piece.empty());
        const std::size_t take =
            takeAtMost == 0 ? piece.size() : std::min(piece.size(), takeAtMost);
        out.data.append(piece.substr(0, take));
        return take;
    };
    for (std::string_view read : reads) {
        buffered.append(read);
        for (;;) {
            std::size_t used = 0;
            out.last = reader.Read(buffered, sink, &used);
            if (out.last == ChunkedBodyReader::Result::kMalformed) {
                FUZZ_CHECK(!reader.Done());
                return out;
            }
            FUZZ_CHECK(used <= buffered.size());
            buffered.erase(0, used);
            FUZZ_CHECK(reader.DataBytes() == static_cast<std::int64_t>(out.data.size()));
            if (out.last == ChunkedBodyReader::Result::kDone) {
                FUZZ_CHECK(reader.Done());
                return out;
            }
            // A blocked sink is asked again, as the dispatcher does while
            // its handler consumes; needing more waits for the next read.
            if (out.last == ChunkedBodyReader::Result::kNeedMore || used == 0) break;
        }
        // What is left unused is bounded: a size line, a trailer line, or a
        // line end after data, never a growing heap.
        FUZZ_CHECK(buffered.size() <= ChunkedBodyReader::kMaxTrailers + 1);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzReadScript script(data, size);
    const std::string_view stream = script.Stream();
    CheckHead(stream);

    std::size_t bodyStart = 0;
    if (!(script.Settings() & 1)) {
        std::size_t length = 0, skipped = 0;
        if (HttpResponseHead::FindEnd(stream, &length, &skipped) !=
            HttpResponseHead::Scan::kComplete)
            return 0;
        bodyStart = skipped + length;
    }
    static constexpr std::size_t kTakes[] = {0, 1, 5, 100};
    const std::size_t takeAtMost = kTakes[(script.Settings() >> 1) & 3];
    // The reads, from where the body starts.
    std::vector<std::string_view> reads;
    std::size_t offset = 0;
    for (std::string_view read : script.Reads()) {
        const std::size_t end = offset + read.size();
        if (end > bodyStart) {
            const std::size_t skip = offset < bodyStart ? bodyStart - offset : 0;
            reads.push_back(read.substr(skip));
        }
        offset = end;
    }
    const Decoded cut = Decode(reads, takeAtMost);
    std::vector<std::string_view> whole;
    if (bodyStart < stream.size()) whole.push_back(stream.substr(bodyStart));
    const Decoded once = Decode(whole, 0);
    FUZZ_CHECK(cut == once);
    return 0;
}
