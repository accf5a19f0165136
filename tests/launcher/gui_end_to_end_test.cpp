// The window program end to end: a virtual X display (Xvfb), a real nginx
// with a small file list, the program started as a user would, driven by
// real input (xdotool) and watched through screenshots of the display.
// The screenshots are kept in the build folder for a person to look at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/gui/layout.h"
#include "platform/kernel.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

namespace {

using gui::Rect;
using gui::Rgb;

constexpr char kWindowTitle[] = "^ZK4 Downloader$";
constexpr char kListPath[] = "/download/zk4/tlxdownload/filelist.txt";

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string();
}

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

struct ToolResult {
    bool ended = false;
    int status = -1;
    std::vector<std::string> lines;
};

// Runs a helper program to its end, for at most `timeoutMs`.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   int timeoutMs = 10000) {
    ToolResult result;
    ChildProcess child;
    if (!child.Start(program, args)) return result;
    result.ended = child.WaitForExit(timeoutMs, &result.status);
    result.lines = child.Lines();
    return result;
}

// One picture of the whole display, read from ImageMagick's binary PPM.
class Screenshot {
public:
    bool Load(const std::string& ppmPath) {
        std::ifstream in(ppmPath, std::ios::binary);
        std::string magic;
        int maxValue = 0;
        in >> magic >> width_ >> height_ >> maxValue;
        in.get();
        if (magic != "P6" || maxValue != 255 || width_ <= 0 || height_ <= 0) return false;
        pixels_.resize(static_cast<std::size_t>(width_) * height_ * 3);
        in.read(pixels_.data(), static_cast<std::streamsize>(pixels_.size()));
        return in.gcount() == static_cast<std::streamsize>(pixels_.size());
    }

    Rgb At(int x, int y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return Rgb{0, 0, 0};
        const std::size_t i = (static_cast<std::size_t>(y) * width_ + x) * 3;
        return Rgb{static_cast<unsigned char>(pixels_[i]),
                   static_cast<unsigned char>(pixels_[i + 1]),
                   static_cast<unsigned char>(pixels_[i + 2])};
    }

