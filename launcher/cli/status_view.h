// StatusView: what the terminal program writes to standard output.
//
// On a terminal it keeps one status block at the bottom (file label,
// received / total, the two bars, speed, elapsed and remaining time) that
// is redrawn in place; other lines (message boxes, milestones) are written
// above it. Anywhere else (a pipe, a file) there is no block: each progress
// event becomes one plain line, so a log reads top to bottom.
#pragma once

#include <string>
#include <vector>

// The texts of the main window's labels and its two bars, as the
// controller last set them.
struct StatusSnapshot {
    std::string file;  // "name [n/count]"
    std::string received;
    std::string total;
    std::string speed;
    std::string elapsed;
    std::string remaining;
    int filePercent = 0;
    int totalPercent = 0;
};

class StatusView {
public:
    explicit StatusView(bool terminal) : terminal_(terminal) {}
    // Shows the cursor again if the block hid it.
    ~StatusView();
    StatusView(const StatusView&) = delete;
    StatusView& operator=(const StatusView&) = delete;

    bool Terminal() const { return terminal_; }

    // Writes `text` (which may hold line breaks) and ends it with one.
    void PrintLine(const std::string& text);
    // Writes `text` without a line break, for the user's answer to follow;
    // the block is drawn anew below the answer.
    void PrintPrompt(const std::string& text);
    // Terminal only: replaces the block drawn before with this one.
    void DrawBlock(const StatusSnapshot& status);
    // Terminal only: leaves the last block where it is; later lines follow it.
    void ReleaseBlock();
    // One line for a progress event (for output that is no terminal).
    void PrintProgressLine(const StatusSnapshot& status);

    // What puts the terminal back as it was (the cursor shown).
    static const char* RestoreSequence();

private:
    void Write(const std::string& bytes);
    void EraseBlock();
    void WriteBlock();

    const bool terminal_;
    std::vector<std::string> block_;
    bool blockOnScreen_ = false;
    bool cursorHidden_ = false;
};

// The block's lines for a terminal `columns` wide (each shorter than that,
// so none wraps and the block can be erased by counting its lines).
std::vector<std::string> FormatStatusBlock(const StatusSnapshot& status, int columns);
std::string FormatProgressLine(const StatusSnapshot& status);
