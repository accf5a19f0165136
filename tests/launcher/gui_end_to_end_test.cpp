// The window program end to end: a virtual X display (Xvfb), a real nginx
// with a small file list and a banner, the program started as a user
// would, driven by real input (xdotool) and watched through screenshots.
// The screenshots are compared by region with the skin's own bitmaps (the
// PNGs the build rendered) and kept in the build folder for a person to
// look at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "controls/graph_rules.h"
#include "controls/progress_rules.h"
#include "launcher/gui/layout.h"
#include "platform/kernel.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"
#include "tests/support/x_display.h"

namespace {

using gui::Rect;

constexpr char kWindowTitle[] = "^ZK4 Downloader$";
constexpr char kListPath[] = "/download/zk4/tlxdownload/filelist.txt";
constexpr char kBannerPath[] = "/download/zk4/tlxdownload/ZK4_TW.gif";
// The two frames of the served banner.
constexpr Pixel kBannerFirst{51, 102, 204};
constexpr Pixel kBannerSecond{204, 102, 51};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder that holds bin/tlxdownloader.
std::string BuildFolder() {
    std::string bin = ZK4_GUI_BIN;
    bin.erase(bin.rfind('/'));
    return bin.substr(0, bin.rfind('/') + 1);
}

bool Magenta(Pixel p) {
    return p.r == 255 && p.g == 0 && p.b == 255;
}

bool Bright(Pixel p) {
    return p.r > 200 && p.g > 200 && p.b > 200;
}

// Label text is RGB(239, 239, 239); these are its glyph cores.
bool LabelInk(Pixel p) {
    return NearPixel(p, Pixel{239, 239, 239}, 12);
}

bool Yellow(Pixel p) {
    return p.r > 200 && p.g > 200 && p.b < 90;
}

bool Inside(const Rect& r, int x, int y) {
    return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

class GuiEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        if (!XDisplay::ToolsAvailable())
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick (tools/setup.sh)";
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(display_.Start()) << "Xvfb did not start";

        // Slow enough that progress can be seen between two ticks.
        nginx_ = std::make_unique<NginxServer>("limit_rate 512k;");
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
        const std::string host = "127.0.0.1:" + std::to_string(nginx_->Port());
        patchServer_ = std::make_unique<ScopedEnv>("TLX_PATCH_SERVER", host.c_str());
        chmod(runtime_.Path().c_str(), 0700);
    }

    void TearDown() override {
        for (ChildProcess* program : {&second_, &program_}) program->Stop();
    }

    // A data file and the installer, a script that leaves a mark in HOME.
    void ServeFiles() {
        data_ = nginx_->WriteFile("/zk4/data.pak", 3u << 20, 7);
        nginx_->WriteText("/zk4/ZK4Setup.exe",
                          "#!/bin/sh\necho started > \"$HOME/installer-ran\"\n");
        nginx_->WriteText(kListPath, nginx_->Url("/zk4/data.pak") + "\r\n" +
                                         nginx_->Url("/zk4/ZK4Setup.exe") + "\r\n");
    }

    // An animated GIF as large as the banner's open part, of two colours.
    void ServeBanner() {
        const std::string gif = nginx_->Root() + std::string(kBannerPath).substr(1);
        const ToolResult made = RunTool(
            FindProgram("convert"), {"-delay", "40", "-size", "342x396", "xc:" + Hex(kBannerFirst),
                                     "xc:" + Hex(kBannerSecond), "-loop", "0", gif});
        ASSERT_TRUE(made.ended && made.status == 0) << "convert could not make the banner";
    }

    static std::string Hex(Pixel p) {
        char text[8];
        std::snprintf(text, sizeof text, "#%02x%02x%02x", p.r, p.g, p.b);
        return text;
    }

    std::string DownloadFolder() const { return home_.Path() + "tovalen/ZK4/"; }

    // The main window once it shows: its id and where its client area is.
    bool WaitForWindow(int timeoutMs = 15000) {
        const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
        while (plat::MonotonicMs() < deadline) {
            window_ = display_.FindWindow(kWindowTitle);
            if (!window_.empty()) return ReadGeometry();
            usleep(100000);
        }
        return false;
    }

    bool WindowVisible() { return !display_.FindWindow(kWindowTitle).empty(); }

    bool ReadGeometry() {
        const ToolResult geometry =
            RunTool(display_.Xdotool(), {"getwindowgeometry", "--shell", window_});
        if (!geometry.ended || geometry.status != 0) return false;
        for (const std::string& line : geometry.lines) {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") x_ = value;
            if (key == "Y") y_ = value;
            if (key == "WIDTH") width_ = value;
            if (key == "HEIGHT") height_ = value;
        }
        return true;
    }

    void ClickCentre(const Rect& rect) {
        ASSERT_TRUE(display_.Click(window_, rect.x + rect.width / 2, rect.y + rect.height / 2));
    }
    void PointAt(const Rect& rect) {
        ASSERT_TRUE(display_.MoveTo(window_, rect.x + rect.width / 2, rect.y + rect.height / 2));
    }
    // Away from every control, on the banner's place.
    void PointAway() { ASSERT_TRUE(display_.MoveTo(window_, 60, 60)); }
    void Key(const std::string& window, const std::string& key) {
        ASSERT_TRUE(display_.Do({"windowfocus", window}));
        ASSERT_TRUE(display_.Do({"key", key}));
    }

    // Keeps a picture of the display in the build folder.
    void Keep(const std::string& name) {
        EXPECT_TRUE(display_.Keep(BuildFolder() + name)) << "screenshot " << name;
    }

