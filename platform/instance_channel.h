// The local socket through which a second start of the program asks the
// running one to bring its window forward. The running instance (the one
// that holds the single-instance lock) listens on a Unix socket in
// plat::RuntimeFolder() named after the instance name; a second start
// connects, sends one request line and waits briefly for the answer.
// Nothing here depends on the window toolkit.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace plat {

// The socket's path for an instance name; short enough for a socket address
// whatever the name's length.
std::string InstanceSocketPath(const std::string& instanceName);

// Listens for raise requests on its own thread. Only the holder of the
// single-instance lock may start it: it replaces whatever socket file a
// crashed earlier holder left behind.
class RaiseRequestServer {
public:
    RaiseRequestServer() = default;
    ~RaiseRequestServer();
    RaiseRequestServer(const RaiseRequestServer&) = delete;
    RaiseRequestServer& operator=(const RaiseRequestServer&) = delete;

    // `onRaise` runs on the server's thread for every request; it must only
    // hand the work over to the user-interface thread. False when the
    // socket cannot be made (the program then runs without it).
    bool Start(const std::string& instanceName, std::function<void()> onRaise);
    // Stops listening, waits for the thread and removes the socket file.
    void Stop();

private:
    void Serve();

    std::function<void()> onRaise_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

// Asks the running instance to raise its window; true when it confirmed
// within `timeoutMs`.
bool RequestRaise(const std::string& instanceName, int timeoutMs);

}  // namespace plat
