#include "http/http_request_draft.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string BuiltGet(const nwCHttpRequestDraft& draft) {
    std::string request;
    draft.MakeBuilder(kHttpBuilderGet)->Build(&request);
    return request;
}

}  // namespace

TEST(HttpRequestDraft, AGivenNameReplacesTheFirstStoredNameItBegins) {
    nwCHttpRequestDraft draft;
    draft.SetHeader("Accept-Language", "en");
    draft.SetHeader("Accept", "text/html");
    ASSERT_EQ(draft.Headers().size(), 1u);
    EXPECT_EQ(draft.Headers()[0].name, "Accept-Language");
    std::string request = BuiltGet(draft);
    EXPECT_NE(request.find("\r\nAccept: */*\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nAccept-Language: text/html\r\n"), std::string::npos);

    // Byte for byte here; the builder then merges names that differ in case.
    draft.SetHeader("Host", "a");
    draft.SetHeader("host", "b");
    EXPECT_EQ(draft.Headers().size(), 3u);
    EXPECT_NE(BuiltGet(draft).find("\r\nHost: b\r\nConnection"), std::string::npos);
    EXPECT_FALSE(draft.SetHeader("", "c"));
    EXPECT_FALSE(draft.SetParameter("", "c"));
}

TEST(HttpRequestDraft, QueryParametersComeFirstAndStoredOnesReplaceThem) {
    nwCHttpRequestDraft draft;
    draft.SetParameter("a", "x y");
    draft.SetParameter("n", "5");
    draft.SetHeader("GET", "/f?c=3&a=1");
    draft.SetBodyLength(42);
    std::string request = BuiltGet(draft);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET /f?c=3&a=x%20y&n=5 HTTP/1.1");
    EXPECT_EQ(draft.MakeBuilder(kHttpBuilderPost)->BodyLength(), 42);
    EXPECT_FALSE(draft.MakeBuilder(5));
}