    // Takes screenshots until `done` holds for one, for at most `timeoutMs`;
    // when it never does, the last picture is kept to show why.
    template <class Done>
    bool WatchScreen(Done done, int timeoutMs) {
        const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
        Picture shot;
        while (plat::MonotonicMs() < deadline) {
            if (display_.Capture(&shot) && done(shot)) return true;
            usleep(150000);
        }
        Keep("tlxdownloader-timed-out.png");
        return false;
    }
    Picture Shot() {
        Picture shot;
        EXPECT_TRUE(display_.Capture(&shot));
        return shot;
    }

    // One of the skin's pictures, as the build rendered it.
    const Picture& Skin(const std::string& name) {
        auto found = skin_.find(name);
        if (found == skin_.end()) {
            Picture picture;
            EXPECT_TRUE(
                display_.LoadImage(std::string(ZK4_SKIN_DIR) + "/" + name + ".png", &picture))
                << "skin picture " << name;
            found = skin_.emplace(name, picture).first;
        }
        return found->second;
    }
    const Picture& Skin(int id) { return Skin(std::to_string(id)); }

    Pixel At(const Picture& shot, int x, int y) const { return shot.At(x_ + x, y_ + y); }

    // The share of `bitmap`'s pixels that the window shows at (`atX`,
    // `atY`), leaving out its transparent pixels and those under `skip`.
    double Match(const Picture& shot, const Picture& bitmap, int atX, int atY,
                 const std::vector<Rect>& skip = {}) const {
        int compared = 0;
        int matched = 0;
        for (int y = 0; y < bitmap.Height(); ++y)
            for (int x = 0; x < bitmap.Width(); ++x) {
                const Pixel want = bitmap.At(x, y);
                if (Magenta(want)) continue;
                bool skipped = false;
                for (const Rect& r : skip) skipped = skipped || Inside(r, atX + x, atY + y);
                if (skipped) continue;
                ++compared;
                if (NearPixel(At(shot, atX + x, atY + y), want, 6)) ++matched;
            }
        return compared ? static_cast<double>(matched) / compared : 0.0;
    }
    // The button shows `bitmap` (nearly every pixel).
    bool Shows(const Picture& shot, const Rect& button, int bitmap) {
        return Match(shot, Skin(bitmap), button.x, button.y) > 0.98;
    }
    // How far the bar is filled: the columns from x = 1 that show the fill
    // bitmap's top row (the text never reaches that row).
    int FillWidth(const Picture& shot, const Rect& bar) {
        const Picture& fill = Skin(gui::kBarFillBitmap);
        int width = 0;
        while (width < bar.width - 1 && NearPixel(At(shot, bar.x + 1 + width, bar.y + 1),
                                                  fill.At(width % fill.Width(), 0), 8))
            ++width;
        return width;
    }
    // The bar's centred text: pixels of the label colour in its middle.
    int TextInk(const Picture& shot, const Rect& bar) {
        int ink = 0;
        for (int y = bar.y + 2; y < bar.y + bar.height - 1; ++y)
            for (int x = bar.x + bar.width / 2 - 25; x < bar.x + bar.width / 2 + 25; ++x)
                if (LabelInk(At(shot, x, y))) ++ink;
        return ink;
    }
    int Count(const Picture& shot, const Rect& r, bool (*match)(Pixel)) const {
        int count = 0;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                if (match(At(shot, x, y))) ++count;
        return count;
    }
    bool HasText(const Picture& shot, const Rect& label) const {
        return Count(shot, label, Bright) > 0;
    }
    // The height of the graph's column for sample `index`.
    int ColumnHeight(const Picture& shot, int index) const {
        const Rect& g = gui::kSpeedGraphRect;
        const int x = g.x + GraphColumnX(index, g.width) + 1;
        int height = 0;
        while (height < g.height &&
               NearPixel(At(shot, x, g.y + g.height - 1 - height), Pixel{213, 186, 17}, 8))
            ++height;
        return height;
    }

    // Where the controls sit over the right-hand panel, left out when the
    // panel itself is compared.
    static std::vector<Rect> ControlRects() {
        return {gui::kFileLabelRect,    gui::kReceivedLabelRect,  gui::kTotalLabelRect,
                gui::kElapsedLabelRect, gui::kRemainingLabelRect, gui::kSpeedLabelRect,
                gui::kFolderLabelRect,  gui::kSpeedGraphRect,     gui::kCurrentFileBarRect,
                gui::kOverallBarRect,   gui::kFolderButtonRect,   gui::kStartStopButtonRect,
                gui::kRunButtonRect,    gui::kCloseButtonRect};
    }
    // The frame pieces sit at their points.
    void ExpectFrame(const Picture& shot) {
        EXPECT_GT(Match(shot, Skin(gui::kSkinTop), 0, 0), 0.99);
        EXPECT_GT(Match(shot, Skin(gui::kSkinBottom), 0, 416), 0.99);
        EXPECT_GT(Match(shot, Skin(gui::kSkinLeft), 0, 20), 0.99);
        EXPECT_GT(Match(shot, Skin(gui::kSkinRight), 363, 20, ControlRects()), 0.99);
    }

    XDisplay display_;
    TempFolder home_;
    TempFolder runtime_;
    ScopedEnv homeVariable_{"HOME", home_.Path().c_str()};
    ScopedEnv configVariable_{"XDG_CONFIG_HOME", (home_.Path() + "cfg").c_str()};
    // The single-instance lock and socket stay among this test's files.
    ScopedEnv runtimeVariable_{"XDG_RUNTIME_DIR", runtime_.Path().c_str()};
    ScopedEnv x11Only_{"GDK_BACKEND", "x11"};
    ScopedEnv noAccessibilityBus_{"NO_AT_BRIDGE", "1"};
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<ScopedEnv> patchServer_;
    std::string data_;
    ChildProcess program_;
    ChildProcess second_;
    std::string window_;
    std::map<std::string, Picture> skin_;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace

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
