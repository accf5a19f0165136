// A loopback server that plays a script per connection, for the faults a
// real server will not produce on demand: a head split across writes, a
// close mid-body, a stall, a reset, any status and headers. Plain blocking
// POSIX sockets on threads of its own.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptStep {
    enum Kind { kWaitRequest, kSend, kSleep, kClose, kReset, kStall } kind;
    std::string bytes;
    int ms = 0;

    // Reads until the end of a request head ("\r\n\r\n") and records it.
    static ScriptStep WaitRequest() { return {kWaitRequest, {}, 0}; }
    static ScriptStep Send(std::string bytes) { return {kSend, std::move(bytes), 0}; }
    static ScriptStep Sleep(int ms) { return {kSleep, {}, ms}; }
    static ScriptStep Close() { return {kClose, {}, 0}; }
    // Closes with an RST.
    static ScriptStep Reset() { return {kReset, {}, 0}; }
    // Keeps the connection open, silent, until the server goes.
    static ScriptStep Stall() { return {kStall, {}, 0}; }
};
using Script = std::vector<ScriptStep>;

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // The n-th connection plays the n-th script; the last script repeats.
    void AddScript(Script script);
    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // The request heads received, in arrival order.
    std::vector<std::string> Requests() const;
    int Connections() const { return connections_.load(); }

private:
    void AcceptLoop();
    void Play(int fd, const Script& script);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<Script> scripts_;
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};
