// CPlatformSession downloads the files of one job to disk, one after the
// other, over HTTP with a "Range" request. Each file is one exchange of the
// file role (transfers/http_exchange.h): its URL field may hold
// alternatives separated by "|", every alternative gets three requests, a
// redirect included, before the next, and the reaction to each failure is
// the table's (transfers/http_outcome.h); after the last alternative the
// session gives up.
//
// Files are continued, never corrupted, and never thrown away without a
// replacement: opening keeps the bytes on disk and asks for the rest. A 206
// whose Content-Range starts exactly there (and agrees with its length) is
// appended; any other 206 is a failed attempt, and the next request asks
// for the whole file without "Range". Bytes on disk are discarded only when
// a whole replacement body arrives: a 200 (to a request without Range, or
// one the server sent instead of a range). A 416 completes the file only
// when the bytes on disk are exactly its size (an empty file's 416 "*/0"
// included); otherwise the next request asks for the whole file. Bytes on disk beyond the known size, and a job
// whose resume answer is "start over", ask for the whole file as well. A
// file is complete only when it holds exactly its size. A response whose
// body is not the file (a content coding) or does not announce its size is
// a failed attempt. The running byte total follows every one of these steps
// exactly.
//
// On a kept connection the files overlap a little: while the server answers
// for one file, the next is opened (created, mostly); and the last piece of
// a body (one read's worth, at most the receive buffer) is held until the
// next file's request has left, then written, the file closed and reported.
// A file is reported complete only once all of it is on disk, the notices
// keep the order of the files, and a session that ends early removes the
// file it made ahead and never began.
//
// The connection runs under its own receive budget: 104857600 B/s with the
// speed flag set, 393216 B/s without (transfers/transfer_policy.h); and
// under the low-speed watchdog.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_exchange.h"
#include "transfers/platform_session_listener.h"

class CPlatformSession final : private IHttpExchangeSink {
public:
    static constexpr std::uint32_t kTimeoutSeconds = 3;

    CPlatformSession(IPlatFormSessionEventListener* listener, void* context);
    ~CPlatformSession();

    void SetSpeedFlag(std::int32_t flag);
    // The job's resume answer was "start over": every file is fetched whole
    // and replaces what is on disk.
    void SetStartOver(bool startOver) { startOver_ = startOver; }
    // Copies the job's files (those with a URL, folder and local name) and
    // starts with the first. `remoteSize` gives the size found by the size
    // check for a file index (-1 when unknown); `replacedBefore` (optional)
    // names the files an earlier session of the same job already began
    // afresh, which a start-over answer no longer concerns.
    void Begin(const std::vector<std::unique_ptr<JobFileEntry>>& files,
               const std::function<std::int64_t(std::int32_t)>& remoteSize,
               const std::function<bool(std::int32_t)>& replacedBefore = {});
    void DetachListener() { listener_ = nullptr; }
    // Ends the session's work: no further report, connection dropped, file
    // closed. Safe from inside the session's own callbacks.
    void Stop();

    std::int64_t RunningTotal() const { return runningTotal_; }
    // What this run has written over all files (the sum of runWritten),
    // kept as it goes: progress asks for it on every piece of body.
    std::int64_t RunWritten() const { return runWritten_; }
    const SessionFile* CurrentFile() const {
        return current_ < files_.size() ? &files_[current_] : nullptr;
    }
    const std::vector<SessionFile>& Files() const { return files_; }
    const std::string& CurrentUrl() const { return exchange_.Url(); }

private:
    // IHttpExchangeSink: each request for the current file opens it and
    // asks for what it lacks; its opened-ahead successor is opened once the
    // request has left.
    bool OnRequest(HttpHeaders* headers) override;
    void OnSent() override { OpenAhead(); }
    HeadVerdict OnHead(const ExchangeHead& head) override;
    std::int32_t OnBody(const void* data, std::int32_t length) override;
    void OnEnd() override;
    void OnFailed(const ExchangeFailure& failure) override;

