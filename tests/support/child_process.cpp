#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        pid_ = -1;
        close(pipeFds[0]);
        return false;
    }
    stdoutFd_ = pipeFds[0];
    fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
    return true;
}

const std::vector<std::string>& ChildProcess::Lines() {
    char buffer[4096];
    ssize_t n = 0;
    while (stdoutFd_ >= 0 && (n = read(stdoutFd_, buffer, sizeof buffer)) > 0) {
        partial_.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t end = 0;
    while ((end = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
    return lines_;
}

bool ChildProcess::WaitForLines(std::size_t count, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Lines().size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || stdoutFd_ < 0) return false;
        pollfd p{stdoutFd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
}

bool ChildProcess::WaitForExit(int ms, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            Lines();
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        Lines();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ChildProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 200 && !reaped; ++i) {
            reaped = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!reaped) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
}
