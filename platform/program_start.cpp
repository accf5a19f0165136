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

namespace {

// posix_spawn with the detached program's settings; `stdoutFd` >= 0 takes
// the child's standard output.
bool Spawn(const std::string& path, const std::vector<std::string>& arguments,
           const std::vector<std::string>& environment, int stdoutFd, pid_t* child, int* error) {
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
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd == 1 && stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    std::vector<std::string> argumentCopies{path};
    argumentCopies.insert(argumentCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentCopies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // The caller's variables, those named in `environment` replaced.
    std::vector<std::string> variables = environment;
    for (char** e = environ; *e; ++e) {
        const std::string item = *e;
        const std::string name = item.substr(0, item.find('=') + 1);
        bool replaced = false;
        for (const std::string& given : environment) replaced = replaced || given.rfind(name, 0) == 0;
        if (!replaced) variables.push_back(item);
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int result =
        posix_spawn(child, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        *error = result;
        return false;
    }
    return true;
}

// Waits at most `timeoutMs` for the child to end; its status, or false.
bool WaitForEnd(pid_t pid, int timeoutMs, int* status) {
    const std::int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
    for (;;) {
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return false;
        if (MonotonicMs() >= deadline) return false;
        SleepMs(10);
    }
}

void Forget(pid_t pid) {
    std::lock_guard lock(g_startedMutex);
    g_started.erase(std::remove(g_started.begin(), g_started.end(), pid), g_started.end());
}

}  // namespace

bool StartDetachedProgram(const std::string& path, int* pid, int* error) {
    return StartDetachedProgram(path, {}, {}, pid, error);
}

bool StartDetachedProgram(const std::string& path, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, int* pid, int* error) {
    pid_t child = 0;
    if (!Spawn(path, arguments, environment, -1, &child, error)) return false;
    Remember(child);
    *pid = child;
    return true;
}

bool StopStartedProgram(int pid, int graceMs) {
    if (pid <= 0) return false;
    int status = 0;
    if (kill(pid, SIGTERM) != 0 && errno == ESRCH) {
        (void)waitpid(pid, &status, WNOHANG);
        Forget(pid);
        return true;
    }
    if (!WaitForEnd(pid, graceMs, &status)) {
        (void)kill(pid, SIGKILL);
        if (!WaitForEnd(pid, 5000, &status)) return false;
    }
    Forget(pid);
    return true;
}

bool RunProgramForOutput(const std::string& path, const std::vector<std::string>& arguments,
                         int timeoutMs, std::size_t maxOutput, std::string* output) {
    output->clear();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    pid_t child = 0;
    int error = 0;
    const bool started = Spawn(path, arguments, {}, pipeFds[1], &child, &error);
    close(pipeFds[1]);
    if (!started) {
        close(pipeFds[0]);
        return false;
    }
    const std::int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
    (void)fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    char buffer[4096];
    bool open = true;
    int status = 0;
    bool ended = false;
    while (MonotonicMs() < deadline) {
        if (open) {
            const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t room = maxOutput - std::min(maxOutput, output->size());
                output->append(buffer, std::min(room, static_cast<std::size_t>(n)));
                continue;
            }
            if (n == 0) open = false;
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            if (!open) break;
        }
        SleepMs(5);
    }
    close(pipeFds[0]);
    if (!ended) {
        (void)kill(child, SIGKILL);
        (void)WaitForEnd(child, 5000, &status);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
