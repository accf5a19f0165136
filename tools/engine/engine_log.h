// The engine's own log: one line per event, "[" + local time as calendar
// text + "] " + the event, in config/engine.log beside the executable.
// Emptied once the engine holds its port, and capped, so a long-running
// engine cannot fill a disk. Lines written before Open wait in memory: an
// engine that finds its port taken (another engine still running) appends
// them instead of emptying the running one's log. Control characters in an
// event (names and texts from the network) are written as \xNN, so no
// event can forge another line.
//
// Single-threaded: only the engine's loop thread writes to it.
#pragma once

#include <cstddef>
#include <string>

namespace engine {

class EngineLog {
public:
    EngineLog() = default;
    ~EngineLog();
    EngineLog(const EngineLog&) = delete;
    EngineLog& operator=(const EngineLog&) = delete;

    // Creates the folder when needed, empties the file when `fresh` (else
    // appends to it) and writes the lines held so far; false when the file
    // cannot be opened (the engine then runs without a log). Only the first
    // call opens; later ones answer what it did.
    bool Open(const std::string& path, std::size_t maxBytes, bool fresh = true);
    // One printf-style line. Past the cap one last line says so and later
    // lines are dropped.
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    void Write(const std::string& line);

    static constexpr std::size_t kMaxHeldBytes = 64 * 1024;
    std::string held_;     // lines written before Open
    bool opened_ = false;  // Open was called (whatever it answered)
    int fd_ = -1;
    std::size_t written_ = 0;
    std::size_t maxBytes_ = 0;
    bool full_ = false;
};

// The log's path: "config/engine.log" in the folder of the path the engine
// was started by (`invokedAs`, argv[0], when absolute), else of the
// executable itself; "" when neither is known.
std::string DefaultLogPath(const char* invokedAs);

}  // namespace engine
