// Sums the remote sizes of a job's files before the transfer: sizes already
// known are added up, the others are probed over HTTP by a size-probe pool
// of the size check's role (transfers/size_probe_pool.h), at most five at a
// time. Once every size is known the job as a whole must fit: for each file
// system its files go to, what they still need (remote size less what is
// already on disk) must not exceed its free space, else the check fails
// with 513. The result (or the first failure) goes to the direct downloader
// with the context it gave. Runs under the service lock; a failure report
// may delete the checker, so nothing touches it after reporting.
#pragma once

#include <memory>
#include <vector>

#include "service/base/job.h"
#include "transfers/recent_remote_sizes.h"
#include "transfers/size_check_listeners.h"
#include "transfers/size_probe_pool.h"

class CPlatformFileSizeChecker final : private ISizeProbePoolListener {
public:
    CPlatformFileSizeChecker(ICheckerEventListener* listener, void* context);
    ~CPlatformFileSizeChecker();

    // `keepOnDisk`: the transfer continues what is on disk, so only the rest
    // of each file needs room; false when every file starts over. A file
    // whose size `recent` holds (the file list's sum just learned it) counts
    // as known and is not probed again.
    void Check(const std::vector<std::unique_ptr<JobFileEntry>>& files, bool keepOnDisk = true,
               const CRecentRemoteSizes* recent = nullptr);
    // The remote size found for the file with `index` (-1 when unknown).
    std::int64_t RemoteSizeOf(std::int32_t index) const;
    void DetachListener() { listener_ = nullptr; }
    std::size_t RunningProbes() const { return static_cast<std::size_t>(pool_.Running()); }

private:
    // ISizeProbePoolListener
    void OnSizeFound(std::size_t slot, std::int64_t size, bool announced) override;
    void OnSizeFailed(std::size_t slot, const ExchangeFailure& failure) override;
    // Reports the totals, or 513 when the job does not fit.
    void Finish(const SizeTotals& totals);
    // The remaining bytes of every file against the free space of its file
    // system; the text of the first that does not fit, or "".
    std::string SpaceShortage() const;

    std::size_t finished_ = 0;
    std::vector<std::unique_ptr<JobFileEntry>> probes_;  // by the pool's slot
    CSizeProbePool pool_;
    std::vector<std::pair<std::int32_t, std::int64_t>> known_;  // index, size
    // Where each file goes, with its size: index, folder + name, size.
    struct Placement {
        std::string folder;
        std::string path;
        std::int64_t size;
    };
    std::vector<Placement> placements_;
    bool keepOnDisk_ = true;
    SizeTotals knownTotals_;
    ICheckerEventListener* listener_;
    void* context_;
};
