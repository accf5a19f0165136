// Starting a resident helper program (the download engine) the way a desktop
// shell would: detached from the caller. The program runs in its own session
// with the default signal mask and dispositions (the caller's threads may
// block SIGINT and SIGTERM, and a child would otherwise inherit that and
// ignore them), its standard streams on /dev/null, and no descriptor of the
// caller's beyond them. It is reaped when it ends (ReapStartedPrograms).
//
// Any thread; the list of started programs has its own lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Starts `path` with no arguments. True with *pid set; false with *error the
// system's error number (ENOENT, EACCES, ENOEXEC, ...).
[[nodiscard]] bool StartDetachedProgram(const std::string& path, int* pid, int* error);
// The same with `arguments` after the program's path and `environment`
// ("NAME=value") set over the caller's own variables.
[[nodiscard]] bool StartDetachedProgram(const std::string& path,
                                        const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& environment, int* pid,
                                        int* error);
// Ends a started program: asked to stop, then killed once `graceMs` have
// passed; reaped. True when it had ended or was ended.
bool StopStartedProgram(int pid, int graceMs);
// Runs `path` with `arguments` and waits at most `timeoutMs` for it to end;
// its standard output, up to `maxOutput` bytes, goes to *output. True when it
// ended by itself with status 0 (a program still running at the deadline is
// killed).
[[nodiscard]] bool RunProgramForOutput(const std::string& path,
                                       const std::vector<std::string>& arguments, int timeoutMs,
                                       std::size_t maxOutput, std::string* output);

enum class ProgramReadiness {
    kListening,  // the program itself listens on 127.0.0.1:port
    kExited,     // the program ended first
    kTimedOut,   // neither within the wait
};

// Waits, in 50 ms steps and at most `timeoutMs`, until the program itself
// listens on the loopback port, or ends.
ProgramReadiness WaitUntilListening(int pid, std::uint16_t port, int timeoutMs);

// Collects every started program that has ended, so none is left a zombie.
void ReapStartedPrograms();

// The current user's home folder from the password database ("" when none).
std::string PasswordHomeFolder();

}  // namespace plat
