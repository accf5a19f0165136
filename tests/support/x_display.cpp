#include "tests/support/x_display.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

bool NearPixel(Pixel a, Pixel b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

std::string DescribePixel(Pixel p) {
    return "(" + std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b) + ")";
}

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

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   int timeoutMs) {
    ToolResult result;
    ChildProcess child;
    if (!child.Start(program, args)) return result;
    result.ended = child.WaitForExit(timeoutMs, &result.status);
    result.lines = child.Lines();
    return result;
}

bool Picture::LoadPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> width_ >> height_ >> maxValue;
    in.get();
    // A bounded size: a broken file must not ask for gigabytes.
    if (magic != "P6" || maxValue != 255 || width_ <= 0 || height_ <= 0 || width_ > 8192 ||
        height_ > 8192)
        return false;
    pixels_.resize(static_cast<std::size_t>(width_) * height_ * 3);
    in.read(reinterpret_cast<char*>(pixels_.data()), static_cast<std::streamsize>(pixels_.size()));
    return in.gcount() == static_cast<std::streamsize>(pixels_.size());
}

Pixel Picture::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return Pixel{0, 0, 0};
    const std::size_t i = (static_cast<std::size_t>(y) * width_ + x) * 3;
    return Pixel{pixels_[i], pixels_[i + 1], pixels_[i + 2]};
}

bool XDisplay::ToolsAvailable() {
    return !FindProgram("Xvfb").empty() && !FindProgram("xdotool").empty() &&
           !FindProgram("import").empty() && !FindProgram("convert").empty();
}

XDisplay::XDisplay()
    : xvfb_(FindProgram("Xvfb")),
      xdotool_(FindProgram("xdotool")),
      import_(FindProgram("import")),
      convert_(FindProgram("convert")) {
    char folder[] = "/tmp/zk4-xdisplay-XXXXXX";
    if (mkdtemp(folder)) scratch_ = folder;
}

XDisplay::~XDisplay() {
    server_.Stop();
    if (!scratch_.empty()) {
        for (const char* name : {"/screen.ppm", "/image.ppm"}) unlink((scratch_ + name).c_str());
        rmdir(scratch_.c_str());
    }
}

bool XDisplay::Start() {
    if (xvfb_.empty() || scratch_.empty()) return false;
    // Xvfb picks a free display itself and writes its number to stdout.
    if (!server_.Start(xvfb_, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                               "-noreset"}))
        return false;
    if (!server_.WaitForLines(1, 15000)) return false;
    display_ = std::make_unique<ScopedEnv>("DISPLAY", (":" + server_.Lines()[0]).c_str());
    return true;
}

bool XDisplay::Do(const std::vector<std::string>& args) {
    const ToolResult done = RunTool(xdotool_, args);
    return done.ended && done.status == 0;
}

std::string XDisplay::FindWindow(const std::string& pattern) {
    const ToolResult found = RunTool(xdotool_, {"search", "--onlyvisible", "--name", pattern});
    if (!found.ended || found.status != 0 || found.lines.empty()) return std::string();
    return found.lines.front();
}

bool XDisplay::Click(const std::string& window, int x, int y) {
    return Do(
        {"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
}

bool XDisplay::MoveTo(const std::string& window, int x, int y) {
    return Do({"mousemove", "--window", window, std::to_string(x), std::to_string(y)});
}

bool XDisplay::Capture(Picture* picture) {
    const std::string path = scratch_ + "/screen.ppm";
    const ToolResult taken = RunTool(import_, {"-silent", "-window", "root", "-depth", "8", path});
    return taken.ended && taken.status == 0 && picture->LoadPpm(path);
}

bool XDisplay::Keep(const std::string& path) {
    const ToolResult taken = RunTool(import_, {"-silent", "-window", "root", path});
    return taken.ended && taken.status == 0;
}

bool XDisplay::LoadImage(const std::string& path, Picture* picture) {
    const std::string out = scratch_ + "/image.ppm";
    // The first frame only; alpha is dropped (the skin keys on a colour).
    const ToolResult done = RunTool(convert_, {path + "[0]", "-depth", "8", "ppm:" + out});
    return done.ended && done.status == 0 && picture->LoadPpm(out);
}
