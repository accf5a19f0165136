// CRecentRemoteSizes: the remote sizes the file list's sum has just
// learned, for the job's own size check to take instead of asking again.
//
// The window sums the list's sizes (one request per file) and, usually
// moments later, starts the job, whose size check would ask the same
// servers about the same files once more. A size the sum learned at most
// kFreshMs ago counts as known for the job: it starts sooner and the
// servers answer one request per file fewer. Older sizes are asked for
// again. Nothing else changes: the free-space check covers every file of
// the job, and each transfer follows what its server sends.
//
// Keyed by the alternative that answered the sum; the job recalls by its
// field's first alternative, the one its probe would ask first, so a size
// the sum found elsewhere is asked for again. Only sizes a server announced
// are kept (an empty file's 0 among them). Each new sum forgets the sizes of the one before, so the
// record holds at most one file list.
//
// Owned by the job manager, which outlives both users; used under the
// service lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

class CRecentRemoteSizes {
public:
    static constexpr std::int64_t kFreshMs = 30000;

    void Remember(const std::string& url, std::int64_t size, std::int64_t nowMs);
    // The size learned for the URL field's first alternative at most
    // kFreshMs before `nowMs`; -1 when there is none.
    std::int64_t Recall(std::string_view urlField, std::int64_t nowMs) const;
    void Forget() { sizes_.clear(); }

private:
    struct Learned {
        std::int64_t size;
        std::int64_t atMs;
    };
    std::unordered_map<std::string, Learned> sizes_;
};
