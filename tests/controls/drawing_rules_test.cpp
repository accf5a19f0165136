// The skinned controls' drawing rules, without a display: the bar's fill
// and text, the graph's columns and samples, the button's bitmap choice
// and pointer tracking.
#include <gtest/gtest.h>

#include "controls/button_rules.h"
#include "controls/graph_rules.h"
#include "controls/progress_rules.h"

TEST(ProgressRules, FillWidthFollowsTheWholePercentageAndStopsShortOfTheEdge) {
    // The launcher's bars: 286 pixels, range 0..100.
    EXPECT_EQ(ProgressFillWidth(286, 0, 100, 0), 0);
    EXPECT_EQ(ProgressFillWidth(286, 0, 100, 1), 2);  // 2.86, truncated
    EXPECT_EQ(ProgressFillWidth(286, 0, 100, 50), 143);
    EXPECT_EQ(ProgressFillWidth(286, 0, 100, 99), 283);
    // 286 would cover the last column from x = 1: one pixel short of it.
    EXPECT_EQ(ProgressFillWidth(286, 0, 100, 100), 284);
    // A percentage is whole before it is scaled: 1/3 of 300 is 33 %.
    EXPECT_EQ(ProgressFillWidth(100, 0, 300, 100), 33);
    // |lower| + position within the range, as the rule is written.
    EXPECT_EQ(ProgressFillPercent(-50, 50, 0), 50);
    EXPECT_EQ(ProgressFillWidth(200, -50, 50, 0), 100);
    // Nothing for an empty or inverted range, or a bar too small to fill.
    EXPECT_EQ(ProgressFillWidth(286, 5, 5, 5), 0);
    EXPECT_EQ(ProgressFillWidth(286, 100, 0, 50), 0);
    EXPECT_EQ(ProgressFillWidth(2, 0, 100, 100), 0);
}

TEST(ProgressRules, TextFollowsTheFormatOrTheStyle) {
    EXPECT_EQ(ProgressText("%d%%", ProgressTextStyle::kNone, 0, 100, 42), "42%");
    EXPECT_EQ(ProgressText("", ProgressTextStyle::kPercent, 0, 100, 7), "7%");
    EXPECT_EQ(ProgressText("", ProgressTextStyle::kPosition, 0, 200, 150), "150");
    EXPECT_EQ(ProgressText("", ProgressTextStyle::kNone, 0, 100, 50), "");
    // The percentage of the position within the range, truncated.
    EXPECT_EQ(ProgressText("%d%%", ProgressTextStyle::kPercent, 0, 300, 100), "33%");
    EXPECT_EQ(ProgressText("%d%%", ProgressTextStyle::kPercent, 100, 200, 150), "50%");
    // Only one %d is filled and no other conversion means anything: a
    // format can never read what was not given.
    EXPECT_EQ(ProgressText("%d of %d %s %n", ProgressTextStyle::kPercent, 0, 100, 5),
              "5 of %d %s %n");
    EXPECT_EQ(ProgressText("100%", ProgressTextStyle::kPercent, 0, 100, 5), "100%");
}

TEST(GraphRules, ColumnsStandAtTheirPlacesAsHighAsTheirSamples) {
    // The launcher's graph: 342 x 69, 68 samples, so a column every 5 pixels.
    EXPECT_EQ(GraphColumnStep(342), 5);
    EXPECT_EQ(GraphColumnX(0, 342), 2);
    EXPECT_EQ(GraphColumnX(67, 342), 337);
    EXPECT_LE(GraphColumnX(67, 342) + kGraphColumnWidth, 342);
    EXPECT_EQ(GraphColumnHeight(0, 69), 0);
    EXPECT_EQ(GraphColumnHeight(100, 69), 69);
    EXPECT_EQ(GraphColumnHeight(50, 69), 34);  // 34.5, truncated
    EXPECT_EQ(GraphColumnHeight(1, 69), 0);    // 0.69: not drawn
    EXPECT_EQ(GraphColumnHeight(2, 69), 1);
    EXPECT_EQ(GraphColumnHeight(250, 69), 69);
    EXPECT_EQ(GraphColumnHeight(-5, 69), 0);
}

TEST(GraphRules, SamplesShiftLeftAndStayWithinRange) {
    CGraphSamples samples;
    for (int sample : samples.All()) EXPECT_EQ(sample, 0);
    samples.Push(10);
    samples.Push(150);
    samples.Push(-3);
    EXPECT_EQ(samples.At(kGraphSampleCount - 3), 10);
    EXPECT_EQ(samples.At(kGraphSampleCount - 2), 100);
    EXPECT_EQ(samples.At(kGraphSampleCount - 1), 0);
    for (int i = 0; i < kGraphSampleCount; ++i) samples.Push(i);
    EXPECT_EQ(samples.At(0), 0);
    EXPECT_EQ(samples.At(kGraphSampleCount - 1), kGraphSampleCount - 1);
}

TEST(ButtonRules, BitmapFollowsTheState) {
    ButtonLook look;
    look.hasDisabledBitmap = true;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kNormal);
    look.pointerOver = true;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kFirst);
    look.pointerOver = false;
    look.pressed = true;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kFirst);
    // Disabled wins over everything, when there is a bitmap for it.
    look.enabled = false;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kDisabled);
    look.hasDisabledBitmap = false;
    look.pressed = false;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kNormal);
    look.hasDisabledBitmap = true;
    look.showDisabledBitmap = false;
    EXPECT_EQ(ChooseButtonBitmap(look), ButtonSlot::kNormal);

    // A check box shows its state, not the pointer.
    ButtonLook box;
    box.checkBox = true;
    box.pointerOver = true;
    EXPECT_EQ(ChooseButtonBitmap(box), ButtonSlot::kNormal);
    box.checked = true;
    box.pointerOver = false;
    EXPECT_EQ(ChooseButtonBitmap(box), ButtonSlot::kFirst);
}

TEST(ButtonRules, PointerLightsOnlyAnEnabledFlatButtonOfAnActiveProgram) {
    CButtonHoverRule hover;
    // Disabled, inactive, not flat, or a drag from elsewhere: nothing.
    EXPECT_FALSE(hover.OnMove(true, true, false, false, true));
    EXPECT_FALSE(hover.OnMove(true, false, false, true, true));
    EXPECT_FALSE(hover.OnMove(true, true, false, true, false));
    EXPECT_FALSE(hover.OnMove(true, true, true, true, true));
    EXPECT_FALSE(hover.PointerOver());
    // Lit once; further moves on it change nothing.
    EXPECT_TRUE(hover.OnMove(true, true, false, true, true));
    EXPECT_FALSE(hover.OnMove(true, true, false, true, true));
    EXPECT_TRUE(hover.PointerOver());
    // Elsewhere, or the program deactivated: dark again, once.
    EXPECT_TRUE(hover.OnMove(false, true, false, true, true));
    EXPECT_FALSE(hover.OnMove(false, true, false, true, true));
    EXPECT_TRUE(hover.OnMove(true, true, false, true, true));
    EXPECT_TRUE(hover.OnMove(true, false, false, true, true));
    EXPECT_TRUE(hover.OnMove(true, true, false, true, true));
    // A button disabled under the pointer goes dark.
    EXPECT_TRUE(hover.OnMove(true, true, false, false, true));
    EXPECT_FALSE(hover.Clear());
}
