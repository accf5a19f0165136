// How a label fits its line into its height, without a display.
#include "controls/label_rules.h"

#include <gtest/gtest.h>

TEST(LabelRules, ALineTallerThanTheLabelsFontIsDrawnSmaller) {
    // A fallback font's line is 1.45 times the size; the label's line 16.
    auto height = [](int pixels) { return pixels * 145 / 100; };
    EXPECT_EQ(FittingPixelSize(13, 8, 16, height), 11);
    EXPECT_EQ(FittingPixelSize(13, 8, 40, height), 13);
    EXPECT_EQ(FittingPixelSize(13, 8, 5, height), 8);
}
