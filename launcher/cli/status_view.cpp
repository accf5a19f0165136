#include "launcher/cli/status_view.h"

#include "launcher/cli/terminal_text.h"
#include "platform/text.h"
#include "platform/text_fit.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// Cuts UTF-8 text to at most `limit` terminal columns (a Chinese character
// takes two), so that no line wraps.
std::string Clip(const std::string& text, int limit) {
    const std::u16string wide = plat::AnsiToWide(text);
    int columns = 0;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        // The half of a surrogate pair is counted with its other half.
        if (wide[i] >= 0xDC00 && wide[i] <= 0xDFFF) continue;
        columns += plat::TerminalColumnsOf(wide.substr(i, wide[i] >= 0xD800 && wide[i] <= 0xDBFF ? 2 : 1));
        if (columns > limit) return plat::WideToAnsi(wide.substr(0, i));
    }
    return text;
}

// The file's line within `limit` columns: a long name loses its middle,
// never its "[n/m]".
std::string FitFileLine(const std::string& line, int limit) {
    return plat::WideToAnsi(plat::FitMiddleKeepingTail(
        plat::AnsiToWide(line), limit,
        [](const std::u16string& text) { return plat::TerminalColumnsOf(text); }));
}

std::string Bar(int percent, int width) {
    const int filled = std::clamp(percent, 0, 100) * width / 100;
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '-') + "]";
}

std::string Percent(int percent) {
    char text[8];
    std::snprintf(text, sizeof text, "%3d%%", std::clamp(percent, 0, 100));
    return text;
}

}  // namespace

std::vector<std::string> FormatStatusBlock(const StatusSnapshot& status, int columns) {
    const int barWidth = std::clamp(columns - 16, 10, 40);
    std::vector<std::string> lines = {
        "  " + FitFileLine(EscapeForTerminal(status.file, false), std::max(columns - 3, 1)),
        "  " + status.received + " / " + status.total,
        "  file  " + Bar(status.filePercent, barWidth) + " " + Percent(status.filePercent),
        "  total " + Bar(status.totalPercent, barWidth) + " " + Percent(status.totalPercent),
        "  " + status.speed + "   elapsed " + status.elapsed + "   remaining " + status.remaining,
    };
    for (std::string& line : lines) line = Clip(line, std::max(columns - 1, 1));
    return lines;
}

std::string FormatProgressLine(const StatusSnapshot& status) {
    return "progress: " + EscapeForTerminal(status.file, false) + "  " + status.received + " / " + status.total + "  file " +
           std::to_string(status.filePercent) + "%  total " + std::to_string(status.totalPercent) +
           "%  " + status.speed + "  elapsed " + status.elapsed + "  remaining " + status.remaining;
}

StatusView::~StatusView() {
    if (cursorHidden_) Write(kShowCursor);
}

const char* StatusView::RestoreSequence() {
    return kShowCursor;
}

void StatusView::PrintLine(const std::string& text) {
    EraseBlock();
    Write(EscapeForTerminal(text) + "\n");
    if (blockOnScreen_) WriteBlock();
}

void StatusView::PrintPrompt(const std::string& text) {
    EraseBlock();
    blockOnScreen_ = false;
    Write(EscapeForTerminal(text));
}

void StatusView::DrawBlock(const StatusSnapshot& status) {
    if (!terminal_) return;
    EraseBlock();
    block_ = FormatStatusBlock(status, TerminalColumns());
    if (!cursorHidden_) {
        Write(kHideCursor);
        cursorHidden_ = true;
    }
    blockOnScreen_ = true;
    WriteBlock();
}

void StatusView::ReleaseBlock() {
    block_.clear();
    blockOnScreen_ = false;
    if (cursorHidden_) {
        Write(kShowCursor);
        cursorHidden_ = false;
    }
}

void StatusView::PrintProgressLine(const StatusSnapshot& status) {
    PrintLine(FormatProgressLine(status));
}

void StatusView::EraseBlock() {
    if (!blockOnScreen_ || block_.empty()) return;
    // Up to the block's first line, then clear everything below.
    Write("\x1b[" + std::to_string(block_.size()) + "A\r\x1b[J");
}

void StatusView::WriteBlock() {
    std::string bytes;
    for (const std::string& line : block_) bytes += line + "\n";
    Write(bytes);
}

void StatusView::Write(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}
