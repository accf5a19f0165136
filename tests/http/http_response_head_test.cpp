// The response head as RFC 9112 lets a recipient read it, and the chunked
// body reader: pure parsing, no connection.
#include "http/http_response_head.h"

#include <gtest/gtest.h>

#include "http/chunked_body_reader.h"

namespace {

HttpResponseHead Parsed(const std::string& head) {
    HttpResponseHead parsed;
    EXPECT_TRUE(parsed.Parse(head)) << head;
    return parsed;
}

std::string ValueOf(const HttpResponseHead& head, const std::string& name) {
    const HttpResponseHead::Record* record = head.Find(name);
    return record ? record->second : "(none)";
}

}  // namespace

TEST(HttpResponseHead, EndIsAnEmptyLineWhateverTheLineEnds) {
    std::size_t length = 0, skipped = 0;
    EXPECT_EQ(HttpResponseHead::FindEnd("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody", &length, &skipped),
              HttpResponseHead::Scan::kComplete);
    EXPECT_EQ(length, 25u);
    EXPECT_EQ(HttpResponseHead::FindEnd("HTTP/1.1 200 OK\nA: 1\n\nbody", &length, &skipped),
              HttpResponseHead::Scan::kComplete);
    EXPECT_EQ(length, 22u);
    EXPECT_EQ(HttpResponseHead::FindEnd("HTTP/1.1 200 OK\r\nA: 1\n\r\nb", &length, &skipped),
              HttpResponseHead::Scan::kComplete);
    EXPECT_EQ(length, 24u);
    // Stray line ends before the status line are skipped, not taken for the end.
    EXPECT_EQ(HttpResponseHead::FindEnd("\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", &length, &skipped),
              HttpResponseHead::Scan::kComplete);
    EXPECT_EQ(skipped, 4u);
    EXPECT_EQ(length, 19u);
    EXPECT_EQ(HttpResponseHead::FindEnd("HTTP/1.1 200 OK\r\nA: 1\r\n", &length, &skipped),
              HttpResponseHead::Scan::kIncomplete);
    EXPECT_EQ(HttpResponseHead::FindEnd("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a'), &length,
                                        &skipped),
              HttpResponseHead::Scan::kTooLong);
}

TEST(HttpResponseHead, FieldsTakeAnyWhiteSpaceAfterTheColonAndAnyLetterCase) {
    for (std::string line :
         {"Content-Length:300000", "Content-Length: 300000", "Content-Length:\t300000",
          "content-LENGTH:  300000  ", "Content-Length: \t 300000\t"}) {
        HttpResponseHead head = Parsed("HTTP/1.1 200 OK\r\n" + line + "\r\n\r\n");
        EXPECT_EQ(head.ContentLength(), 300000) << line;
        EXPECT_EQ(head.Framing(), HttpBodyFraming::kLength) << line;
    }
    HttpResponseHead head = Parsed("HTTP/1.1 302 Found\nLocation:/real/list.txt\nX-A: a%20b\n\n");
    EXPECT_EQ(head.StatusCode(), 302);
    EXPECT_EQ(ValueOf(head, "Location:"), "/real/list.txt");
    EXPECT_EQ(ValueOf(head, "x-a"), "a b");           // values are percent-decoded
    EXPECT_EQ(*head.FindUndecoded("X-A:"), "a%20b");  // unless asked for as sent
    EXPECT_EQ(head.Records().front().first, "HTTP/1.1");
    // A folded line continues its field.
    head = Parsed("HTTP/1.1 200 OK\r\nX-F: one\r\n two\r\n\r\n");
    EXPECT_EQ(ValueOf(head, "X-F:"), "one two");
}

TEST(HttpResponseHead, ALineThatIsNoFieldRefusesTheHead) {
    // Read without the line, the framing may not be the one the server
    // meant: "Transfer-Encoding : chunked" beside a Content-Length would
    // store the chunk framing as the file.
    for (std::string bad : {"Transfer-Encoding : chunked", "en-US Content-Type: text/plain",
                            "nonsense", ": no name", "Content-L\ren: 1", "X\x01Y: 2"}) {
        HttpResponseHead head;
        EXPECT_FALSE(head.Parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + bad + "\r\n\r\n"))
            << bad;
        // The reason shows the line, control characters escaped.
        const bool control = bad.find_first_of("\r\x01") != std::string::npos;
        EXPECT_NE(head.Refusal().find(control ? std::string("\\x") : bad), std::string::npos)
            << head.Refusal();
    }
}

