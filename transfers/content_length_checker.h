// CContentLengthChecker: sums the remote sizes of the file list's URLs,
// probing at most five of them at a time, and reports the total or
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
// The probes are a size-probe pool of the sum's role
// (transfers/size_probe_pool.h): at most five at once, each URL field's
// mirrors tried as the reaction table says for the sum.
//
// Each Start begins a new check from zero: the total, the counts and every
// probe start afresh. A check ends when every URL has a length (the
// listener hears OnLengthsKnown) or at the first URL that fails (the
// listener hears OnLengthCheckFailed, or OnLengthCheckAborted for an
// unreachable host; the lengths summed so far stay in the total). The URLs
// are forgotten when a check ends: the next check needs them added again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transfers/recent_remote_sizes.h"
#include "transfers/size_probe_pool.h"

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

class CContentLengthChecker final : private ISizeProbePoolListener, public IContentLengthTotal {
public:
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
    int Running() const { return pool_.Running(); }
    std::size_t SessionCount() const { return pool_.Count(); }

private:
    // ISizeProbePoolListener
    void OnSizeFound(std::size_t slot, std::int64_t size, bool announced) override;
    void OnSizeFailed(std::size_t slot, const ExchangeFailure& failure) override;

    std::int64_t total_ = 0;
    std::string failure_;
    int completed_ = 0;
    CSizeProbePool pool_;
    IContentLengthCheckerEventListener* listener_;
    CRecentRemoteSizes* recent_ = nullptr;
};
