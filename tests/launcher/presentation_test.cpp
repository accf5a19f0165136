#include "launcher/presentation.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(FormatSize, ScalesAtEachStrictUnitBoundary) {
    EXPECT_EQ(FormatSize(0), u"0 Bytes");
    EXPECT_EQ(FormatSize(1023), u"1023 Bytes");
    EXPECT_EQ(FormatSize(1024), u"1.00 KB");
    EXPECT_EQ(FormatSize(1048575), u"1024.00 KB");  // printf rounds up to the boundary
    EXPECT_EQ(FormatSize(1048576), u"1.00 MB");
    EXPECT_EQ(FormatSize(std::ldexp(1.5, 30)), u"1.50 GB");
    EXPECT_EQ(FormatSize(std::ldexp(1.0, 40)), u"1.00 TB");
    EXPECT_EQ(FormatSize(std::ldexp(1.0, 50)), u"");
    EXPECT_EQ(FormatSize(std::ldexp(1.0, 63)), u"");
}

TEST(FormatSpeed, HasPerSecondUnitsAndAFloorForNothing) {
    EXPECT_EQ(FormatSpeed(0), u"0.0 Bytes");
    EXPECT_EQ(FormatSpeed(-20), u"0.0 Bytes");
    EXPECT_EQ(FormatSpeed(1000), u"1000 Bytes");
    EXPECT_EQ(FormatSpeed(1536), u"1.50 KB/Sec");
    EXPECT_EQ(FormatSpeed(3 * 1048576.0), u"3.00 MB/Sec");
    EXPECT_EQ(FormatSpeed(std::ldexp(1.0, 50)), u"0.0 Bytes");
}

TEST(FormatDuration, CountsHoursPastADay) {
    EXPECT_EQ(FormatDuration(0), u"00:00:00");
    EXPECT_EQ(FormatDuration(3661), u"01:01:01");
    EXPECT_EQ(FormatDuration(86399), u"23:59:59");
    EXPECT_EQ(FormatDuration(86400 + 3661), u"25:01:01");
    EXPECT_EQ(FormatDuration(-5), u"00:00:00");
}

TEST(GraphSample, IsWholeMegabitsCappedAtAHundred) {
    EXPECT_EQ(GraphSample(1 << 17), 1);
    EXPECT_EQ(GraphSample((1 << 17) - 1), 0);
    EXPECT_EQ(GraphSample(100 << 17), 100);
    EXPECT_EQ(GraphSample(200 << 17), 100);
    // Eight times this rate overflows 32 bits; the sample must still be full.
    EXPECT_EQ(GraphSample(0x7FFFFFFF), 100);
    EXPECT_EQ(GraphSample(-(1 << 20)), 0);
}