    void SelectFile(std::size_t index);
    // Starts the current file's exchange.
    void Request();
    // Makes `file` the open file: the one opened ahead when it is that one,
    // else opened now.
    bool OpenFile(SessionFile& file);
    // Opens `file`'s partial file keeping its bytes (transfers/part_file.h),
    // making its folder when that is missing; *path gets the partial file's
    // path either way. 0, or the system's error.
    static int OpenPath(const SessionFile& file, plat::File& into, std::string* path, bool* moved);
    // The whole file at `partPath` gets its final name; false with *error.
    static bool GiveFinalName(const std::string& partPath, int* error);
    // While the server answers for the current file, the file after it is
    // opened (created, mostly), so that its request leaves as soon as the
    // current file is done: on a kept connection, creating a file costs as
    // much as the server's answer.
    void OpenAhead();
    // Closes `file` (at `path`, then cleared): removed when opening it made
    // it and nothing was written to it, put back under its final name when
    // it was moved from there (`moved`) and nothing was written.
    static void CloseUnbegun(plat::File& file, std::string& path, bool moved);
    // Closes the file opened ahead the same way: a session that ends early
    // leaves no empty file it never got to.
    void DropAhead();
    void CloseFile();
    // Throws away what is on disk of the current file: the next byte
    // written is byte 0. Only for a whole body that has begun to arrive.
    bool RestartFile();
    HeadVerdict OnStatusOk(std::int64_t length);
    HeadVerdict OnPartialContent(vzIHttpClientExLayer* layer, std::int64_t length);
    HeadVerdict OnRangeNotSatisfiable(vzIHttpClientExLayer* layer);
    // The current file is complete once its held last piece is on disk. The
    // next file's request leaves first when that file is open already, so
    // the server answers it while this thread writes, closes and reports the
    // finished one.
    void NextFile();
    // Writes the held last piece of the current body into `file`; false
    // with `*error` set when the disk refused it.
    bool WriteHeldTail(plat::File& file, int* error);
    // Counts `length` bytes written to file `index`.
    void CountWritten(std::size_t index, std::int64_t length);
    // Writing (or naming) `path` failed: the session ends with the job's
    // error.
    void OnWriteFailed(int error, const std::string& url, const std::string& path,
                       const char* failedTo = "writing");
    // Ends the session with `reason` for the last URL, after the log line.
    void Fail(const std::string& logFormat, const std::string& url, const std::string& reason,
              bool passing = false);
    std::int64_t HeldOfCurrent() const;

    std::size_t current_ = 0;
    ReceiveBudgetCarry budgetCarry_;
    CHttpExchange exchange_;
    std::size_t requestAlternative_ = 0;
    std::int32_t speedFlag_ = 1;
    bool startOver_ = false;
    std::int64_t runningTotal_ = 0;
    std::int64_t runWritten_ = 0;
    plat::File file_;
    std::string openPath_;
    bool openMoved_ = false;   // file_ was moved from its final name
    bool aheadMoved_ = false;  // so was aheadFile_
    std::string openFailure_;  // why the current file could not be opened
    static constexpr std::size_t kNoFile = static_cast<std::size_t>(-1);
    plat::File aheadFile_;
    std::size_t aheadIndex_ = kNoFile;
    std::string aheadPath_;
    std::vector<SessionFile> files_;
    std::vector<std::int64_t> knownSizes_;
    // What the current request asked for: the whole file, or from an offset.
    bool wholeFile_ = false;
    std::int64_t requestedOffset_ = 0;
    // The current response replaces the file: truncate before its first byte.
    bool replacing_ = false;
    // Body bytes of the current response still to come, and its last piece
    // once it has come: written after the next request has left.
    std::int64_t bodyLeft_ = 0;
    std::string heldTail_;
    // While the next request leaves ahead of the finished file's report, a
    // failure it meets is told after that report (the order of the job's
    // notices stays that of the files).
    bool holdFailure_ = false;
    struct HeldFailure {
        std::string text;
        bool passing = false;
    };
    std::optional<HeldFailure> heldFailure_;
    bool writeFailed_ = false;
    bool stopped_ = false;
    IPlatFormSessionEventListener* listener_;
    void* context_;
};
