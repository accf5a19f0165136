// cpCIdleConnectionPool: open connections waiting for their next exchange,
// filed by the server they are open to (a key their users make, such as
// "https://host:443").
//
// A user parks a connection whose last exchange left it clean and takes one
// back for its next exchange with the same server, so a job of many small
// files costs one TCP (and TLS) set-up instead of one per request. What
// "clean" means is the user's business: Take asks `fitness` about each
// candidate, skips one that will be fit later (it is still reading the end
// of its last answer) and lets go of one that never will. The pool keeps at most kMaxIdle
// connections (a newer one pushes out the oldest) and closes one that has
// waited kIdleSeconds ticks of the bandwidth controller, well inside any
// server's keep-alive time, so that idle sockets neither hold connection
// slots nor wait for the server to close them. One the server closed while
// it waited is simply let go.
//
// Owned by the bandwidth controller (cpCQoS), which ticks it and empties it
// at the end of the service. Every call needs the service lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/base/vz_smart_ptr.h"

class vzIQoSContext;

class cpCIdleConnectionPool {
public:
    static constexpr std::size_t kMaxIdle = 16;
    static constexpr std::uint32_t kIdleSeconds = 3;

    enum class Fitness { kReady, kLater, kNever };
    using FitnessCheck = std::function<Fitness(vzIQoSContext*)>;

    cpCIdleConnectionPool() = default;
    cpCIdleConnectionPool(const cpCIdleConnectionPool&) = delete;
    cpCIdleConnectionPool& operator=(const cpCIdleConnectionPool&) = delete;
    ~cpCIdleConnectionPool();

    // Files `connection` (a vzIQoSContext) under `key` as of tick `now`. A
    // connection that is no longer open is let go instead.
    void Park(const std::string& key, vzSmartPtr connection, std::uint32_t now);
    // The connection parked last under `key` that is still open and ready
    // by `fitness`; empty when there is none. Candidates that will never be
    // ready, and closed ones met on the way, are closed and let go.
    [[nodiscard]] vzSmartPtr Take(const std::string& key, const FitnessCheck& fitness);
    // Closes what has waited kIdleSeconds by tick `now`; lets go of what the
    // servers closed.
    void OnSecondTick(std::uint32_t now);
    // Closes and releases everything (the service ends).
    void CloseAll();

    std::size_t Size() const { return idle_.size(); }
    // How many parked under `key` are still open.
    std::size_t OpenFor(const std::string& key) const;

private:
    struct Entry {
        std::string key;
        vzSmartPtr connection;
        std::uint32_t since = 0;
    };
    static bool IsOpen(const vzSmartPtr& connection);
    // Closes the connection (unless it is closed already) and hands it to
    // the deferred-release collector: a call chain of it may still be on
    // the stack.
    static void LetGo(vzSmartPtr connection);

    std::vector<Entry> idle_;  // oldest first
};
