#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/http_get_header_builder.h"
#include "http/http_post_header_builder.h"
#include "http/http_request_draft.h"
#include "server_hosts.h"

namespace {

const std::string kReferer = std::string("Referer: http://") + kBuildPeerServiceServer + "/\r\n";
// The boundary for first draw 0x1234 and second draw 0xABCDEF.
const std::string kBoundary = "---------------------------00ABCDEF00001234";

std::string Built(nwCHttpRequestHeaderBuilder& builder) {
    std::string request = "stale";
    builder.Build(&request);
    return request;
}

std::string RequestLine(std::string_view path) {
    nwCHttpGETHeaderBuilder builder;
    builder.SetHeader("GET", path);
    std::string request = Built(builder);
    return request.substr(0, request.find("\r\n"));
}

}  // namespace

TEST(HttpGetBuilder, RangedRequestIsByteExact) {
    // In the order the client layer sets them: Host, the caller's Range, the path.
    nwCHttpRequestDraft draft;
    draft.SetHeader("Host", "h");
    draft.SetHeader("Range", "bytes=100-");
    draft.SetHeader("GET", "/dir/f.zip");
    std::unique_ptr<nwCHttpRequestHeaderBuilder> builder = draft.MakeBuilder(kHttpBuilderGet);
    ASSERT_TRUE(builder);
    EXPECT_EQ(Built(*builder),
              "GET /dir/f.zip HTTP/1.1\r\nAccept: */*\r\n" + kReferer +
                  "Accept-Language: ko\r\nUser-Agent: HalvikClient\r\n"
                  "Range: bytes=100-\r\nHost: h\r\nConnection: Keep-Alive\r\n\r\n");
}

TEST(HttpGetBuilder, TargetIsUtf8EncodedPieceByPieceWithQueryAsParameters) {
    EXPECT_EQ(RequestLine("/dir//a b.zip/"), "GET /dir/a%20b.zip HTTP/1.1");
    EXPECT_EQ(RequestLine(""), "GET / HTTP/1.1");
    EXPECT_EQ(RequestLine("///"), "GET / HTTP/1.1");
    // An escape the URL already holds goes out as it is; a lone "%" does not.
    EXPECT_EQ(RequestLine("/a%20b"), "GET /a%20b HTTP/1.1");
    EXPECT_EQ(RequestLine("/a%2g%"), "GET /a%252g%25 HTTP/1.1");
    EXPECT_EQ(RequestLine("/f.bin?sig=a%2Bb&exp=9"), "GET /f.bin?sig=a%2Bb&exp=9 HTTP/1.1");
    EXPECT_EQ(RequestLine("/g/\xEB\x8B\xA4 1.zip"), "GET /g/%EB%8B%A4%201.zip HTTP/1.1");
    EXPECT_EQ(RequestLine("/f.zip?a=1&b"), "GET /f.zip?a=1 HTTP/1.1");
    EXPECT_EQ(RequestLine("/f?x=a b&&=v&y=&z=1=2"), "GET /f?x=a%20b&=v&y=&z=1%3D2 HTTP/1.1");
    // A repeated name in other case keeps the first one's place and name.
    EXPECT_EQ(RequestLine("?A=1&b=2&a=3"), "GET /?A=3&b=2 HTTP/1.1");
}

TEST(HttpGetBuilder, CallerHeadersReplaceDefaultsInPlaceAndTheRestFollowEncoded) {
    nwCHttpGETHeaderBuilder builder;
    builder.SetHeader("X-Note", "a b");
    builder.SetHeader("Cookie", "k=v; x=y");
    builder.SetHeader("cookie2", "k=v");
    builder.SetHeader("accept", "text/plain");  // names match in any case
    builder.SetHeader("GET", "/f");
    builder.SetHeader("Connection", "close");
    builder.SetHeader("X-Note", "c/d");
    EXPECT_EQ(Built(builder), "GET /f HTTP/1.1\r\nAccept: text/plain\r\n" + kReferer +
                                  "Accept-Language: ko\r\nUser-Agent: HalvikClient\r\n"
                                  "Connection: close\r\nX-Note: c%2Fd\r\nCookie: k=v; x=y\r\n"
                                  "cookie2: k%3Dv\r\n\r\n");
}

TEST(HttpPostBuilder, UploadHeadIsByteExactAndDeclaresTwoBytesLessThanSent) {
    nwCHttpPOSTHeaderBuilder builder(0x1234, 0xABCDEF);
    builder.SetHeader("Host", "up.example");
    builder.SetHeader("POST", "/put?job=7");
    builder.SetHeader("X-Id", "1 2");
    builder.SetBodyLength(100);
    std::string request = Built(builder);
    EXPECT_EQ(
        request,
        "POST /put?job=7 HTTP/1.1\r\nAccept: */*\r\n" + kReferer +
            "Accept-Language: ko\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
            "\r\nUser-Agent: HalvikClient\r\nHost: up.example\r\nContent-Length: 306\r\n"
            "Connection: Keep-Alive\r\nX-Id: 1%202\r\n\r\n--" +
            kBoundary +
            "\r\nContent-Disposition: form-data; name=attach_file; filename=unknown\r\n"
            "Content-Type: application/octet-stream\r\n\r\n");
    std::string trailer;
    builder.BuildTrailer(&trailer);
    EXPECT_EQ(trailer, "\r\n--" + kBoundary + "--\r\n");
    std::size_t afterHead = request.size() - (request.find("\r\n\r\n") + 4);
    EXPECT_EQ(afterHead + 100 + trailer.size(), 306u + 2);
}

TEST(HttpPostBuilder, EmptyBodyHasBareBoundaryAndNoContentLength) {
    nwCHttpPOSTHeaderBuilder builder(0x1234, 0xABCDEF);
    std::string request = Built(builder);
    EXPECT_EQ(request.rfind("POST / HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(request.find("Content-Length"), std::string::npos);
    EXPECT_TRUE(request.ends_with("Keep-Alive\r\n\r\n--" + kBoundary + "\r\n\r\n")) << request;

    nwCHttpPOSTHeaderBuilder huge(1, 2);
    huge.SetBodyLength(INT64_MAX - 10);
    EXPECT_NE(Built(huge).find("Content-Length: 9223372036854775807\r\n"), std::string::npos);
}

TEST(HttpBuilderFactory, MakesGetForOnePostForTwoNothingElse) {
    auto get = nwCHttpRequestHeaderBuilder::Create(kHttpBuilderGet);
    auto post = nwCHttpRequestHeaderBuilder::Create(kHttpBuilderPost);
    ASSERT_TRUE(get && post);
    EXPECT_EQ(Built(*get).rfind("GET / ", 0), 0u);
    EXPECT_EQ(Built(*post).rfind("POST / ", 0), 0u);
    EXPECT_FALSE(nwCHttpRequestHeaderBuilder::Create(3));
    std::string trailer = "stale";
    get->BuildTrailer(&trailer);
    EXPECT_EQ(trailer, "");

    const std::string& b = static_cast<nwCHttpPOSTHeaderBuilder&>(*post).Boundary();
    ASSERT_EQ(b.size(), 43u);
    EXPECT_EQ(b.find_first_not_of('-'), 27u);
    EXPECT_EQ(b.find_first_not_of("0123456789ABCDEF", 27), std::string::npos) << b;
}