TEST(HttpResponseHead, LengthsMustBeDigitsThatFitAndAgree) {
    HttpResponseHead head;
    for (std::string bad :
         {"Content-Length: 99999999999999999999999", "Content-Length: 5\r\nContent-Length: 6",
          "Content-Length: -1", "Content-Length: 12abc", "Content-Length: 1 2",
          // Read as sent: an escape or a NUL is not a digit.
          "Content-Length: %35"})
        EXPECT_FALSE(head.Parse("HTTP/1.1 200 OK\r\n" + bad + "\r\n\r\n")) << bad;
    EXPECT_FALSE(head.Parse(std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\0 000\r\n\r\n", 44)));
    EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: %63hunked\r\n\r\n").Framing(),
              HttpBodyFraming::kUnsupported);
    EXPECT_TRUE(head.Parse("HTTP/1.1 200 OK\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\n"));
    EXPECT_EQ(head.ContentLength(), 3);
    EXPECT_FALSE(head.Parse("HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(head.Parse("SMTP 220 ready\r\n\r\n"));
}

TEST(HttpResponseHead, FramingFollowsTheTransferCodingThenTheLength) {
    EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n").Framing(),
              HttpBodyFraming::kChunked);
    // Chunked wins over a length, and such a server is not trusted with reuse.
    HttpResponseHead both =
        Parsed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: gzip, chunked\r\n\r\n");
    EXPECT_EQ(both.Framing(), HttpBodyFraming::kChunked);
    EXPECT_EQ(both.ContentLength(), 0);
    EXPECT_TRUE(both.CloseRequested());
    EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n").Framing(),
              HttpBodyFraming::kUnsupported);
    EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\n\r\n").Framing(), HttpBodyFraming::kUntilClose);
    EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").Framing(),
              HttpBodyFraming::kNone);
    EXPECT_EQ(Parsed("HTTP/1.1 204 No Content\r\n\r\n").Framing(), HttpBodyFraming::kNone);
    EXPECT_TRUE(Parsed("HTTP/1.1 100 Continue\r\n\r\n").IsInterim());
    EXPECT_TRUE(
        Parsed("HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\n\r\n").CloseRequested());
    EXPECT_TRUE(Parsed("HTTP/1.0 200 OK\r\n\r\n").CloseRequested());
    EXPECT_FALSE(Parsed("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n").CloseRequested());
}

namespace {

// Feeds `body` to a reader in pieces of `piece` bytes, as reads would
// arrive, keeping what the reader did not use; returns the data.
std::string ReadChunked(const std::string& body, std::size_t piece,
                        ChunkedBodyReader::Result* last) {
    ChunkedBodyReader reader;
    std::string buffered, data;
    auto sink = [&](std::string_view bytes) {
        data.append(bytes);
        return bytes.size();
    };
    *last = ChunkedBodyReader::Result::kNeedMore;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        buffered.append(body.substr(at, piece));
        std::size_t used = 0;
        *last = reader.Read(buffered, sink, &used);
        buffered.erase(0, used);
        if (*last == ChunkedBodyReader::Result::kDone ||
            *last == ChunkedBodyReader::Result::kMalformed)
            break;
    }
    return data;
}

}  // namespace

TEST(ChunkedBodyReader, DecodesAcrossEveryReadBoundary) {
    const std::string body =
        "5\r\nhttp:\r\n1B;ext=1\r\n//files.example/a/data.bin\n\r\n0\r\nTrailer: x\r\n\r\n";
    for (std::size_t piece = 1; piece <= body.size(); ++piece) {
        ChunkedBodyReader::Result last;
        EXPECT_EQ(ReadChunked(body, piece, &last), "http://files.example/a/data.bin\n") << piece;
        EXPECT_EQ(last, ChunkedBodyReader::Result::kDone) << piece;
    }
}

TEST(ChunkedBodyReader, RefusesWhatIsNotAChunkedBody) {
    for (std::string bad :
         {std::string("zz\r\nab\r\n0\r\n\r\n"), std::string("2\r\nabX\r\n0\r\n\r\n"),
          std::string("1000000000000000\r\n"), std::string(2000, '1'),
          "0\r\n" + std::string(20000, 'T') + "\r\n\r\n"}) {
        ChunkedBodyReader::Result last;
        (void)ReadChunked(bad, 4096, &last);
        EXPECT_EQ(last, ChunkedBodyReader::Result::kMalformed) << bad.substr(0, 30);
    }
}

TEST(ChunkedBodyReader, ASinkThatTakesLessStopsAndResumesWhereItStopped) {
    ChunkedBodyReader reader;
    std::string data;
    std::string buffered = "6\r\nabcdef\r\n0\r\n\r\n";
    std::size_t allowance = 2;
    auto sink = [&](std::string_view bytes) {
        std::size_t take = std::min(allowance, bytes.size());
        data.append(bytes.substr(0, take));
        return take;
    };
    std::size_t used = 0;
    EXPECT_EQ(reader.Read(buffered, sink, &used), ChunkedBodyReader::Result::kBlocked);
    EXPECT_EQ(used, 5u);  // the size line and two bytes
    buffered.erase(0, used);
    allowance = 100;
    EXPECT_EQ(reader.Read(buffered, sink, &used), ChunkedBodyReader::Result::kDone);
    EXPECT_EQ(data, "abcdef");
    EXPECT_EQ(reader.DataBytes(), 6);
}
