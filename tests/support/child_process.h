// A helper program run by a test as a child process, with its stdout read
// line by line without blocking, so that a test can keep pumping its own
// message loop while it waits for the child's output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    // Stops the child (Stop) when it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args`; stdin and stderr are inherited. False
    // when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // Reads whatever stdout holds now and returns every complete line so far
    // (without the newline). Never blocks.
    const std::vector<std::string>& Lines();
    // Waits for at least `count` lines, at most `ms`; for waits that need no
    // message loop.
    bool WaitForLines(std::size_t count, int ms);
    // Waits at most `ms` for the child to end, reading its output meanwhile
    // so that a full pipe cannot hold it up; true when it has ended, with
    // its exit status in `*status` (128 + the signal when a signal ended it).
    bool WaitForExit(int ms, int* status);
    // SIGTERM, then SIGKILL when it has not ended within 2 s; reaps it.
    void Stop();

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
};
