#include "launcher/cli/signal_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

int g_pipe[2] = {-1, -1};
std::atomic_flag g_stopping = ATOMIC_FLAG_INIT;
const char* g_restoreTerminal = "";
std::size_t g_restoreLength = 0;
struct sigaction g_previousInt;
struct sigaction g_previousTerm;
struct sigaction g_previousPipe;

// Runs on whatever thread the kernel picked: only async-signal-safe calls.
void OnStopSignal(int signal) {
    if (g_stopping.test_and_set()) {
        if (g_restoreLength > 0) {
            [[maybe_unused]] ssize_t ignored =
                write(STDOUT_FILENO, g_restoreTerminal, g_restoreLength);
        }
        _exit(128 + signal);
    }
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t ignored = write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

// A closed reader of our output must not kill the program; a handler
// rather than SIG_IGN, because an ignored signal stays ignored in the
// installer we start.
void OnBrokenPipe(int) {}

void Install(int signal, void (*handler)(int), struct sigaction* previous) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, previous);
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal, const char* restoreTerminal)
    : onSignal_(std::move(onSignal)) {
    g_restoreTerminal = restoreTerminal ? restoreTerminal : "";
    g_restoreLength = std::strlen(g_restoreTerminal);
}

bool SignalWatcher::Start() {
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return false;
    thread_ = std::thread([this] { Watch(); });
    Install(SIGINT, OnStopSignal, &g_previousInt);
    Install(SIGTERM, OnStopSignal, &g_previousTerm);
    Install(SIGPIPE, OnBrokenPipe, &g_previousPipe);
    started_ = true;
    return true;
}

SignalWatcher::~SignalWatcher() {
    if (!started_) return;
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    sigaction(SIGPIPE, &g_previousPipe, nullptr);
    const unsigned char end = 0;
    [[maybe_unused]] ssize_t ignored = write(g_pipe[1], &end, 1);
    thread_.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void SignalWatcher::Watch() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || byte == 0) return;
        onSignal_(byte);
    }
}

ScopedStopSignalsBlocked::ScopedStopSignalsBlocked() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &saved_);
}

ScopedStopSignalsBlocked::~ScopedStopSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}
