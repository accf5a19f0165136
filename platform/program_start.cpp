#include "platform/program_start.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/kernel.h"
#include "platform/shell_execute.h"
#include "platform/socket_owner.h"

extern char** environ;

namespace plat {
namespace {

std::mutex g_startedMutex;
std::vector<pid_t> g_started;

void Remember(pid_t pid) {
    std::lock_guard lock(g_startedMutex);
    g_started.push_back(pid);
}

}  // namespace

bool StartDetachedProgram(const std::string& path, int* pid, int* error) {
    // An engine unpacked from its update archive has no execute bit yet; a
    // file that is no program is left alone and fails below.
    (void)MakeRunnableByOwner(path);
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) {
        *error = ENOMEM;
        return false;
    }
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        *error = ENOMEM;
        return false;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    // Every signal back to its default, those the caller handles or ignores
    // included (SIGPIPE, SIGINT, SIGTERM).
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    std::string file = path;
    char* argv[] = {file.data(), nullptr};
    pid_t child = 0;
    int result = posix_spawn(&child, file.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        *error = result;
        return false;
    }
    Remember(child);
    *pid = child;
    return true;
}

ProgramReadiness WaitUntilListening(int pid, std::uint16_t port, int timeoutMs) {
    const std::int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
    for (;;) {
        // The program's own socket, not any listener of this user: another
        // program (or an engine that is ending) may hold the port, and the
        // one just started then fails to listen and ends.
        if (ProcessListensOnLoopback(pid, port)) return ProgramReadiness::kListening;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::lock_guard lock(g_startedMutex);
            g_started.erase(std::remove(g_started.begin(), g_started.end(), pid), g_started.end());
            return ProgramReadiness::kExited;
        }
        if (MonotonicMs() >= deadline) return ProgramReadiness::kTimedOut;
        SleepMs(50);
    }
}

void ReapStartedPrograms() {
    std::lock_guard lock(g_startedMutex);
    g_started.erase(std::remove_if(g_started.begin(), g_started.end(),
                                   [](pid_t pid) {
                                       int status = 0;
                                       pid_t done = waitpid(pid, &status, WNOHANG);
                                       return done == pid || (done < 0 && errno == ECHILD);
                                   }),
                    g_started.end());
}

std::string PasswordHomeFolder() {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found ||
        !found->pw_dir)
        return {};
    return found->pw_dir;
}

}  // namespace plat
