#include "transfers/recent_remote_sizes.h"

#include "transfers/http_exchange_cursor.h"

void CRecentRemoteSizes::Remember(const std::string& url, std::int64_t size, std::int64_t nowMs) {
    if (size >= 0 && !url.empty()) sizes_[url] = Learned{size, nowMs};
}

std::int64_t CRecentRemoteSizes::Recall(std::string_view urlField, std::int64_t nowMs) const {
    // The first alternative as the job's probe would ask it.
    const auto found = sizes_.find(SplitUrlAlternatives(std::string(urlField)).front());
    if (found == sizes_.end()) return -1;
    const std::int64_t age = nowMs - found->second.atMs;
    return age >= 0 && age <= kFreshMs ? found->second.size : -1;
}
