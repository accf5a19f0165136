// The engine's own log: one line per event, "[" + local time as calendar
// text + "] " + the event, in config/engine.log beside the executable.
// Emptied at start and capped, so a long-running engine cannot fill a disk.
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

    // Creates the folder when needed and empties the file; false when the
    // file cannot be opened (the engine then runs without a log).
    bool Open(const std::string& path, std::size_t maxBytes);
    // One printf-style line. Past the cap one last line says so and later
    // lines are dropped.
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    int fd_ = -1;
    std::size_t written_ = 0;
    std::size_t maxBytes_ = 0;
    bool full_ = false;
};

// The log's path for the running executable: the folder of /proc/self/exe,
// then "config/engine.log"; "" when the executable's path is unknown.
std::string DefaultLogPath();

}  // namespace engine
