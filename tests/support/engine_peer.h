// The far end of the download engine program in tests: a private copy of
// the program run as a child (so that its log, beside the executable, is
// the test's own), and a launcher-side connection that speaks the engine
// link through the service's own frame functions, so that the engine's
// codec and the service's are checked against each other.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_folder.h"

class EngineProcess {
public:
    // `program`: the built engine, copied into a fresh folder at Start.
    explicit EngineProcess(std::string program);
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // Starts the copy with stdio on /dev/null and the test's environment
    // plus `env` ("NAME=value"); TLX_ENGINE_PORT is set to a free loopback
    // port unless `env` names one. False when it cannot be started.
    bool Start(const std::vector<std::string>& env = {});
    // Before Start: the engine is started through `launcher`, a command that
    // runs its arguments in place (unshare without --fork, sh's exec).
    void RunThrough(std::vector<std::string> launcher) { launcher_ = std::move(launcher); }
    // Waits until the log says the engine listens (or it ended).
    bool WaitListening(int ms = 5000);
    bool WaitForLog(const std::string& text, int ms = 5000);
    std::string Log() const;
    // True when it has ended within `ms`, with its exit status in *status
    // (128 + the signal when a signal ended it).
    bool WaitForExit(int ms, int* status);
    void Signal(int signal);
    // SIGTERM, then SIGKILL after 3 s; reaps it.
    void Stop();

    int Port() const { return port_; }
    const std::string& Executable() const { return executable_; }
    // The folder of the copy, ending with "/".
    const std::string& Folder() const { return folder_.Path(); }

private:
    std::string program_;
    TempFolder folder_;
    std::string executable_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::vector<std::string> launcher_;
};

struct EngineFrame {
    std::uint16_t type = 0;
    std::uint16_t subtype = 0;
    std::string payload;  // padding included
};

// A blocking loopback connection with bounded waits.
class EngineLink {
public:
    EngineLink() = default;
    ~EngineLink();
    EngineLink(const EngineLink&) = delete;
    EngineLink& operator=(const EngineLink&) = delete;

    bool Connect(int port);
    void Close();
    // Builds the frame with the service's frame functions.
    bool Send(std::uint16_t subtype, const std::string& payload, std::uint16_t type = 0x0100);
    bool SendRaw(const std::string& bytes);
    // The next whole frame within `ms`; false on time-out or end of stream.
    bool Receive(EngineFrame* frame, int ms = 5000);
    // Frames until one of `subtype` (kept in *frame); the others in *others.
    bool ReceiveUntil(std::uint16_t subtype, EngineFrame* frame, int ms = 10000,
                      std::vector<EngineFrame>* others = nullptr);
    // True when the engine closes the connection within `ms` (frames that
    // arrive meanwhile are dropped).
    bool WaitClosed(int ms = 5000);
    bool Closed() const { return closed_; }

private:
    bool Fill(int ms);

    int fd_ = -1;
    std::string input_;
    bool closed_ = false;
};

// The launcher's side of the messages, written as the service lays them out.
struct LauncherFile {
    std::string folder;
    std::string name;
    std::string url;
    std::int64_t size = -1;
};
std::string ServiceKeyPayload(const std::string& key);
std::string JobModePayload(std::uint8_t mode);
std::string JobKeyPayload(std::uint32_t jobKey);
std::string JobHeadPayload(std::uint32_t jobKey, std::uint32_t fileCount, const std::string& key);
std::string JobSubmitPayload(std::uint32_t jobKey, const std::string& key,
                             const std::vector<LauncherFile>& files);
std::string JobSubmitFilePayload(std::uint32_t jobKey, std::uint32_t index,
                                 const LauncherFile& file);
std::string CancelJobPayload(std::uint32_t jobKey, std::uint32_t engineJob);
std::string ResumeAnswerPayload(std::uint32_t engineJob, std::uint32_t jobKey, bool continueEarlier,
                                bool applyToAll);

// Field readers for the engine's answers; out-of-range reads give 0 / "".
std::uint32_t PayloadU32(const std::string& payload, std::size_t offset);
std::uint64_t PayloadU64(const std::string& payload, std::size_t offset);
// The text at `offset` up to its zero byte (within `width`, or the payload).
std::string PayloadText(const std::string& payload, std::size_t offset, std::size_t width = 0);

// Reads a whole file ("" when absent).
std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);
