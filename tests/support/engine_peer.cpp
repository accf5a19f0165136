#include "tests/support/engine_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/loopback_peer.h"
#include "transport/frame.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void PutU16(std::string* out, std::uint16_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>(v >> 8));
}

void PutU32(std::string* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutU64(std::string* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutFixed(std::string* out, const std::string& text, std::size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, '\0');
    out->append(field);
}

void PutFileFields(std::string* out, const LauncherFile& file) {
    out->push_back(1);  // first file option
    out->push_back(0);  // second file option
    PutU64(out, static_cast<std::uint64_t>(file.size));
    PutFixed(out, file.folder, 260);
    PutFixed(out, file.name, 260);
}

}  // namespace

EngineProcess::EngineProcess(std::string program) : program_(std::move(program)) {}

EngineProcess::~EngineProcess() {
    Stop();
}

bool EngineProcess::Start(const std::vector<std::string>& env) {
    executable_ = folder_.Path() + "TLXDownloadV32.exe";
    std::error_code error;
    std::filesystem::copy_file(program_, executable_,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) return false;
    chmod(executable_.c_str(), 0755);

    std::vector<std::string> variables;
    bool portGiven = false;
    for (const std::string& item : env)
        portGiven = portGiven || item.rfind("TLX_ENGINE_PORT=", 0) == 0;
    if (!portGiven) {
        port_ = UnusedFixedPort();
        variables.push_back("TLX_ENGINE_PORT=" + std::to_string(port_));
    }
    for (const std::string& item : env) {
        variables.push_back(item);
        if (item.rfind("TLX_ENGINE_PORT=", 0) == 0) port_ = std::atoi(item.c_str() + 16);
    }
    for (char** e = environ; *e; ++e) {
        const std::string item = *e;
        const std::string name = item.substr(0, item.find('='));
        bool overridden = false;
        for (const std::string& v : variables)
            overridden = overridden || v.rfind(name + "=", 0) == 0;
        if (!overridden && name.rfind("TLX_ENGINE_", 0) != 0) variables.push_back(item);
    }
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = launcher_;
    args.push_back(executable_);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, args.front().c_str(), &actions, nullptr, argv.data(),
                                    envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) pid_ = -1;
    return spawned == 0;
}

std::string EngineProcess::Log() const {
    return ReadFileText(folder_.Path() + "config/engine.log");
}

bool EngineProcess::WaitForLog(const std::string& text, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Log().find(text) != std::string::npos) return true;
        if (MsLeft(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool EngineProcess::WaitListening(int ms) {
    return WaitForLog("Listening on", ms);
}

bool EngineProcess::WaitForExit(int ms, int* status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return true;
        }
        if (MsLeft(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void EngineProcess::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

void EngineProcess::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitForExit(3000, &status) && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

EngineLink::~EngineLink() {
    Close();
}

void EngineLink::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool EngineLink::Connect(int port) {
    Close();
    input_.clear();
    closed_ = false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool EngineLink::Send(std::uint16_t subtype, const std::string& payload, std::uint16_t type) {
    std::vector<std::uint8_t> frame;
    if (nwBuildFrame(type, subtype, payload.data(), static_cast<std::uint32_t>(payload.size()),
                     &frame) != kLayerOk)
        return false;
    return SendRaw(std::string(frame.begin(), frame.end()));
}

bool EngineLink::SendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool EngineLink::Fill(int ms) {
    if (fd_ < 0 || closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    char buffer[64 * 1024];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    input_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool EngineLink::Receive(EngineFrame* frame, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (input_.size() >= kFrameHeaderSize) {
            const nwFrameHeader header = nwReadFrameHeader(input_.data());
            if (input_.size() >= kFrameHeaderSize + header.payloadLength) {
                frame->type = header.type;
                frame->subtype = header.subtype;
                frame->payload = input_.substr(kFrameHeaderSize, header.payloadLength);
                input_.erase(0, kFrameHeaderSize + header.payloadLength);
                return true;
            }
        }
        if (!Fill(MsLeft(deadline)) && (closed_ || MsLeft(deadline) == 0)) return false;
    }
}

bool EngineLink::ReceiveUntil(std::uint16_t subtype, EngineFrame* frame, int ms,
                              std::vector<EngineFrame>* others) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Receive(frame, MsLeft(deadline))) {
        if (frame->subtype == subtype) return true;
        if (others) others->push_back(*frame);
    }
    return false;
}

bool EngineLink::WaitClosed(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!closed_) {
        if (MsLeft(deadline) == 0) return false;
        Fill(MsLeft(deadline));
        input_.clear();
    }
    return true;
}

std::string ServiceKeyPayload(const std::string& key) {
    std::string out;
    PutFixed(&out, key, 260);
    return out;
}

std::string JobModePayload(std::uint8_t mode) {
    std::string out(17, '\0');
    out[0] = static_cast<char>(mode);
    return out;
}

std::string JobKeyPayload(std::uint32_t jobKey) {
    std::string out;
    PutU32(&out, jobKey);
    return out;
}

std::string JobHeadPayload(std::uint32_t jobKey, std::uint32_t fileCount, const std::string& key) {
    std::string out;
    PutU32(&out, jobKey);
    PutU32(&out, fileCount);
    PutFixed(&out, key, 33);
    return out;
}

std::string JobSubmitPayload(std::uint32_t jobKey, const std::string& key,
                             const std::vector<LauncherFile>& files) {
    std::string out = JobHeadPayload(jobKey, static_cast<std::uint32_t>(files.size()), key);
    for (const LauncherFile& file : files) {
        PutFileFields(&out, file);
        out.append(file.url);
        out.push_back('\0');
    }
    return out;
}

std::string JobSubmitFilePayload(std::uint32_t jobKey, std::uint32_t index,
                                 const LauncherFile& file) {
    std::string out;
    PutU32(&out, jobKey);
    PutU32(&out, index);
    PutFileFields(&out, file);
    PutU16(&out, static_cast<std::uint16_t>(file.url.size()));
    out.append(file.url);
    return out;
}

std::string CancelJobPayload(std::uint32_t jobKey, std::uint32_t engineJob) {
    std::string out;
    PutU32(&out, jobKey);
    PutU32(&out, engineJob);
    return out;
}

std::string ResumeAnswerPayload(std::uint32_t engineJob, std::uint32_t jobKey, bool continueEarlier,
                                bool applyToAll) {
    std::string out;
    PutU32(&out, engineJob);
    PutU32(&out, jobKey);
    out.push_back(continueEarlier ? 1 : 0);
    out.push_back(applyToAll ? 1 : 0);
    return out;
}

std::uint32_t PayloadU32(const std::string& payload, std::size_t offset) {
    if (offset + 4 > payload.size()) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(payload[offset + i]);
    return v;
}

std::uint64_t PayloadU64(const std::string& payload, std::size_t offset) {
    return PayloadU32(payload, offset) |
           (static_cast<std::uint64_t>(PayloadU32(payload, offset + 4)) << 32);
}

std::string PayloadText(const std::string& payload, std::size_t offset, std::size_t width) {
    if (offset >= payload.size()) return "";
    std::size_t limit = payload.size() - offset;
    if (width != 0 && width < limit) limit = width;
    const std::string field = payload.substr(offset, limit);
    return field.substr(0, field.find('\0'));
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}
