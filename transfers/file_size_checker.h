// Sums the remote sizes of a job's files before the transfer: sizes already
// known are added up, the others are probed over HTTP, at most five at a
// time. The result (or the first failure) goes to the direct downloader
// with the context it gave. Runs under the service lock; a failure report
// may delete the checker, so nothing touches it after reporting.
#pragma once

#include <list>
#include <memory>
#include <vector>

#include "service/base/job.h"
#include "transfers/file_size_check_session.h"
#include "transfers/size_check_listeners.h"

class CPlatformFileSizeChecker final : public IPlatformFileSizeCheckSessionEventListener {
public:
    static constexpr std::size_t kParallelProbes = 5;

    CPlatformFileSizeChecker(ICheckerEventListener* listener, void* context);
    ~CPlatformFileSizeChecker();

    void Check(const std::vector<std::unique_ptr<JobFileEntry>>& files);
    // The remote size found for the file with `index` (-1 when unknown).
    std::int64_t RemoteSizeOf(std::int32_t index) const;
    void DetachListener() { listener_ = nullptr; }
    std::size_t RunningProbes() const { return running_.size(); }

    void OnProbeDone(CPlatformFileSizeCheckSession* session) override;
    void OnProbeFailed(CPlatformFileSizeCheckSession* session, int code,
                       const std::string& text) override;

private:
    void ProbeNext();

    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    std::vector<std::unique_ptr<JobFileEntry>> probes_;
    std::list<std::unique_ptr<CPlatformFileSizeCheckSession>> running_;
    std::vector<std::pair<std::int32_t, std::int64_t>> known_;  // index, size
    SizeTotals knownTotals_;
    ICheckerEventListener* listener_;
    void* context_;
};
