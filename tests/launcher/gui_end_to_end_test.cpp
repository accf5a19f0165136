// The window program end to end: a virtual X display (Xvfb), a real nginx
// with a small file list and a banner, the program started as a user
// would, driven by real input (xdotool) and watched through screenshots.
// The screenshots are compared by region with the skin's own bitmaps (the
// PNGs the build rendered) and kept in the build folder for a person to
// look at.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "controls/graph_rules.h"
#include "controls/progress_rules.h"
#include "launcher/gui/layout.h"
#include "platform/sockets.h"
#include "tests/launcher/gui_window_fixture.h"
#include "tests/support/data_home.h"
#include "tests/support/loopback_peer.h"

using gui::Rect;
using namespace gui_test;

TEST_F(GuiEndToEndTest, SkinnedWindowFromStartThroughTheDownloadToTheInstaller) {
    ServeFiles();
    ServeBanner();
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow()) << "no window titled ZK4 Downloader";
    EXPECT_EQ(width_, gui::kClientWidth);
    EXPECT_EQ(height_, gui::kClientHeight);
    PointAway();

    // The size check has ended once the file label names the first file.
    ASSERT_TRUE(
        WatchScreen([&](const Picture& s) { return HasText(s, gui::kFileLabelRect); }, 20000))
        << "the file list and sizes never showed";
    // The banner plays: both of its frames show in the open part.
    const Rect banner = gui::kBannerRect;
    const auto bannerIs = [&](const Picture& s, Pixel colour) {
        return NearPixel(At(s, banner.x + 5, banner.y + 5), colour, 4) &&
               NearPixel(At(s, banner.x + banner.width - 5, banner.y + banner.height - 5), colour,
                         4);
    };
    EXPECT_TRUE(WatchScreen([&](const Picture& s) { return bannerIs(s, kBannerFirst); }, 10000))
        << "the banner's first frame never showed";
    EXPECT_TRUE(WatchScreen([&](const Picture& s) { return bannerIs(s, kBannerSecond); }, 10000))
        << "the banner did not play";
    Keep("tlxdownloader-start.png");

    Picture ready = Shot();
    ExpectFrame(ready);
    // Every button shows its bitmap: Run is disabled until the download ends.
    EXPECT_TRUE(Shows(ready, gui::kStartStopButtonRect, gui::kStartBitmaps.normal));
    EXPECT_TRUE(Shows(ready, gui::kRunButtonRect, gui::kRunBitmaps.disabled));
    EXPECT_TRUE(Shows(ready, gui::kCloseButtonRect, gui::kCloseBitmaps.normal));
    EXPECT_TRUE(Shows(ready, gui::kFolderButtonRect, gui::kFolderBitmaps.normal));
    // Bars at 0 %: the background bitmap without fill, the text over it.
    for (const Rect& bar : {gui::kCurrentFileBarRect, gui::kOverallBarRect}) {
        EXPECT_EQ(FillWidth(ready, bar), 0);
        EXPECT_GT(Match(ready, Skin(gui::kBarBackgroundBitmap), bar.x, bar.y,
                        {Rect{bar.x + bar.width / 2 - 25, bar.y, 50, bar.height}}),
                  0.99);
        EXPECT_GT(TextInk(ready, bar), 10) << "the text over the background is not 239,239,239";
    }
    // No samples yet: the graph is its background bitmap alone.
    EXPECT_GT(Match(ready, Skin(gui::kGraphBitmap), gui::kSpeedGraphRect.x, gui::kSpeedGraphRect.y),
              0.999);
    // Labels draw over the panel: its pixels around their text.
    EXPECT_GT(Count(ready, gui::kTotalLabelRect, LabelInk), 0);

    // The pointer lights an enabled button up and leaves a disabled one be.
    ASSERT_TRUE(display_.Do({"windowfocus", "--sync", window_}));
    PointAt(gui::kCloseButtonRect);
    EXPECT_TRUE(WatchScreen(
        [&](const Picture& s) { return Shows(s, gui::kCloseButtonRect, gui::kCloseBitmaps.over); },
        5000))
        << "Close did not light up under the pointer";
    PointAt(gui::kRunButtonRect);
    EXPECT_TRUE(WatchScreen(
        [&](const Picture& s) {
            return Shows(s, gui::kCloseButtonRect, gui::kCloseBitmaps.normal);
        },
        5000))
        << "Close stayed lit after the pointer left";
    Keep("tlxdownloader-pointer-on-disabled.png");
    EXPECT_TRUE(Shows(Shot(), gui::kRunButtonRect, gui::kRunBitmaps.disabled));

    ClickCentre(gui::kStartStopButtonRect);
    // Under the pointer, Start has become a lit Stop.
    EXPECT_TRUE(WatchScreen(
        [&](const Picture& s) {
            return Shows(s, gui::kStartStopButtonRect, gui::kStopBitmaps.over);
        },
        5000));
    PointAway();
    // Part of the job has arrived: the overall bar is filled part of the way.
    const Rect overall = gui::kOverallBarRect;
    ASSERT_TRUE(WatchScreen(
        [&](const Picture& s) {
            const int fill = FillWidth(s, overall);
            return fill > overall.width / 5 && fill < overall.width * 4 / 5 &&
                   ColumnHeight(s, kGraphSampleCount - 1) > 0;
        },
        20000))
        << "no progress was drawn";
    Keep("tlxdownloader-progress.png");
    Picture during = Shot();
    ExpectFrame(during);
    EXPECT_TRUE(Shows(during, gui::kStartStopButtonRect, gui::kStopBitmaps.normal));
    EXPECT_TRUE(Shows(during, gui::kFolderButtonRect, gui::kFolderBitmaps.disabled));
    EXPECT_TRUE(HasText(during, gui::kReceivedLabelRect));
    EXPECT_TRUE(HasText(during, gui::kSpeedLabelRect));
    // The fill is one the bar's rule can give for a whole percentage.
    std::set<int> legal;
    for (int percent = 0; percent <= 100; ++percent)
        legal.insert(ProgressFillWidth(overall.width, 0, 100, percent));
    EXPECT_TRUE(legal.count(FillWidth(during, overall))) << FillWidth(during, overall);
    EXPECT_GT(TextInk(during, overall), 10);
    // The graph: the newest column at its place, three pixels wide, no
    // higher than the graph; the oldest still empty. (Its height follows
    // the rate, which the test does not fix; the controls' own test checks
    // heights for known samples.)
    const int newest = ColumnHeight(during, kGraphSampleCount - 1);
    EXPECT_GT(newest, 0);
    EXPECT_LE(newest, gui::kSpeedGraphRect.height);
    const int newestX =
        gui::kSpeedGraphRect.x + GraphColumnX(kGraphSampleCount - 1, gui::kSpeedGraphRect.width);
    const int bottom = gui::kSpeedGraphRect.y + gui::kSpeedGraphRect.height - 1;
    EXPECT_FALSE(NearPixel(At(during, newestX - 1, bottom), Pixel{213, 186, 17}, 8));
    EXPECT_TRUE(NearPixel(At(during, newestX + 2, bottom), Pixel{213, 186, 17}, 8));
    EXPECT_FALSE(NearPixel(At(during, newestX + 3, bottom), Pixel{213, 186, 17}, 8));
    EXPECT_EQ(ColumnHeight(during, 0), 0);
    EXPECT_GT(
        Match(during, Skin(gui::kGraphBitmap), gui::kSpeedGraphRect.x, gui::kSpeedGraphRect.y), 0.9)
        << "the columns are drawn over the graph's background";

    ASSERT_TRUE(WatchScreen(
        [&](const Picture& s) { return Shows(s, gui::kRunButtonRect, gui::kRunBitmaps.normal); },
        30000))
        << "Run never became usable";
    Keep("tlxdownloader-finished.png");
    Picture done = Shot();
    ExpectFrame(done);
    // At 100 % the fill reaches across the bar, one pixel short of its edge,
    // with the text over the fill.
    EXPECT_EQ(FillWidth(done, overall), overall.width - 2);
    EXPECT_EQ(FillWidth(done, gui::kCurrentFileBarRect), gui::kCurrentFileBarRect.width - 2)
        << "the current file's bar is full at the end too";
    EXPECT_GT(TextInk(done, overall), 10) << "the text over the fill is not 239,239,239";
    EXPECT_GT(Count(done, gui::kSpeedLabelRect, Yellow), 0)
        << "the status line turns yellow once the job has finished";
    EXPECT_TRUE(Shows(done, gui::kStartStopButtonRect, gui::kStartBitmaps.disabled));
    EXPECT_TRUE(Shows(done, gui::kFolderButtonRect, gui::kFolderBitmaps.disabled));
    EXPECT_TRUE(ReadFile(DownloadFolder() + "data.pak") == data_);

    ClickCentre(gui::kRunButtonRect);
    int status = -1;
    ASSERT_TRUE(program_.WaitForExit(15000, &status)) << "the program did not end after Run";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(home_.Path() + "installer-ran"), "started\n");
}

