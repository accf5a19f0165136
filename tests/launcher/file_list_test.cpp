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

TEST(ParseFileListBytes, DropsAByteOrderMarkInFrontOfTheFirstLine) {
    EXPECT_EQ(ParseFileListBytes("\xEF\xBB\xBFhttp://a/1\r\nhttp://a/2").urls,
              (Urls{u"http://a/1", u"http://a/2"}));
    EXPECT_EQ(ParseFileListBytes("\xEF\xBB\xBFhttp://a/1").lines, (std::vector<std::size_t>{1}));
}

namespace {
FileListParse Validated(const std::string& bytes) {
    FileListParse parse = ParseFileListBytes(bytes);
    ValidateFileList(&parse);
    return parse;
}
}  // namespace

TEST(ValidateFileList, TheSameUrlTwiceIsOneFile) {
    FileListParse parse = Validated("http://a/x.bin\nhttp://a/y.bin\nhttp://a/x.bin\n");
    EXPECT_FALSE(parse.problem);
    EXPECT_EQ(parse.urls, (Urls{u"http://a/x.bin", u"http://a/y.bin"}));
}

TEST(ValidateFileList, RefusesTheFirstLineWhoseNameIsUnusableOrTaken) {
    struct Case {
        std::string list;
        std::size_t line;
        std::string reason;
    } cases[] = {
        {"http://x/data.bin\n\nhttp://y/data.bin\n", 3, "also that of line 1"},
        {"http://x/Data.bin\nhttp://y/DATA.BIN\n", 2, "also that of line 1"},
        {"http://x/a.bin\nhttp://host/dir/\n", 2, "no file name"},
        {"http://x/%00a.bin\n", 1, "control character"},
        {"http://x/a%1B[2Jb.bin\n", 1, "control character"},
        {"http://x/..\n", 1, "a folder"},
        {"http://x/a%2Fb.bin\n", 1, "path separator"},
    };
    for (const Case& c : cases) {
        FileListParse parse = Validated(c.list);
        ASSERT_TRUE(parse.problem) << c.list;
        EXPECT_EQ(parse.problem->line, c.line) << c.list;
        EXPECT_NE(parse.problem->reason.find(c.reason), std::string::npos) << parse.problem->reason;
    }
    // A signed address and a fragment name the file without them.
    EXPECT_FALSE(Validated("http://cdn/f.bin?sig=abc&exp=99\nhttp://cdn/g.bin#x\n").problem);
}

TEST(FileNameOfUrl, IsTheStoredNameWithoutQueryAndDecoded) {
    EXPECT_EQ(FileNameOfUrl(u"http://cdn/f.bin?sig=abc&exp=99"), u"f.bin");
    EXPECT_EQ(FileNameOfUrl(u"http://cdn/a%20b.exe#frag"), u"a b.exe");
}
