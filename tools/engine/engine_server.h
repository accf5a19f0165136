// The engine's loop: the listening socket on 127.0.0.1, the launcher's
// connections, the transfer back end's sockets and timers, and the stop
// signal, all on one thread. Ends when told to stop or after the idle time
// with no connection.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "client_connection.h"
#include "engine_config.h"
#include "network_watch.h"
#include "transfer_backend.h"

namespace engine {

class EngineLog;

class EngineServer {
public:
    // `stopFd` becomes readable when the engine must end (a signal's pipe).
    EngineServer(const EngineConfig& config, EngineLog* log, ITransferBackend* backend, int stopFd);
    ~EngineServer();
    EngineServer(const EngineServer&) = delete;
    EngineServer& operator=(const EngineServer&) = delete;

    // Binds and listens; false (logged) when the port is taken.
    [[nodiscard]] bool Listen();
    // Runs until stopped or idle; the process's exit code.
    int Run();

private:
    void Accept();
    void CountBodyBytes(std::uint64_t count);
    void CheckNetwork();

    EngineConfig config_;
    EngineLog* log_;
    ITransferBackend* backend_;
    int stopFd_;
    int listenFd_ = -1;
    std::uint32_t nextEngineJob_ = 1;
    std::uint64_t bodyBytes_ = 0;
    NetworkWatch network_;
    std::vector<std::unique_ptr<ClientConnection>> connections_;
};

}  // namespace engine
