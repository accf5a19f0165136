// Fitting a line into a width from its middle, keeping its counter: a
// fixed-width measure stands in for the font (CJK characters twice as
// wide), as terminal columns do.
#include "platform/text_fit.h"

#include <gtest/gtest.h>

namespace {

int Width(const std::u16string& text) {
    int width = 0;
    for (char16_t c : text) width += c >= 0x2E80 ? 14 : 7;
    return width;
}

}  // namespace

TEST(TextFit, ALongNameLosesItsMiddleAndKeepsItsCounter) {
    const std::u16string line = u"ZK4_Very_Long_Data_Archive_Number_Seventeen.pak [12/40]";
    EXPECT_EQ(plat::FitMiddleKeepingTail(line, Width(line), Width), line);
    const std::u16string fitted = plat::FitMiddleKeepingTail(line, 200, Width);
    EXPECT_LE(Width(fitted), 200);
    EXPECT_EQ(fitted.substr(fitted.size() - 8), u" [12/40]");
    EXPECT_NE(fitted.find(u"\u2026"), std::u16string::npos);
    EXPECT_EQ(fitted.substr(0, 3), u"ZK4");                   // the start stays
    EXPECT_NE(fitted.find(u".pak [12/40]"), std::u16string::npos);  // and the end
    // As wide as it may be: one more character would not fit.
    EXPECT_GT(Width(fitted) + 7, 200 - 7);

    const std::u16string chinese = u"遊戲資料_第一部分_高解析度材質包.pak [1/2]";
    const std::u16string shown = plat::FitMiddleKeepingTail(chinese, 180, Width);
    EXPECT_LE(Width(shown), 180);
    EXPECT_EQ(shown.substr(shown.size() - 6), u" [1/2]");
}

TEST(TextFit, OnlyACounterAtTheEndIsKept) {
    EXPECT_EQ(plat::KeptTail(u"a.pak [3/12]"), u" [3/12]");
    EXPECT_EQ(plat::KeptTail(u"a.pak [x/12]"), u"");
    EXPECT_EQ(plat::KeptTail(u"a [1/2] b"), u"");
    EXPECT_EQ(plat::KeptTail(u"[1/2]"), u"");
    // No counter: the end goes like the middle of any other text.
    const std::u16string fitted = plat::FitMiddleKeepingTail(u"abcdefghijklmnopqrstuvwxyz", 70, Width);
    EXPECT_LE(Width(fitted), 70);
    EXPECT_EQ(fitted.front(), u'a');
    EXPECT_EQ(fitted.back(), u'z');
    // Too narrow for the counter and an ellipsis: what of the counter fits.
    EXPECT_EQ(plat::FitMiddleKeepingTail(u"name.pak [1/2]", 35, Width), u"[1/2]");
}

TEST(TextFit, TerminalColumnsCountWideCharactersTwice) {
    EXPECT_EQ(plat::TerminalColumnsOf(u"data.pak"), 8);
    EXPECT_EQ(plat::TerminalColumnsOf(u"遊戲資料_1.pak"), 4 * 2 + 6);
    EXPECT_EQ(plat::TerminalColumnsOf(u"ｚｋ４"), 6);  // full-width forms
    EXPECT_EQ(plat::TerminalColumnsOf(u"e\u0301"), 1);  // a combining accent takes none
    EXPECT_EQ(plat::TerminalColumnsOf(u"\U00020000"), 2);  // beyond the first plane
}
