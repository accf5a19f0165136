// SignalWatcher: turns SIGINT and SIGTERM into a stop request on the main
// loop's queue, so that the program stops its job and the service the same
// way as on any other end. A second signal while that stop is under way
// ends the process at once (with 128 + the signal), for a user who does not
// want to wait.
//
// The handler only writes the signal's number to a pipe; a thread reads it
// and calls `onSignal` from there. Handlers (unlike ignored signals and
// blocked masks) do not survive exec, so the installer started later runs
// with the default reactions.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

class SignalWatcher {
public:
    // `restoreTerminal` is written to standard output before a forced end
    // (empty when standard output is no terminal).
    SignalWatcher(std::function<void(int signal)> onSignal, const char* restoreTerminal);
    // Puts the previous handlers back and ends the thread.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // False when the pipe could not be made; signals then keep their
    // default effect.
    bool Start();

private:
    void Watch();

    std::function<void(int)> onSignal_;
    std::thread thread_;
    bool started_ = false;
};

// Blocks SIGINT and SIGTERM for the calling thread while it lives, so that
// threads started meanwhile (the service's) never take them: only the main
// thread and the watcher's pipe ever see the signals.
class ScopedStopSignalsBlocked {
public:
    ScopedStopSignalsBlocked();
    ~ScopedStopSignalsBlocked();
    ScopedStopSignalsBlocked(const ScopedStopSignalsBlocked&) = delete;
    ScopedStopSignalsBlocked& operator=(const ScopedStopSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};
