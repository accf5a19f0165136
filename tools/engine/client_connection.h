// One connection from the launcher: its socket buffers, the conversation's
// order (the service key first, then job modes, descriptions and commands)
// and the jobs described on it. Malformed or out-of-order input ends the
// connection; its jobs end with it, their partial files kept.
//
// Owned by the engine server; runs on the loop thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "engine_job.h"
#include "message_sink.h"
#include "messages.h"
#include "wire_codec.h"

namespace engine {

struct ConnectionContext {
    ITransferBackend* backend = nullptr;
    const FaultSwitches* faults = nullptr;
    EngineLog* log = nullptr;
    std::uint32_t* nextEngineJob = nullptr;  // shared by all connections
    std::function<void(std::uint64_t)> onBodyBytes;
};

class ClientConnection final : public IMessageSink {
public:
    // Takes ownership of the connected, non-blocking socket.
    ClientConnection(int fd, std::string peer, const ConnectionContext& context);
    ~ClientConnection() override;
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    int Fd() const { return fd_; }
    bool WantsWrite() const { return !output_.empty(); }
    // False once the connection must be closed (peer gone, bad input, send
    // failure, too much unsent output).
    bool Healthy() const { return healthy_; }

    void OnReadable();
    void OnWritable();
    // Progress reports, and removal of ended jobs.
    void Tick(std::int64_t nowMs);
    // After the service key: the network messages go to such connections.
    bool Introduced() const { return introduced_; }
    // A job is fetching over a real network (not only from this machine).
    bool NeedsNetwork() const;

    void Send(std::string frame) override;

private:
    // Handles one whole message; false on malformed or out-of-order input.
    bool Handle(const FrameHead& head, std::string_view payload);
    bool HandleDescription(JobDescription description);
    bool HandleSplit(const FrameHead& head, std::string_view payload);
    void HandleResumeAnswer(const ResumeAnswer& answer);
    EngineJob* FindJob(const JobRef& ref);
    void Flush();
    void Drop(const char* why);

    int fd_;
    std::string peer_;
    ConnectionContext context_;
    std::string input_;
    std::string output_;
    bool healthy_ = true;
    bool introduced_ = false;
    std::uint8_t nextMode_ = 1;
    // A description arriving in pieces (19, then 20 per file, then 21).
    std::optional<JobDescription> split_;
    // An answer given "for all" stands for later questions.
    std::optional<bool> standingAnswer_;
    std::map<std::uint32_t, std::unique_ptr<EngineJob>> jobs_;  // by engine job number
};

}  // namespace engine
