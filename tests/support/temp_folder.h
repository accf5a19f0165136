// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
#pragma once

#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, ending with "/".
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Waits for `done` to become true, checking every few milliseconds, for at
// most `timeoutMs`; returns its last value.
template <class Predicate>
bool WaitFor(Predicate done, int timeoutMs = 5000);

#include <chrono>
#include <thread>

template <class Predicate>
bool WaitFor(Predicate done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
