// The shell's start of a document or program with a verb (ShellExecuteEx).
// Linux has no elevation prompt, so "open" and "runas" both start the file
// as the current user:
//   - a program (a file that begins with "#!" or is an ELF image) is made
//     executable for its owner when it is not, then started directly, with
//     no arguments, in the caller's working folder;
//   - anything else goes to the desktop's opener, xdg-open.
// The started process inherits no descriptor beyond standard input, output
// and error, so it never holds the caller's sockets or locks.
#pragma once

#include <string>

namespace plat {

enum class ShellStartResult {
    kStarted,       // running, or ended with status 0 within the wait
    kBadVerb,       // a verb other than "open" or "runas"
    kNotFound,      // no such regular file
    kCannotStart,   // permissions could not be set or the process not created
    kFailedAtOnce,  // the process ended with a failure status within the wait
};

// Starts `path` and waits at most `idleWaitMs` for it to settle: the stand-in
// for waiting until the new process is idle. A process still running when
// the wait ends counts as started and is left to run on its own.
ShellStartResult ShellExecute(const std::string& path, const std::string& verb, int idleWaitMs);

// Programs arrive without the execute bit (a download, a file unpacked from
// an archive made on Windows): gives it to the owner of `path` when the file
// is one the kernel can run by itself ("#!" or ELF). False when it is not
// such a file or its mode cannot be changed.
[[nodiscard]] bool MakeRunnableByOwner(const std::string& path);

// The running program's own file (readlink of /proc/self/exe), or empty.
std::string ExecutablePath();
// The file another process of this user runs (its path even when the file
// has since been replaced), or empty when it cannot be looked into.
std::string ProcessExecutablePath(int pid);

}  // namespace plat
