#include "transport/host_cache.h"

#include <algorithm>

#include "platform/kernel.h"
#include "platform/resolver.h"
#include "transport/cp_mutex.h"

namespace {

// A stamp later than `now` means the calendar clock was set back. Its age is
// then unknown and it counts as old; otherwise a host that failed to resolve
// would stay unresolved for as long as the clock was moved back.
bool AtLeastElapsed(std::int64_t now, std::int64_t stamp, std::int64_t seconds) {
    return now < stamp || now - stamp >= seconds;
}

bool RecentlyFailed(const cpHostAddressRecord& record, std::int64_t now) {
    if (record.good != 0 || record.failureTime == 0 || now < record.failureTime) return false;
    return now - record.failureTime <= cpCHostCache::kFailureMemorySeconds;
}

bool Holds(const std::vector<cpHostAddressRecord>& list, std::uint32_t addressNet) {
    return std::any_of(list.begin(), list.end(), [addressNet](const cpHostAddressRecord& r) {
        return r.addressNet == addressNet;
    });
}

}  // namespace

std::string cpCHostCache::MakeKey(const std::string& host, std::uint16_t port) {
    return host + ":" + std::to_string(port);
}

cpHostCacheEntry* cpCHostCache::FindEntry(const std::string& host, std::uint16_t port) {
    auto found = entries_.find(MakeKey(host, port));
    return found == entries_.end() ? nullptr : &found->second;
}

const cpHostCacheEntry* cpCHostCache::Find(const std::string& host, std::uint16_t port) const {
    auto found = entries_.find(MakeKey(host, port));
    return found == entries_.end() ? nullptr : &found->second;
}

cpHostAddressRecord* cpCHostCache::FindRecord(const std::string& host, std::uint16_t port,
                                              std::uint32_t addressNet, cpHostCacheEntry** entry) {
    *entry = FindEntry(host, port);
    if (*entry == nullptr) return nullptr;
    auto& list = (*entry)->addresses;
    auto found = std::find_if(list.begin(), list.end(), [addressNet](const cpHostAddressRecord& r) {
        return r.addressNet == addressNet;
    });
    return found == list.end() ? nullptr : &*found;
}

bool cpCHostCache::Lookup(const std::string& host, std::uint16_t port, std::uint32_t* addressNet) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    *addressNet = 0;
    auto [slot, created] = entries_.try_emplace(MakeKey(host, port));
    cpHostCacheEntry& entry = slot->second;
    if (created) {
        entry.host = host;
        entry.port = port;
        Resolve(&entry);
    }

    auto& list = entry.addresses;
    auto good = std::find_if(list.begin(), list.end(),
                             [](const cpHostAddressRecord& r) { return r.good != 0; });
    if (good != list.end()) {
        *addressNet = good->addressNet;
        return true;
    }
    if (!created &&
        AtLeastElapsed(plat::CalendarSeconds(), entry.lastResolution, kResolveIntervalSeconds)) {
        Resolve(&entry);
    }
    if (list.empty()) return false;
    *addressNet = list.front().addressNet;
    return true;
}

void cpCHostCache::MarkGood(const std::string& host, std::uint16_t port, std::uint32_t addressNet) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    cpHostCacheEntry* entry = nullptr;
    cpHostAddressRecord* record = FindRecord(host, port, addressNet, &entry);
    if (record == nullptr) return;
    auto& list = entry->addresses;
    auto at = list.begin() + (record - list.data());
    std::rotate(list.begin(), at, at + 1);
    list.front().good = 1;
    list.front().failureTime = 0;
}

void cpCHostCache::MarkBad(const std::string& host, std::uint16_t port, std::uint32_t addressNet) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    cpHostCacheEntry* entry = nullptr;
    cpHostAddressRecord* record = FindRecord(host, port, addressNet, &entry);
    if (record == nullptr) return;
    auto& list = entry->addresses;
    auto at = list.begin() + (record - list.data());
    std::rotate(at, at + 1, list.end());
    list.back().good = 0;
    list.back().failureTime = plat::CalendarSeconds();
}

void cpCHostCache::Resolve(cpHostCacheEntry* entry) {
    const std::int64_t now = plat::CalendarSeconds();
    // What the cache has learnt survives resolution; addresses it knows
    // nothing about are replaced by what the resolver says now.
    std::vector<cpHostAddressRecord> good;
    std::vector<cpHostAddressRecord> failed;
    for (const cpHostAddressRecord& record : entry->addresses) {
        if (record.good != 0) {
            good.push_back(record);
        } else if (RecentlyFailed(record, now)) {
            failed.push_back(record);
        }
    }

    std::vector<std::uint32_t> resolved = plat::ResolveIPv4(entry->host);
    std::vector<cpHostAddressRecord> list = std::move(good);
    for (std::uint32_t address : resolved) {
        if (!Holds(list, address) && !Holds(failed, address)) {
            list.push_back(cpHostAddressRecord{address, 0, 0});
        }
    }
    list.insert(list.end(), failed.begin(), failed.end());
    entry->addresses = std::move(list);
    // Stamped after the resolver returns: a lookup that blocked for a long
    // time must not make the very next Lookup resolve again.
    entry->lastResolution = plat::CalendarSeconds();
}

cpCHostCache& cpHostCache() {
    static cpCHostCache* const cache = new cpCHostCache;
    return *cache;
}
