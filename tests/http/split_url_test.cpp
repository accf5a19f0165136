#include "http/split_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Split {
    bool ok = false;
    std::string host = "unset", path = "unset";
    std::uint16_t port = 7;
    int scheme = -1;
};

Split SplitOf(std::string_view url) {
    Split s;
    s.ok = SplitUrl(url, &s.host, &s.path, &s.port, &s.scheme);
    return s;
}

}  // namespace

TEST(SplitUrl, SchemeMatchesInAnyCaseAndGivesDefaultPort) {
    Split s = SplitOf("HTTP://Host.example/Dir/File.ZIP?a=B");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.scheme, kUrlSchemeHttp);
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(s.host, "Host.example");
    EXPECT_EQ(s.path, "/Dir/File.ZIP?a=B");

    s = SplitOf("https://h:8443");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.scheme, kUrlSchemeHttps);
    EXPECT_EQ(s.host, "h");
    EXPECT_EQ(s.port, 8443);
    EXPECT_EQ(s.path, "");
    EXPECT_EQ(SplitOf("hTtPs://h/a:b").port, 443);
    EXPECT_EQ(SplitOf("hTtPs://h/a:b").path, "/a:b");
}

TEST(SplitUrl, PortIsReadLikeAtoiAndKeptIn16Bits) {
    EXPECT_EQ(SplitOf("http://h:abc/x").port, 0);
    EXPECT_EQ(SplitOf("http://h:8080x/x").port, 8080);
    EXPECT_EQ(SplitOf("http://h:65616/x").port, 80);  // 65536 + 80
    EXPECT_EQ(SplitOf("http://h:99999999999999999999/").port, 0xFFFF);
    EXPECT_EQ(SplitOf("http://h:1:2/x").host, "h");
}

TEST(SplitUrl, RefusesOtherSchemesAndEmptyRemainderLeavingOutputsAlone) {
    for (std::string_view url :
         {"", "http://", "https://", "http:/h/x", "ftp://h/x", " http://h/"}) {
        Split s = SplitOf(url);
        EXPECT_FALSE(s.ok) << url;
        EXPECT_EQ(s.host + s.path, "unsetunset") << url;
        EXPECT_EQ(s.port, 7) << url;
        EXPECT_EQ(s.scheme, -1) << url;
    }
}
