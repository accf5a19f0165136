// CPlatformSession downloads the files of one job to disk, one after the
// other, over HTTP with a "Range" request. Each file's URL field may hold
// alternatives separated by "|"; every alternative gets three attempts
// before the next, and after the last the session gives up.
//
// Files are continued, never corrupted: opening keeps the bytes on disk and
// asks for the rest. A 206 that starts where we asked is appended; a 206
// starting elsewhere, or a 200 to a ranged request, starts the file over
// from byte 0. A 416 completes the file only when the bytes on disk are
// exactly its remote size; otherwise the file starts over. Bytes on disk
// beyond the known remote size start the file over too. The running byte
// total follows every one of these steps exactly.
//
// The connection runs under its own receive budget: 104857600 B/s with the
// speed flag set, 393216 B/s without.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "platform/file_handle.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/connection_recipe.h"
#include "transfers/platform_session_listener.h"

class CPlatformSession final : public nwIHttpClientExEventListener {
public:
    static constexpr int kAttemptsPerUrl = 3;
    static constexpr std::uint32_t kTimeoutSeconds = 3;
    static constexpr std::uint32_t kFastBudget = 104857600;
    static constexpr std::uint32_t kNormalBudget = 393216;

    CPlatformSession(IPlatFormSessionEventListener* listener, void* context);
    ~CPlatformSession();

    void SetSpeedFlag(std::int32_t flag) { speedFlag_ = flag; }
    // Copies the job's files (those with a URL, folder and local name) and
    // starts with the first. `remoteSize` gives the size found by the size
    // check for a file index (-1 when unknown).
    void Begin(const std::vector<std::unique_ptr<JobFileEntry>>& files,
               const std::function<std::int64_t(std::int32_t)>& remoteSize);
    void DetachListener() { listener_ = nullptr; }
    // Ends the session's work: no further report, connection dropped, file
    // closed. Safe from inside the session's own callbacks.
    void Stop();

    std::int64_t RunningTotal() const { return runningTotal_; }
    const SessionFile* CurrentFile() const {
        return current_ < files_.size() ? &files_[current_] : nullptr;
    }
    const std::vector<SessionFile>& Files() const { return files_; }
    const std::string& CurrentUrl() const { return currentUrl_; }

    void OnConnected(std::uint32_t) override {}
    void OnHeaderReceived(std::uint32_t) override;
    std::int32_t OnBodyData(std::uint32_t, const void* data, std::int32_t length) override;
    void OnComplete(std::uint32_t) override;
    void OnSendReady(std::uint32_t) override {}
    void OnClosed(std::uint32_t) override;
    void OnConnectFailed(std::uint32_t) override;
    void OnIdleTimeout(std::uint32_t) override;
    void OnHostUnreachable(std::uint32_t) override {}

private:
    void SelectFile(std::size_t index);
    void Request(bool resetAttempts);
    bool OpenFile(SessionFile& file);
    void CloseFile();
    // Throws away what is on disk of the current file: the next byte
    // written is byte 0.
    bool RestartFile();
    void NextFile();
    void Retry();
    void Fail(const std::string& logFormat);
    void CloseConnection();

    std::size_t current_ = 0;
    vzSmartPtr connection_;
    ReceiveBudgetCarry budgetCarry_;
    int attempts_ = 0;
    std::int32_t speedFlag_ = 1;
    std::int64_t runningTotal_ = 0;
    plat::File file_;
    std::size_t alternative_ = 0;
    std::string currentUrl_;
    std::string openPath_;
    std::vector<SessionFile> files_;
    std::vector<std::int64_t> knownSizes_;
    std::vector<std::string> alternatives_;
    std::int64_t requestedOffset_ = 0;
    bool writeFailed_ = false;
    bool stopped_ = false;
    IPlatFormSessionEventListener* listener_;
    void* context_;
};