    // Counts the pixels of `rect` (moved by the origin) that `match` accepts.
    template <class Match>
    int Count(const Rect& rect, int originX, int originY, Match match) const {
        int count = 0;
        for (int y = rect.y; y < rect.y + rect.height; ++y)
            for (int x = rect.x; x < rect.x + rect.width; ++x)
                if (match(At(originX + x, originY + y))) ++count;
        return count;
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<char> pixels_;
};

bool Same(Rgb a, Rgb b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

std::string Describe(Rgb c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// Label text is near white on the dark background; these are its glyph cores.
bool Bright(Rgb c) {
    return c.r > 200 && c.g > 200 && c.b > 200;
}

bool Yellow(Rgb c) {
    return c.r > 200 && c.g > 200 && c.b < 90;
}

class GuiEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        xvfb_ = FindProgram("Xvfb");
        xdotool_ = FindProgram("xdotool");
        import_ = FindProgram("import");
        if (xvfb_.empty() || xdotool_.empty() || import_.empty())
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick's import (tools/setup.sh)";
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";

        // Xvfb picks a free display itself and writes its number to stdout.
        ASSERT_TRUE(xserver_.Start(xvfb_, {"-displayfd", "1", "-screen", "0", "1024x768x24",
                                           "-nolisten", "tcp", "-noreset"}));
        ASSERT_TRUE(xserver_.WaitForLines(1, 15000)) << "Xvfb did not start";
        display_ = std::make_unique<ScopedEnv>("DISPLAY", (":" + xserver_.Lines()[0]).c_str());

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

    std::string DownloadFolder() const { return home_.Path() + "tovalen/ZK4/"; }

    // The main window once it shows: its id and where its client area is.
    bool WaitForWindow(int timeoutMs = 15000) {
        const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
        while (plat::MonotonicMs() < deadline) {
            const ToolResult found =
                RunTool(xdotool_, {"search", "--onlyvisible", "--name", kWindowTitle});
            if (found.ended && found.status == 0 && !found.lines.empty()) {
                window_ = found.lines.front();
                return ReadGeometry();
            }
            usleep(100000);
        }
        return false;
    }

    bool WindowVisible() {
        const ToolResult found =
            RunTool(xdotool_, {"search", "--onlyvisible", "--name", kWindowTitle});
        return found.ended && found.status == 0 && !found.lines.empty();
    }

    bool ReadGeometry() {
        const ToolResult geometry = RunTool(xdotool_, {"getwindowgeometry", "--shell", window_});
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

    // A press and release of the left button over a point of the client area.
    void Click(int x, int y) {
        const ToolResult click = RunTool(
            xdotool_,
            {"mousemove", "--window", window_, std::to_string(x), std::to_string(y), "click", "1"});
        ASSERT_TRUE(click.ended && click.status == 0);
    }
    void ClickCentre(const Rect& rect) { Click(rect.x + rect.width / 2, rect.y + rect.height / 2); }
    void Key(const std::string& window, const std::string& key) {
        ASSERT_TRUE(RunTool(xdotool_, {"windowfocus", window}).ended);
        const ToolResult press = RunTool(xdotool_, {"key", key});
        ASSERT_TRUE(press.ended && press.status == 0);
    }

    bool Capture(Screenshot* shot) {
        const std::string path = work_.Path() + "screen.ppm";
        const ToolResult taken =
            RunTool(import_, {"-silent", "-window", "root", "-depth", "8", path});
        return taken.ended && taken.status == 0 && shot->Load(path);
    }
    // Keeps a picture of the display in the build folder.
    void Keep(const std::string& name) {
        const ToolResult taken =
            RunTool(import_, {"-silent", "-window", "root", BuildFolder() + name});
        EXPECT_TRUE(taken.ended && taken.status == 0) << "screenshot " << name;
    }

    // Takes screenshots until `done` holds for one, for at most `timeoutMs`;
    // when it never does, the last picture is kept to show why.
    template <class Done>
    bool WatchScreen(Done done, int timeoutMs) {
        const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
        Screenshot shot;
        while (plat::MonotonicMs() < deadline) {
            if (Capture(&shot) && done(shot)) return true;
            usleep(150000);
        }
        Keep("tlxdownloader-timed-out.png");
        return false;
    }

    // Client-area helpers over one screenshot.
    Rgb Pixel(const Screenshot& shot, int x, int y) const { return shot.At(x_ + x, y_ + y); }
    // A button's face, inside its frame and away from its text.
    Rgb Face(const Screenshot& shot, const Rect& button) const {
        return Pixel(shot, button.x + 4, button.y + 4);
    }
    // Whether a bar is filled at `percent` of its width.
    bool FilledAt(const Screenshot& shot, const Rect& bar, int percent) const {
        return Same(Pixel(shot, bar.x + bar.width * percent / 100, bar.y + 3),
                    gui::colour::kBarFill);
    }
    bool HasText(const Screenshot& shot, const Rect& label) const {
        return shot.Count(label, x_, y_, Bright) > 0;
    }

    std::string xvfb_;
    std::string xdotool_;
    std::string import_;
    TempFolder home_;
    TempFolder runtime_;
    TempFolder work_;
    ScopedEnv homeVariable_{"HOME", home_.Path().c_str()};
    ScopedEnv configVariable_{"XDG_CONFIG_HOME", (home_.Path() + "cfg").c_str()};
    // The single-instance lock and socket stay among this test's files.
    ScopedEnv runtimeVariable_{"XDG_RUNTIME_DIR", runtime_.Path().c_str()};
    ScopedEnv x11Only_{"GDK_BACKEND", "x11"};
    ScopedEnv noAccessibilityBus_{"NO_AT_BRIDGE", "1"};
    ChildProcess xserver_;
    std::unique_ptr<ScopedEnv> display_;
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<ScopedEnv> patchServer_;
    std::string data_;
    ChildProcess program_;
    ChildProcess second_;
    std::string window_;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace

TEST_F(GuiEndToEndTest, StartShowsProgressThenCompletionEnablesRunWhichStartsTheInstaller) {
    ServeFiles();
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow()) << "no window titled ZK4 Downloader";
    EXPECT_EQ(width_, gui::kClientWidth);
    EXPECT_EQ(height_, gui::kClientHeight);

    // The size check has ended once the file label names the first file.
    ASSERT_TRUE(
        WatchScreen([&](const Screenshot& s) { return HasText(s, gui::kFileLabelRect); }, 20000))
        << "the file list and sizes never showed";
    Screenshot ready;
    ASSERT_TRUE(Capture(&ready));
    EXPECT_TRUE(Same(Face(ready, gui::kRunButtonRect), gui::colour::kButtonDisabled))
        << "Run must wait for the download; its face is "
        << Describe(Face(ready, gui::kRunButtonRect));
    EXPECT_TRUE(Same(Face(ready, gui::kFolderButtonRect), gui::colour::kButtonFace));
    EXPECT_FALSE(FilledAt(ready, gui::kOverallBarRect, 1));

    ClickCentre(gui::kStartStopButtonRect);
    // Part of the job has arrived: the overall bar is filled at its start
    // but not at its end, and the folder cannot be changed meanwhile.
    ASSERT_TRUE(WatchScreen(
        [&](const Screenshot& s) {
            return FilledAt(s, gui::kOverallBarRect, 1) && !FilledAt(s, gui::kOverallBarRect, 95);
        },
        20000))
        << "no progress was drawn";
    Keep("tlxdownloader-progress.png");
    Screenshot during;
    ASSERT_TRUE(Capture(&during));
    EXPECT_TRUE(Same(Face(during, gui::kFolderButtonRect), gui::colour::kButtonDisabled));
    EXPECT_TRUE(HasText(during, gui::kReceivedLabelRect));
    EXPECT_TRUE(HasText(during, gui::kSpeedLabelRect));

    ASSERT_TRUE(WatchScreen(
        [&](const Screenshot& s) {
            return Same(Face(s, gui::kRunButtonRect), gui::colour::kButtonFace);
        },
        30000))
        << "Run never became usable";
    Keep("tlxdownloader-finished.png");
    Screenshot done;
    ASSERT_TRUE(Capture(&done));
    EXPECT_TRUE(FilledAt(done, gui::kOverallBarRect, 98));
    EXPECT_GT(done.Count(gui::kSpeedLabelRect, x_, y_, Yellow), 0)
        << "the status line turns yellow once the job has finished";
    EXPECT_TRUE(Same(Face(done, gui::kStartStopButtonRect), gui::colour::kButtonDisabled));
    EXPECT_TRUE(ReadFile(DownloadFolder() + "data.pak") == data_);

    ClickCentre(gui::kRunButtonRect);
    int status = -1;
    ASSERT_TRUE(program_.WaitForExit(15000, &status)) << "the program did not end after Run";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(home_.Path() + "installer-ran"), "started\n");
}

TEST_F(GuiEndToEndTest, SecondStartIsRefusedAndRaisesTheRunningWindow) {
    ServeFiles();
    ASSERT_TRUE(program_.Start(ZK4_GUI_BIN, {}));
    ASSERT_TRUE(WaitForWindow());
    ASSERT_TRUE(
        WatchScreen([&](const Screenshot& s) { return HasText(s, gui::kFileLabelRect); }, 20000));

    // The folder button opens the browser, which Escape closes again.
    // The browser's title is not plain ASCII, which xdotool cannot match
    // by name; the program's windows share its class name.
    const auto visibleWindows = [&] {
        return RunTool(xdotool_, {"search", "--onlyvisible", "--classname", "^tlxdownloader$"})
            .lines.size();
    };
    const std::size_t withMain = visibleWindows();
    ClickCentre(gui::kFolderButtonRect);
    const std::int64_t browserDeadline = plat::MonotonicMs() + 10000;
    while (visibleWindows() <= withMain && plat::MonotonicMs() < browserDeadline) usleep(100000);
    ASSERT_GT(visibleWindows(), withMain) << "the folder browser did not open";
    Keep("tlxdownloader-folder-browser.png");
    ASSERT_TRUE(RunTool(xdotool_, {"key", "Escape"}).ended);
    const std::int64_t closeDeadline = plat::MonotonicMs() + 10000;
    while (visibleWindows() > withMain && plat::MonotonicMs() < closeDeadline) usleep(100000);
    ASSERT_EQ(visibleWindows(), withMain) << "the folder browser did not close";

    // Hidden, the running window has to be brought back by the second start.
    ASSERT_TRUE(RunTool(xdotool_, {"windowunmap", "--sync", window_}).ended);
    ASSERT_FALSE(WindowVisible());

    ASSERT_TRUE(second_.Start(ZK4_GUI_BIN, {"http://127.0.0.1:1/another-list.txt"}));
    std::string box;
    const std::int64_t boxDeadline = plat::MonotonicMs() + 15000;
    while (box.empty() && plat::MonotonicMs() < boxDeadline) {
        const ToolResult found =
            RunTool(xdotool_, {"search", "--onlyvisible", "--name", "^tlxdownloader$"});
        if (!found.lines.empty()) box = found.lines.front();
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
