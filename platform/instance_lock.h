// The stand-in for a named mutex that only keeps a second instance out: an
// advisory lock (flock) on a file in RuntimeFolder() (system_folders.h). The
// kernel drops the lock when the process ends, however it ends, and the
// file descriptor is closed on exec, so a program started from here (the
// installer) never keeps the lock alive after the downloader is gone.
#pragma once

#include <string>
#include <string_view>

namespace plat {

class InstanceLock {
public:
    enum class State {
        kNone,           // Acquire not called yet
        kAcquired,       // this process holds the name
        kHeldElsewhere,  // another process holds it ("already exists")
        kFailed,         // the lock file could not be opened or locked
    };

    InstanceLock() = default;
    // Releases the name.
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the name without waiting. Any text is a valid name: it is turned
    // into a file name that is safe and short (see LockFilePath).
    State Acquire(std::string_view name);
    State Current() const { return state_; }

    // The lock file for a name: readable characters kept, others replaced,
    // and a hash of the whole name appended so distinct names never share
    // a file even when cut short.
    static std::string LockFilePath(std::string_view name);

private:
    int fd_ = -1;
    State state_ = State::kNone;
};

}  // namespace plat