// A server that goes away in the middle: the window stops showing a
// download that does not move, says it waits, and goes on by itself once
// the server is back. The file names are long and Chinese: the file label
// keeps its counter and the whole height of its text.
TEST_F(GuiEndToEndTest, ADownloadWhoseServerGoesAwayWaitsAndGoesOnWhenItIsBack) {
    const std::string chinese = "遊戲資料_第一部分.pak";
    const std::string longName = "ZK4_Very_Long_Archive_Name_That_Is_Wider_Than_Its_Label_17.pak";
    const std::string small = nginx_->WriteFile("/zk4/" + longName, 300000, 11);
    const std::string big = nginx_->WriteFile("/zk4/" + chinese, 3u << 20, 12);
    nginx_->WriteText(kListPath, nginx_->Url("/zk4/" + longName) + "\r\n" +
                                     nginx_->Url("/zk4/" + chinese) + "\r\n");
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow());
    PointAway();
    ASSERT_TRUE(
        WatchScreen([&](const Picture& s) { return HasText(s, gui::kFileLabelRect); }, 20000));
    // The long name, shortened in its middle: its counter is at the label's
    // right end, where a name cut at its end would leave nothing.
    Keep("tlxdownloader-long-name.png");
    const Rect label = gui::kFileLabelRect;
    const Rect labelEnd{label.x + label.width - 40, label.y, 40, label.height};
    EXPECT_GT(Count(Shot(), labelEnd, Bright), 0) << "no counter at the end of the file label";

    ClickCentre(gui::kStartStopButtonRect);
    PointAway();
    const Rect overall = gui::kOverallBarRect;
    // The Chinese file is under way.
    ASSERT_TRUE(WatchScreen(
        [&](const Picture& s) { return FillWidth(s, overall) > overall.width / 5; }, 30000))
        << "no progress was drawn";
    Keep("tlxdownloader-chinese-name.png");
    // Its line fits the label: no ink on the label's last row, which a
    // line set lower by a taller font would cut through.
    const Rect lastRow{label.x, label.y + label.height - 1, label.width, 1};
    EXPECT_EQ(Count(Shot(), lastRow, Bright), 0) << "the file label's text is cut at its foot";

    nginx_->Stop();
    // Within 2 s nothing moves any more: the graph and the bar stand still.
    usleep(2000 * 1000);
    const Picture first = Shot();
    usleep(2500 * 1000);
    const Picture second = Shot();
    Keep("tlxdownloader-waiting.png");
    EXPECT_EQ(Differing(first, second, gui::kSpeedGraphRect), 0) << "the graph kept moving";
    EXPECT_EQ(FillWidth(first, overall), FillWidth(second, overall));
    EXPECT_LT(FillWidth(second, overall), overall.width - 2);
    EXPECT_TRUE(Shows(second, gui::kStartStopButtonRect, gui::kStopBitmaps.normal))
        << "the player can still stop a waiting download";
    EXPECT_FALSE(std::filesystem::exists(DownloadFolder() + chinese))
        << "a partial file stands under its own name";

    ASSERT_TRUE(nginx_->Restart()) << nginx_->Error();
    ASSERT_TRUE(WatchScreen(
        [&](const Picture& s) { return Shows(s, gui::kRunButtonRect, gui::kRunBitmaps.normal); },
        60000))
        << "the download did not go on by itself";
    Keep("tlxdownloader-after-waiting.png");
    const Picture done = Shot();
    EXPECT_EQ(FillWidth(done, overall), overall.width - 2);
    EXPECT_EQ(FillWidth(done, gui::kCurrentFileBarRect), gui::kCurrentFileBarRect.width - 2);
    EXPECT_TRUE(ReadFile(DownloadFolder() + chinese) == big);
    EXPECT_TRUE(ReadFile(DownloadFolder() + longName) == small);
    EXPECT_FALSE(std::filesystem::exists(DownloadFolder() + chinese + ".part"));

    ClickCentre(gui::kCloseButtonRect);
    int status = -1;
    ASSERT_TRUE(program_.WaitForExit(15000, &status)) << "Close did not end the program";
    EXPECT_EQ(status, 0);
}

