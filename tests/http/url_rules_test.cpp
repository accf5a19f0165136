// Where a redirect leads, what a URL names its file, and what is never sent.
#include <gtest/gtest.h>

#include "http/resolve_location.h"
#include "http/split_url.h"
#include "http/url_file_name.h"

TEST(ResolveLocation, ResolvesEveryFormAsABrowserDoes) {
    const std::string base = "http://patch.example:8080/download/zk4/list.txt?v=1";
    struct Case {
        const char* location;
        const char* target;
    } cases[] = {
        {"https://cdn.example/real/list.txt", "https://cdn.example/real/list.txt"},
        {"HTTP://Other.example", "http://Other.example/"},
        {"//mirror.example/x.txt", "http://mirror.example/x.txt"},
        {"/real/list.txt", "http://patch.example:8080/real/list.txt"},
        {"list2.txt", "http://patch.example:8080/download/zk4/list2.txt"},
        {"../list3.txt", "http://patch.example:8080/download/list3.txt"},
        {"../../../../x", "http://patch.example:8080/x"},
        {"./a/./b/../c?q=2", "http://patch.example:8080/download/zk4/a/c?q=2"},
        {"?v=2", "http://patch.example:8080/download/zk4/list.txt?v=2"},
        {"/a b.txt#part", "http://patch.example:8080/a b.txt"},
        {"  /spaced.txt \t", "http://patch.example:8080/spaced.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveLocation(base, c.location), c.target) << c.location;
}

TEST(ResolveLocation, RefusesWhatIsNotAWebAddress) {
    std::string target;
    EXPECT_EQ(ResolveLocation("http://h/a", "", &target), LocationVerdict::kEmpty);
    EXPECT_EQ(ResolveLocation("http://h/a", "ftp://h/a", &target),
              LocationVerdict::kUnsupportedScheme);
    EXPECT_EQ(ResolveLocation("http://h/a", "file:///etc/passwd", &target),
              LocationVerdict::kUnsupportedScheme);
    EXPECT_EQ(ResolveLocation("http://h/a", "javascript:x", &target),
              LocationVerdict::kUnsupportedScheme);
    EXPECT_EQ(ResolveLocation("http://h/a", "http:///nohost", &target), LocationVerdict::kUnusable);
    // A port alone is no host, in the Location or in the URL it came from.
    EXPECT_EQ(ResolveLocation("http://h/a", "//:8080/x", &target), LocationVerdict::kUnusable);
    EXPECT_EQ(ResolveLocation("http://:80/a", "/b", &target), LocationVerdict::kUnusable);
    EXPECT_EQ(ResolveLocation("ftp://h/a", "/b", &target), LocationVerdict::kUnusable);
}

TEST(UrlFileName, IsTheDecodedLastSegmentWithoutQueryOrFragment) {
    EXPECT_EQ(FileNameOfUrlField("http://cdn.example/a/f.bin?sig=abc&exp=99"), "f.bin");
    EXPECT_EQ(FileNameOfUrlField("http://cdn.example/a/f.bin#frag"), "f.bin");
    EXPECT_EQ(FileNameOfUrlField("http://h/a/%E9%81%8A%20x.exe"), "\xE9\x81\x8A x.exe");
    EXPECT_EQ(FileNameOfUrlField("http://h/a/100%.txt"), "100%.txt");
    EXPECT_EQ(FileNameOfUrlField("http://a/x/one.bin | http://b/y/two.bin"), "two.bin");
    EXPECT_EQ(FileNameOfUrlField("http://host/dir/"), "");
    EXPECT_EQ(FileNameOfUrlField("http://host"), "");
    EXPECT_EQ(FileNameOfUrlField("http://host?a/b"), "");
}

TEST(UrlFileName, UnusableNamesAreRecognised) {
    EXPECT_EQ(CheckFileName("setup.exe"), FileNameProblem::kNone);
    EXPECT_EQ(CheckFileName(""), FileNameProblem::kEmpty);
    EXPECT_EQ(CheckFileName("."), FileNameProblem::kDotName);
    EXPECT_EQ(CheckFileName(".."), FileNameProblem::kDotName);
    EXPECT_EQ(CheckFileName("a/b"), FileNameProblem::kSeparator);
    EXPECT_EQ(CheckFileName("a\\b"), FileNameProblem::kSeparator);
    EXPECT_EQ(CheckFileName(std::string("\0x", 2)), FileNameProblem::kControl);
    EXPECT_EQ(CheckFileName("x\x1b[2J"), FileNameProblem::kControl);
    EXPECT_EQ(CheckFileName("x\x7f"), FileNameProblem::kControl);
}

TEST(SplitUrl, NeverCarriesAFragment) {
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
    ASSERT_TRUE(SplitUrl("http://h.example:81/a/b.bin?x=1#frag", &host, &path, &port, &scheme));
    EXPECT_EQ(host, "h.example");
    EXPECT_EQ(path, "/a/b.bin?x=1");
    ASSERT_TRUE(SplitUrl("http://h.example#frag", &host, &path, &port, &scheme));
    EXPECT_EQ(host, "h.example");
    EXPECT_EQ(path, "");
}
