#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_handle.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tests/support/temp_folder.h"

TEST(NormalizeFolder, UsesNativeSeparatorsAndEndsWithExactlyOne) {
    EXPECT_EQ(plat::NormalizeFolder("C:\\Games\\ZK4"), "C:/Games/ZK4/");
    EXPECT_EQ(plat::NormalizeFolder("/home/a/b"), "/home/a/b/");
    EXPECT_EQ(plat::NormalizeFolder("/home/a/b///"), "/home/a/b/");
    EXPECT_EQ(plat::NormalizeFolder("/home\\a/"), "/home/a/");
    EXPECT_EQ(plat::NormalizeFolder("/"), "/");
    EXPECT_EQ(plat::NormalizeFolder(""), "");
}

TEST(Files, EnsureFolderPathCreatesOnlyComponentsFollowedByASeparator) {
    TempFolder dir;
    EXPECT_EQ(plat::EnsureFolderPath(""), 0);
    EXPECT_EQ(plat::EnsureFolderPath(dir.Path()), 1);
    EXPECT_EQ(plat::EnsureFolderPath(dir.Path() + "x/y/last"), 1);
    EXPECT_TRUE(plat::IsFolder(dir.Path() + "x/y"));
    EXPECT_FALSE(plat::PathExists(dir.Path() + "x/y/last"));
}

TEST(Files, AppendTruncateAndRead) {
    TempFolder dir;
    std::string file = dir.Path() + "f.txt";
    EXPECT_TRUE(plat::AppendToFile(file, "ab"));
    EXPECT_TRUE(plat::AppendToFile(file, "cd"));
    std::string content;
    ASSERT_TRUE(plat::ReadWholeFile(file, &content));
    EXPECT_EQ(content, "abcd");
    EXPECT_TRUE(plat::TruncateFile(file));
    ASSERT_TRUE(plat::ReadWholeFile(file, &content));
    EXPECT_EQ(content, "");
    EXPECT_FALSE(plat::AppendToFile(dir.Path() + "missing/f.txt", "x"));
}

TEST(Files, OpenKeepTellsWhetherItMadeTheFileAndWhetherItWasChangedSince) {
    TempFolder dir;
    const std::string path = dir.Path() + "f.bin";
    plat::File made;
    ASSERT_TRUE(made.OpenKeep(path));
    EXPECT_TRUE(made.CreatedByOpen());
    EXPECT_EQ(made.LengthAtOpen(), 0);
    ASSERT_TRUE(made.Append("abc", 3));
    EXPECT_FALSE(made.StillAsOpened());  // it grew
    made.Close();

    plat::File found;
    ASSERT_TRUE(found.OpenKeep(path));
    EXPECT_FALSE(found.CreatedByOpen());
    EXPECT_EQ(found.LengthAtOpen(), 3);
    EXPECT_TRUE(found.StillAsOpened());
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_FALSE(found.StillAsOpened());  // no name any more
    // Moved, the open file goes with it.
    plat::File moved = std::move(found);
    EXPECT_FALSE(found.IsOpen());
    EXPECT_TRUE(moved.IsOpen());

    plat::File none;
    EXPECT_FALSE(none.OpenKeep(dir.Path() + "missing/f.bin"));
    EXPECT_EQ(none.LastError(), ENOENT);
}

TEST(Text, Utf16RoundTripKeepsChineseKoreanAndAstralCharacters) {
    std::string text = "至少需要 %s 容量。 다운로드 \xF0\x9F\x8E\xAE";
    std::u16string wide = plat::AnsiToWide(text);
    EXPECT_EQ(wide[0], u'至');
    EXPECT_EQ(plat::WideToAnsi(wide), text);
}

TEST(Text, InvalidSequencesBecomeReplacementCharacters) {
    std::u16string wide = plat::AnsiToWide("a\xC3(b\xE0\x80\x80");
    EXPECT_EQ(wide, u"a\uFFFD(b\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(plat::WideToAnsi(u"x\xD800y"), "x\xEF\xBF\xBDy");
}

TEST(Text, AsciiLowerLeavesOtherBytesAlone) {
    EXPECT_EQ(plat::AsciiLower("ABC/Dé.TXT"), "abc/dé.txt");
}
