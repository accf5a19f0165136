// The fixture of the window program's end-to-end test: a virtual X
// display, nginx with a file list (and a banner when asked), the program,
// and the screen read back and compared with the rendered skin.
#pragma once

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

namespace gui_test {

using gui::Rect;

// The title; while a job runs its percent stands before it ("42% - ...").
constexpr char kWindowTitle[] = "ZK4 Downloader$";
constexpr char kListPath[] = "/download/zk4/tlxdownload/filelist.txt";
constexpr char kBannerPath[] = "/download/zk4/tlxdownload/ZK4_TW.gif";
// The two frames of the served banner.
constexpr Pixel kBannerFirst{51, 102, 204};
constexpr Pixel kBannerSecond{204, 102, 51};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder that holds bin/tlxdownloader.
inline std::string BuildFolder() {
    std::string bin = ZK4_GUI_BIN;
    bin.erase(bin.rfind('/'));
    return bin.substr(0, bin.rfind('/') + 1);
}

inline bool Magenta(Pixel p) {
    return p.r == 255 && p.g == 0 && p.b == 255;
}

inline bool Bright(Pixel p) {
    return p.r > 200 && p.g > 200 && p.b > 200;
}

// Label text is RGB(239, 239, 239); these are its glyph cores.
inline bool LabelInk(Pixel p) {
    return NearPixel(p, Pixel{239, 239, 239}, 12);
}

inline bool Yellow(Pixel p) {
    return p.r > 200 && p.g > 200 && p.b < 90;
}

inline bool Inside(const Rect& r, int x, int y) {
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
    // Pixels that differ between two shots inside `r`.
    int Differing(const Picture& a, const Picture& b, const Rect& r) const {
        int count = 0;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                if (!NearPixel(At(a, x, y), At(b, x, y), 2)) ++count;
        return count;
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

}  // namespace gui_test
