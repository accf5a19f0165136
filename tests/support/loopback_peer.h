// The far end of loopback tests, written with plain blocking POSIX sockets so
// that it shares nothing with the code under test.
#pragma once

#include <string>

#include "platform/sockets.h"

// A listening socket on 127.0.0.1 at a port the kernel picks: its descriptor
// and *port, or -1 (with a test failure recorded) when any step fails, so a
// server that could not listen says so instead of leaving its test waiting.
int ListenOnLoopback(int backlog, int* port);

class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    plat::SockAddrIn Address() const;
    int Port() const { return port_; }
    // Accepts one connection (waiting at most 5 s); -1 on failure.
    int AcceptOne();

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback address on which nothing listens.
plat::SockAddrIn UnusedLoopbackPort();
// A free loopback port (host order) for a program that must bind it later
// (the engine): below the system's range for port-0 binds and outgoing
// connections, so that no other test's server or client is given it in the
// meantime. Falls back to UnusedLoopbackPort when none is found.
int UnusedFixedPort();
bool WriteAll(int fd, const std::string& data);
// Reads until `expected` bytes arrived or nothing came for 2 s; returns the count.
long DrainFor(int fd, long expected);
// Closes with an RST instead of a FIN.
void ResetAndClose(int fd);
