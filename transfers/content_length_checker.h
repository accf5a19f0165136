// CContentLengthChecker: sums the remote sizes of the file list's URLs,
// probing at most kMaxRunning of them at a time, and reports the total or
// the first failure to its listener (the job manager, which posts event 525
// or 526).
//
// How the launcher uses it, after event 522 with the list's URLs:
//
//     CContentLengthChecker* checker = manager->EnsureContentLengthChecker();
//     for (const std::string& url : urls) checker->AddUrl(url.c_str());
//     checker->Start();
//
// The job manager creates the checker on first use with itself as its
// listener, owns it from then on and reads its total for GetRemainingBytes.
//
// Thread: AddUrl and Start are called on the user-interface
// thread and take the service lock themselves; the probes' events and the
// checker's reactions run on the worker thread under the same lock, which
// is therefore the checker's only lock.
//
// Each Start begins a new check from zero: the total, the counts and every
// session start afresh. A check ends when every URL has a length (the
// listener hears OnLengthsKnown) or at the first URL that fails (the
// listener hears OnLengthCheckFailed, or OnLengthCheckAborted for an
// unreachable host; the lengths summed so far stay in the total). The URLs
// are forgotten when a check ends: the next check needs them added again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transfers/content_length_check_session.h"
#include "transfers/recent_remote_sizes.h"

// What the checker reports to its owner (the job manager, which posts event
// 525 or 526). Calls arrive with the service lock held.
class IContentLengthCheckerEventListener {
public:
    virtual void OnLengthsKnown() = 0;
    virtual void OnLengthCheckFailed() = 0;
    virtual void OnLengthCheckAborted() = 0;

protected:
    ~IContentLengthCheckerEventListener() = default;
};

// What the job manager needs of the content-length checker: the sum it
// has found so far.
class IContentLengthTotal {
public:
    virtual ~IContentLengthTotal() = default;
    virtual std::int64_t TotalBytes() const = 0;
    // Why the last check failed: the file and the cause; "" when it did not.
    virtual std::string FailureText() const { return {}; }
};

class CContentLengthChecker final : public IContentLengthCheckSessionEventListener,
                                    public IContentLengthTotal {
public:
    static constexpr int kMaxRunning = 5;

    // `listener` is not owned and must outlive the checker.
    explicit CContentLengthChecker(IContentLengthCheckerEventListener* listener);
    // Closes every session still probing; no report follows.
    ~CContentLengthChecker() override;
    CContentLengthChecker(const CContentLengthChecker&) = delete;
    CContentLengthChecker& operator=(const CContentLengthChecker&) = delete;

    // Adds one URL field (alternatives separated by "|"); nothing is fetched
    // yet. A URL added while a check runs joins that check. Answers 512.
    int AddUrl(const char* url);
    // Starts a check over the URLs added; without any, reports a total of 0
    // at once.
    void Start();
    // Where each length found is also recorded, for the job's size check
    // (not owned; null: nowhere). Each Start forgets what it held.
    void SetRecentSizes(CRecentRemoteSizes* recent) { recent_ = recent; }

    // IContentLengthTotal: the sum of the lengths found by the last check.
    std::int64_t TotalBytes() const override { return total_; }
    std::string FailureText() const override { return failure_; }

    int Completed() const { return completed_; }
    int Running() const { return running_; }
    std::size_t SessionCount() const { return sessions_.size(); }

    // IContentLengthCheckSessionEventListener
    void OnLength(std::int32_t index, std::int64_t length) override;
    void OnProbeFailed(std::int32_t index, const char* url) override;
    void OnProbeUnreachable(std::int32_t index) override;

private:
    // Starts sessions in order while fewer than kMaxRunning run.
    void StartMore();
    // Ends the check: closes every session and resets the counts.
    void EndCheck();

    std::int64_t total_ = 0;
    std::string failure_;
    int completed_ = 0;
    std::size_t next_ = 0;
    int running_ = 0;
    std::vector<std::unique_ptr<CContentLengthCheckSession>> sessions_;
    // Sessions of an ended check: a check ends from inside a session's own
    // event, so they are deleted at the next AddUrl or Start instead.
    std::vector<std::unique_ptr<CContentLengthCheckSession>> retired_;
    // Counts ended checks, so that a loop starting sessions notices when one
    // of them ended the check under it.
    std::uint64_t generation_ = 0;
    IContentLengthCheckerEventListener* listener_;
    CRecentRemoteSizes* recent_ = nullptr;
};
