#include "platform/shell_execute.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/kernel.h"

extern char** environ;

namespace plat {
namespace {

// Whether the file is something the kernel can run by itself.
bool IsProgramFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[4] = {};
    ssize_t n;
    do {
        n = read(fd, head, sizeof head);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
    return n == 4 && std::memcmp(head,
                                 "\x7f"
                                 "ELF",
                                 4) == 0;
}

bool Spawn(const char* file, char* const argv[], bool searchPath, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    int result = searchPath ? posix_spawnp(pid, file, &actions, nullptr, argv, environ)
                            : posix_spawn(pid, file, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0;
}

ShellStartResult WaitToSettle(pid_t pid, int idleWaitMs) {
    const std::int64_t deadline = MonotonicMs() + (idleWaitMs > 0 ? idleWaitMs : 0);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            return ok ? ShellStartResult::kStarted : ShellStartResult::kFailedAtOnce;
        }
        if (done < 0 && errno != EINTR) return ShellStartResult::kStarted;
        if (MonotonicMs() >= deadline) return ShellStartResult::kStarted;
        SleepMs(20);
    }
}

}  // namespace

ShellStartResult ShellExecute(const std::string& path, const std::string& verb, int idleWaitMs) {
    if (verb != "open" && verb != "runas") return ShellStartResult::kBadVerb;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return ShellStartResult::kNotFound;

    // Never let a name be taken for an option or looked up in PATH.
    std::string file = path[0] == '/' ? path : "./" + path;
    pid_t pid = 0;
    if (IsProgramFile(path)) {
        if (!MakeRunnableByOwner(path)) return ShellStartResult::kCannotStart;
        char* argv[] = {file.data(), nullptr};
        if (!Spawn(file.c_str(), argv, false, &pid)) return ShellStartResult::kCannotStart;
    } else {
        char opener[] = "xdg-open";
        char* argv[] = {opener, file.data(), nullptr};
        if (!Spawn(opener, argv, true, &pid)) return ShellStartResult::kCannotStart;
    }
    return WaitToSettle(pid, idleWaitMs);
}

bool MakeRunnableByOwner(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !IsProgramFile(path)) return false;
    return (st.st_mode & S_IXUSR) || chmod(path.c_str(), st.st_mode | S_IXUSR) == 0;
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string ProcessExecutablePath(int pid) {
    if (pid <= 0) return {};
    char buffer[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    // A program whose file was replaced (an updated engine) keeps running
    // from the old one, which the kernel marks so.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path;
}

}  // namespace plat
