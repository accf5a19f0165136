// Waits for a condition with a bound, never for ever: every test that waits
// on another thread or process goes through here.
#pragma once

#include <chrono>
#include <thread>

// Checks `done` every few milliseconds for at most `timeoutMs`; returns its
// last value.
template <class Predicate>
bool WaitFor(Predicate done, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
