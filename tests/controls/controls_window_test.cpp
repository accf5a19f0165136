// The skinned controls on a real screen: a harness window of known
// contents (harness/controls_harness.cpp) under Xvfb, driven by xdotool
// and read back through screenshots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "controls/graph_rules.h"
#include "controls/progress_rules.h"
#include "platform/kernel.h"
#include "tests/support/child_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/x_display.h"

namespace {

bool NearRed(Pixel p) {
    return p.r > 200 && p.g < 110 && p.b < 110;
}
bool NearGreen(Pixel p) {
    return p.g > 200 && p.r < 110 && p.b < 110;
}

class ControlsWindowTest : public testing::Test {
protected:
    void SetUp() override {
        if (!XDisplay::ToolsAvailable())
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick (tools/setup.sh)";
        ASSERT_TRUE(display_.Start());
        ASSERT_TRUE(harness_.Start(ZK4_CONTROLS_HARNESS, {}));
        ASSERT_TRUE(harness_.WaitForLines(1, 15000)) << "the harness did not start";
        const std::int64_t deadline = plat::MonotonicMs() + 10000;
        while (window_.empty() && plat::MonotonicMs() < deadline) {
            window_ = display_.FindWindow("^controls harness$");
            if (window_.empty()) usleep(100000);
        }
        ASSERT_FALSE(window_.empty());
        const ToolResult geometry =
            RunTool(display_.Xdotool(), {"getwindowgeometry", "--shell", window_});
        for (const std::string& line : geometry.lines) {
            if (line.rfind("X=", 0) == 0) x_ = std::atoi(line.c_str() + 2);
            if (line.rfind("Y=", 0) == 0) y_ = std::atoi(line.c_str() + 2);
        }
        ASSERT_TRUE(display_.Do({"windowfocus", "--sync", window_}));
        ASSERT_TRUE(display_.MoveTo(window_, 470, 310));
    }

    Picture Shot() {
        Picture shot;
        EXPECT_TRUE(display_.Capture(&shot));
        return shot;
    }
    Pixel At(const Picture& shot, int x, int y) const { return shot.At(x_ + x, y_ + y); }

    // Screenshots until `done` holds, at most `ms`.
    template <class Done>
    bool Watch(Done done, int ms) {
        const std::int64_t deadline = plat::MonotonicMs() + ms;
        while (plat::MonotonicMs() < deadline) {
            if (done(Shot())) return true;
            usleep(100000);
        }
        return false;
    }
    // Waits for the harness to report `line`, at most `ms`.
    bool Heard(const std::string& line, int ms) {
        const std::int64_t deadline = plat::MonotonicMs() + ms;
        while (plat::MonotonicMs() < deadline) {
            const auto& lines = harness_.Lines();
            if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
            usleep(50000);
        }
        return false;
    }
    bool HeardAny(const std::string& prefix) {
        for (const std::string& line : harness_.Lines())
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    }

    // The tooltip: a pop-up with a black frame below the pointer.
    bool TipAt(const Picture& shot, int x, int y) const {
        const Pixel frame = At(shot, x, y + 20);
        const Pixel inside = At(shot, x + 3, y + 22);
        return SamePixel(frame, Pixel{0, 0, 0}) && !SamePixel(inside, Pixel{0, 0, 0});
    }

    XDisplay display_;
    ScopedEnv x11Only_{"GDK_BACKEND", "x11"};
    ScopedEnv noAccessibilityBus_{"NO_AT_BRIDGE", "1"};
    ChildProcess harness_;
    std::string window_;
    int x_ = 0;
    int y_ = 0;
};

}  // namespace

TEST_F(ControlsWindowTest, GraphColumnsAndBarFillFollowTheirRules) {
    const Picture shot = Shot();
    display_.Keep(std::string(ZK4_SHOT_DIR) + "controls-harness.png");
    // Samples 100, 50, 25, 1, 2 are the five newest.
    const int samples[] = {100, 50, 25, 1, 2};
    const int heights[] = {69, 34, 17, 0, 1};
    for (int k = 0; k < 5; ++k) {
        const int index = kGraphSampleCount - 5 + k;
        const int x = 10 + GraphColumnX(index, 342);
        int height = 0;
        while (height < 69 && NearPixel(At(shot, x + 1, 10 + 68 - height), Pixel{213, 186, 17}, 2))
            ++height;
        EXPECT_EQ(height, heights[k]) << "column " << index;
        EXPECT_EQ(height, GraphColumnHeight(samples[k], 69));
        // Three pixels wide: its neighbours keep the background.
        EXPECT_TRUE(SamePixel(At(shot, x - 1, 78), Pixel{0, 0, 0}));
        EXPECT_TRUE(SamePixel(At(shot, x + 3, 78), Pixel{0, 0, 0}));
    }
    EXPECT_TRUE(SamePixel(At(shot, 10 + GraphColumnX(0, 342) + 1, 78), Pixel{0, 0, 0}));

    // The bar at 50 %: filled from x = 1 for 143 pixels.
    const int fill = ProgressFillWidth(286, 0, 100, 50);
    EXPECT_EQ(fill, 143);
    EXPECT_TRUE(NearPixel(At(shot, 10 + 1, 101), Pixel{30, 60, 200}, 2));
    EXPECT_TRUE(NearPixel(At(shot, 10 + fill, 101), Pixel{30, 60, 200}, 2));
    EXPECT_TRUE(NearPixel(At(shot, 10 + fill + 1, 101), Pixel{8, 8, 8}, 2));
    // "50%" straddles the fill's end: red over the fill, green after it.
    int redLeft = 0, redRight = 0, greenLeft = 0, greenRight = 0;
    for (int y = 100; y < 118; ++y)
        for (int x = 10 + 110; x < 10 + 176; ++x) {
            const Pixel p = At(shot, x, y);
            const bool left = x <= 10 + fill;
            if (NearRed(p)) ++(left ? redLeft : redRight);
            if (NearGreen(p)) ++(left ? greenLeft : greenRight);
        }
    EXPECT_GT(redLeft, 5);
    EXPECT_GT(greenRight, 5);
    EXPECT_EQ(redRight, 0);
    EXPECT_EQ(greenLeft, 0);
}

