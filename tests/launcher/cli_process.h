// Runs the terminal program as a child process with an environment of the
// test's choosing, standard input from /dev/null (so no terminal: no
// questions, plain progress lines) and both output streams read without
// blocking. Every wait is bounded; a child still running at the end is
// killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

class CliProcess {
public:
    CliProcess() = default;
    ~CliProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseReaders();
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // `env` entries replace (or add to) the test's own environment.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env) {
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::map<std::string, std::string> merged;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::size_t equals = text.find('=');
            if (equals != std::string::npos)
                merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const auto& [name, value] : env) merged[name] = value;
        std::vector<std::string> envStrings;
        for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);

        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv = Pointers(argStrings);
        std::vector<char*> envp = Pointers(envStrings);
        const int result =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        fcntl(outFd_, F_SETFL, O_NONBLOCK);
        fcntl(errFd_, F_SETFL, O_NONBLOCK);
        if (result != 0) pid_ = -1;
        return result == 0;
    }

    // Reads until standard output holds `text`, at most `ms`.
    bool WaitForOutput(const std::string& text, int ms) {
        const auto deadline = Now() + std::chrono::milliseconds(ms);
        while (out_.find(text) == std::string::npos) {
            if (Now() >= deadline || (outFd_ < 0 && errFd_ < 0)) return false;
            Pump(50);
        }
        return true;
    }

    // The exit status (128 + the signal for a killed child), or -1 when it
    // still runs after `ms`. Output is read to its end.
    int WaitForExit(int ms) {
        const auto deadline = Now() + std::chrono::milliseconds(ms);
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Now() >= deadline) return -1;
            Pump(20);
        }
        // The child is gone; whatever it wrote is in the pipes (a program
        // it started may still hold them, so this is bounded too).
        const auto drainDeadline = Now() + std::chrono::seconds(5);
        while ((outFd_ >= 0 || errFd_ >= 0) && Now() < drainDeadline) Pump(20);
        CloseReaders();
        return status_;
    }

    void Signal(int signal) {
        if (pid_ > 0) kill(pid_, signal);
    }

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

private:
    static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

    static std::vector<char*> Pointers(std::vector<std::string>& strings) {
        std::vector<char*> pointers;
        for (std::string& s : strings) pointers.push_back(s.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    void Pump(int ms) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (poll(fds, 2, ms) <= 0) return;
        ReadFrom(&outFd_, &out_);
        ReadFrom(&errFd_, &err_);
    }

    static void ReadFrom(int* fd, std::string* into) {
        if (*fd < 0) return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(*fd, buffer, sizeof buffer);
            if (n > 0) {
                into->append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                close(*fd);
                *fd = -1;
            }
            return;
        }
    }

    void CloseReaders() {
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
        outFd_ = errFd_ = -1;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int status_ = -1;
    std::string out_;
    std::string err_;
};
