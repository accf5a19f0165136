#include "launcher/file_list.h"

#include <gtest/gtest.h>

namespace {
using Urls = std::vector<std::u16string>;
}

TEST(ParseFileListBytes, SplitsAtCrLfAndLoneLfButNotLoneCr) {
    EXPECT_EQ(ParseFileListBytes("http://a/1\r\nhttp://a/2\r\nhttp://a/3").urls,
              (Urls{u"http://a/1", u"http://a/2", u"http://a/3"}));
    EXPECT_EQ(ParseFileListBytes("http://a/1\nhttp://a/2\nhttp://a/3").urls,
              (Urls{u"http://a/1", u"http://a/2", u"http://a/3"}));
    EXPECT_EQ(ParseFileListBytes("http://a/1\rhttp://a/2\n").urls,
              (Urls{u"http://a/1\rhttp://a/2"}));
}

TEST(ParseFileListBytes, SkipsEmptyAndBlankLinesAndTrims) {
    EXPECT_EQ(ParseFileListBytes("http://a/1\n\n\r\n \t \nhttp://a/2\n").urls,
              (Urls{u"http://a/1", u"http://a/2"}));
    EXPECT_EQ(ParseFileListBytes("  http://a/1\t\r\n").urls, (Urls{u"http://a/1"}));
}

TEST(ParseFileListBytes, DropsOnlyAShortRemainderAfterTheLastBreak) {
    EXPECT_EQ(ParseFileListBytes("http://a/1\nab").urls, (Urls{u"http://a/1"}));
    EXPECT_EQ(ParseFileListBytes("http://a/1\nx").urls, (Urls{u"http://a/1"}));
    EXPECT_EQ(ParseFileListBytes("http://a/1\nabc").urls, (Urls{u"http://a/1", u"abc"}));
    EXPECT_TRUE(ParseFileListBytes("").urls.empty());
}

TEST(ParseFileListBytes, LinesReachingTheLimitStopTheParse) {
    const std::string longest(1023, 'x');
    FileListParse ok = ParseFileListBytes(longest + "\r\n");
    EXPECT_FALSE(ok.overlongLine);
    ASSERT_EQ(ok.urls.size(), 1u);
    EXPECT_EQ(ok.urls[0].size(), 1023u);
    FileListParse bad =
        ParseFileListBytes("http://a/1\n" + std::string(1024, 'x') + "\nhttp://a/3\n");
    EXPECT_TRUE(bad.overlongLine);
    EXPECT_EQ(bad.urls, (Urls{u"http://a/1"}));
    EXPECT_TRUE(ParseFileListBytes(std::string(1024, 'x')).overlongLine);
}

TEST(ParseFileListBytes, ConvertsUtf8Text) {
    EXPECT_EQ(ParseFileListBytes("http://a/遊戲.exe\n").urls, (Urls{u"http://a/遊戲.exe"}));
}

TEST(FileNameOfUrl, IsTheTextAfterTheLastSlash) {
    EXPECT_EQ(FileNameOfUrl(u"http://a/b/setup.exe"), u"setup.exe");
    EXPECT_EQ(FileNameOfUrl(u"http://a/b/"), u"");
    EXPECT_EQ(FileNameOfUrl(u"noslash"), u"");
}

TEST(PathOfFileEventText, CutsAfterTheKnownUrlElseTheFirstComma) {
    const FileUrlSet urls{u"http://a/x,y/s.exe", u"http://a/x"};
    EXPECT_EQ(PathOfFileEventText(u"http://a/x,y/s.exe,/f/s.exe", urls), u"/f/s.exe");
    EXPECT_EQ(PathOfFileEventText(u"http://a/x,/f/x", urls), u"/f/x");
    EXPECT_EQ(PathOfFileEventText(u"http://other/z,/f/z,1", urls), u"/f/z,1");
    EXPECT_EQ(PathOfFileEventText(u"/f/plain", urls), u"/f/plain");
}

TEST(IsInstallerFile, OneFileListTakesAnythingOtherwiseExeInAnyCase) {
    EXPECT_TRUE(IsInstallerFile(u"/f/readme.txt", 1));
    EXPECT_TRUE(IsInstallerFile(u"", 1));
    EXPECT_TRUE(IsInstallerFile(u"/f/Setup.ExE", 2));
    EXPECT_FALSE(IsInstallerFile(u"/f/setup.exe.txt", 2));
    EXPECT_FALSE(IsInstallerFile(u"/f.exe/setup", 2));
    EXPECT_FALSE(IsInstallerFile(u"", 3));
}