TEST_F(GuiEndToEndTest, WithoutADisplayTheProgramSaysSoAndFails) {
    ChildProcess headless;
    ScopedEnv noDisplay("DISPLAY", nullptr);
    ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    ASSERT_TRUE(headless.Start(ZK4_GUI_BIN, {}));
    int status = -1;
    ASSERT_TRUE(headless.WaitForExit(15000, &status));
    EXPECT_EQ(status, 1);
}

TEST_F(GuiEndToEndTest, WithoutABannerTheSkinsPanelStaysAndNoBoxShows) {
    ServeFiles();
    // Not a picture at all: the banner cannot be read.
    nginx_->WriteText(std::string(kBannerPath), "GIF89a but nothing a decoder could use");
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow());
    PointAway();
    ASSERT_TRUE(
        WatchScreen([&](const Picture& s) { return HasText(s, gui::kFileLabelRect); }, 20000));
    Keep("tlxdownloader-no-banner.png");
    const Picture shot = Shot();
    EXPECT_GT(Match(shot, Skin("banner-panel"), gui::kBannerRect.x, gui::kBannerRect.y), 0.99);
    ExpectFrame(shot);
    // Only the main window: no error box about the banner.
    const ToolResult windows =
        RunTool(display_.Xdotool(), {"search", "--onlyvisible", "--classname", "^tlxdownloader$"});
    EXPECT_EQ(windows.lines.size(), 1u);

    ClickCentre(gui::kCloseButtonRect);
    int status = -1;
    ASSERT_TRUE(program_.WaitForExit(10000, &status)) << "Close did not end the program";
    EXPECT_EQ(status, 0);
}