TEST_F(ControlsWindowTest, ButtonsReactAsTheirStateSays) {
    // The check box's corners show the parent's stripes, not magenta.
    Picture shot = Shot();
    EXPECT_FALSE(SamePixel(At(shot, 10, 140), Pixel{255, 0, 255}));
    EXPECT_TRUE(NearPixel(At(shot, 25, 155), Pixel{200, 0, 0}, 2)) << "clear";
    // A click shows the other bitmap before the owner hears of it.
    ASSERT_TRUE(display_.Click(window_, 25, 155));
    EXPECT_TRUE(Heard("check 1 first", 5000));
    EXPECT_TRUE(Watch(
        [&](const Picture& s) {
            return NearPixel(At(s, 25, 155), Pixel{0, 200, 0}, 2);
        },
        5000));
    ASSERT_TRUE(display_.Click(window_, 25, 155));
    EXPECT_TRUE(Heard("check 0 normal", 5000));

    // The pointer lights the push button up; the disabled one stays dark
    // and ignores clicks.
    ASSERT_TRUE(display_.MoveTo(window_, 130, 155));
    EXPECT_TRUE(Watch(
        [&](const Picture& s) {
            return NearPixel(At(s, 130, 155), Pixel{240, 220, 0}, 2);
        },
        5000))
        << "no pointer-over bitmap";
    ASSERT_TRUE(display_.MoveTo(window_, 230, 155));
    EXPECT_TRUE(Watch(
        [&](const Picture& s) {
            return NearPixel(At(s, 130, 155), Pixel{120, 120, 120}, 2);
        },
        5000))
        << "the pointer-over bitmap stayed";
    shot = Shot();
    EXPECT_TRUE(NearPixel(At(shot, 230, 155), Pixel{40, 40, 40}, 2)) << "disabled bitmap";
    ASSERT_TRUE(display_.Click(window_, 230, 155));
    ASSERT_TRUE(display_.Click(window_, 130, 155));
    EXPECT_TRUE(Heard("push", 5000));
    EXPECT_FALSE(HeardAny("disabled-push"));
}

TEST_F(ControlsWindowTest, ShorterLabelLeavesNoTraceOfTheLongerText) {
    const Picture before = Shot();
    // The long text reaches past x = 150.
    int inkFar = 0;
    for (int x = 150; x < 300; ++x)
        for (int y = 190; y < 206; ++y)
            if (NearPixel(At(before, x, y), Pixel{239, 239, 239}, 20)) ++inkFar;
    ASSERT_GT(inkFar, 10);
    ASSERT_TRUE(display_.Do({"key", "s"}));
    // Afterwards the parent's stripes show there again, exactly.
    EXPECT_TRUE(Watch(
        [&](const Picture& s) {
            for (int x = 150; x < 300; ++x)
                for (int y = 190; y < 206; ++y) {
                    const Pixel p = At(s, x, y);
                    if (!SamePixel(p, Pixel{20, 24, 30}) && !SamePixel(p, Pixel{60, 40, 90}))
                        return false;
                }
            return true;
        },
        5000));
}

TEST_F(ControlsWindowTest, TooltipShowsOnRestHidesOnLeavingAndWaitsForAnotherTool) {
    // Resting on tool A shows its tip below the pointer.
    ASSERT_TRUE(display_.MoveTo(window_, 360, 170));
    ASSERT_TRUE(display_.MoveTo(window_, 361, 170));
    EXPECT_TRUE(Watch([&](const Picture& s) { return TipAt(s, 361, 170); }, 5000))
        << "no tip after resting on the tool";
    display_.Keep(std::string(ZK4_SHOT_DIR) + "controls-tooltip.png");
    // Leaving the tool hides it at the next check.
    ASSERT_TRUE(display_.MoveTo(window_, 360, 260));
    EXPECT_TRUE(Watch([&](const Picture& s) { return !TipAt(s, 361, 170); }, 5000));
    // Back on the same tool: the tip stays away.
    ASSERT_TRUE(display_.MoveTo(window_, 361, 170));
    usleep(1500000);
    EXPECT_FALSE(TipAt(Shot(), 361, 170)) << "the tip came back for the same tool";
    // Another tool shows its own, which goes by itself after 5 s.
    ASSERT_TRUE(display_.MoveTo(window_, 430, 170));
    ASSERT_TRUE(display_.MoveTo(window_, 431, 170));
    EXPECT_TRUE(Watch([&](const Picture& s) { return TipAt(s, 431, 170); }, 5000));
    const std::int64_t shown = plat::MonotonicMs();
    EXPECT_TRUE(Watch([&](const Picture& s) { return !TipAt(s, 431, 170); }, 10000));
    EXPECT_GE(plat::MonotonicMs() - shown, 3000) << "hidden long before the auto-hide time";
}
