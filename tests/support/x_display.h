// Tests of windows under a virtual X display: Xvfb started on a display it
// picks itself, real input through xdotool, and pictures of the screen
// (ImageMagick's import) or of image files (convert) read as RGB pixels.
// Every helper program run is bounded in time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scoped_env.h"

struct Pixel {
    unsigned char r;
    unsigned char g;
    unsigned char b;
};

inline bool SamePixel(Pixel a, Pixel b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
// Every channel within `tolerance` of the other's.
bool NearPixel(Pixel a, Pixel b, int tolerance);
std::string DescribePixel(Pixel p);

// The path of `name` on PATH, or "" when there is none.
std::string FindProgram(const std::string& name);

struct ToolResult {
    bool ended = false;
    int status = -1;
    std::vector<std::string> lines;
};
// Runs a helper program to its end, for at most `timeoutMs`.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   int timeoutMs = 10000);

// An RGB picture: a screenshot or a decoded image file.
class Picture {
public:
    // A binary PPM (P6, 8 bits).
    bool LoadPpm(const std::string& path);
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Black outside the picture.
    Pixel At(int x, int y) const;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<unsigned char> pixels_;
};

class XDisplay {
public:
    // True when Xvfb, xdotool, import and convert are installed.
    static bool ToolsAvailable();

    XDisplay();
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // Starts Xvfb (1024 x 768 x 24) and points DISPLAY at it.
    bool Start();

    const std::string& Xdotool() const { return xdotool_; }
    // `xdotool args...`; true when it ran and succeeded.
    bool Do(const std::vector<std::string>& args);
    // The first visible window whose name matches `pattern`, or "".
    std::string FindWindow(const std::string& pattern);
    // Left-click at a point of `window`'s client area.
    bool Click(const std::string& window, int x, int y);
    bool MoveTo(const std::string& window, int x, int y);

    // The whole screen.
    bool Capture(Picture* picture);
    // Keeps the screen as a PNG at `path`.
    bool Keep(const std::string& path);
    // Decodes an image file (PNG, GIF) into a picture.
    bool LoadImage(const std::string& path, Picture* picture);

private:
    std::string xvfb_;
    std::string xdotool_;
    std::string import_;
    std::string convert_;
    std::string scratch_;
    ChildProcess server_;
    std::unique_ptr<ScopedEnv> display_;
};