TEST_F(GuiEndToEndTest, SecondStartIsRefusedAndRaisesTheRunningWindow) {
    ServeFiles();
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow());
    ASSERT_TRUE(
        WatchScreen([&](const Picture& s) { return HasText(s, gui::kFileLabelRect); }, 20000));

    // The folder button opens the browser, which Escape closes again.
    // The browser's title is not plain ASCII, which xdotool cannot match
    // by name; the program's windows share its class name.
    const auto visibleWindows = [&] {
        return RunTool(display_.Xdotool(),
                       {"search", "--onlyvisible", "--classname", "^tlxdownloader$"})
            .lines.size();
    };
    const std::size_t withMain = visibleWindows();
    ClickCentre(gui::kFolderButtonRect);
    const std::int64_t browserDeadline = plat::MonotonicMs() + 10000;
    while (visibleWindows() <= withMain && plat::MonotonicMs() < browserDeadline) usleep(100000);
    ASSERT_GT(visibleWindows(), withMain) << "the folder browser did not open";
    Keep("tlxdownloader-folder-browser.png");
    ASSERT_TRUE(display_.Do({"key", "Escape"}));
    const std::int64_t closeDeadline = plat::MonotonicMs() + 10000;
    while (visibleWindows() > withMain && plat::MonotonicMs() < closeDeadline) usleep(100000);
    ASSERT_EQ(visibleWindows(), withMain) << "the folder browser did not close";

    // Hidden, the running window has to be brought back by the second start.
    ASSERT_TRUE(display_.Do({"windowunmap", "--sync", window_}));
    ASSERT_FALSE(WindowVisible());

    ASSERT_TRUE(second_.Start(ZK4_GUI_BIN, {"http://127.0.0.1:1/another-list.txt"}));
    std::string box;
    const std::int64_t boxDeadline = plat::MonotonicMs() + 15000;
    while (box.empty() && plat::MonotonicMs() < boxDeadline) {
        box = display_.FindWindow("^tlxdownloader$");
        usleep(100000);
    }
    ASSERT_FALSE(box.empty()) << "the second start showed no box captioned tlxdownloader";
    Keep("tlxdownloader-second-start.png");
    int status = -1;
    EXPECT_FALSE(second_.WaitForExit(300, &status)) << "the box must wait for its OK";
    Key(box, "Return");
    ASSERT_TRUE(second_.WaitForExit(10000, &status)) << "the second start did not end";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(WindowVisible()) << "the running window was not brought back";

    // Idle, Close ends the program at once.
    ASSERT_TRUE(ReadGeometry());
    ClickCentre(gui::kCloseButtonRect);
    ASSERT_TRUE(program_.WaitForExit(10000, &status)) << "Close did not end the program";
    EXPECT_EQ(status, 0);
}

// The window program with the download engine in its data folder: the job
// runs through the engine and ends with the served bytes.
TEST_F(GuiEndToEndTest, JobRunsThroughTheEngineInTheDataFolder) {
    ScopedDataHome data;
    const std::string engineFolder = data.Path() + "Norvex/tlxDownloadV32/";
    std::filesystem::create_directories(engineFolder);
    std::filesystem::copy_file(ZK4_ENGINE_BIN, engineFolder + "TLXDownloadV32.exe");
    const std::string port = std::to_string(UnusedFixedPort());
    ScopedEnv enginePort("TLX_ENGINE_PORT", port.c_str());
    ScopedEnv engineIdle("TLX_ENGINE_IDLE_EXIT", "2");
    // No update server answers: the installed engine is started as it is.
    ScopedEnv updateServer("TLX_UPDATE_SERVER", "127.0.0.1:1");
    ServeFiles();
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow()) << "no window titled ZK4 Downloader";
    PointAway();
    ASSERT_TRUE(
        WatchScreen([&](const Picture& s) { return HasText(s, gui::kFileLabelRect); }, 20000))
        << "the file list and sizes never showed";
    ClickCentre(gui::kStartStopButtonRect);
    PointAway();
    ASSERT_TRUE(WatchScreen(
        [&](const Picture& s) { return Shows(s, gui::kRunButtonRect, gui::kRunBitmaps.normal); },
        40000))
        << "Run never became usable";
    EXPECT_TRUE(ReadFile(DownloadFolder() + "data.pak") == data_);
    const std::string engineLog = ReadFile(engineFolder + "config/engine.log");
    EXPECT_NE(engineLog.find("data.pak complete"), std::string::npos) << engineLog;
    const std::string serviceLog = ReadFile(engineFolder + "config/service.log");
    EXPECT_NE(serviceLog.find("[OstrelLib] Execute OK(0)"), std::string::npos) << serviceLog;
    EXPECT_EQ(serviceLog.find("goes to direct download"), std::string::npos) << serviceLog;
    ClickCentre(gui::kCloseButtonRect);
    int status = -1;
    EXPECT_TRUE(program_.WaitForExit(15000, &status));
}
