// cpCHostCache: the address every outgoing connection of the service
// connects to. Each host and port is resolved at most once every few
// seconds, and the cache remembers which of its addresses worked and which
// failed lately, so that a host with several addresses is tried on another
// one after a failure.
//
// The HTTP client and the result reporter call Lookup before connecting; the
// connection context calls MarkBad after a failed connect or an idle
// time-out, and MarkGood once an address has worked.
//
// Thread: any thread with the service lock held, which is the cache's only
// lock: the worker's socket events hold it, and so do the entry points that
// open connections on the caller's thread (the content-length checker's
// Start on the user-interface thread reaches Lookup). Debug builds assert it.
//
// Times are whole calendar seconds (plat::CalendarSeconds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct cpHostAddressRecord {
    std::uint32_t addressNet = 0;  // IPv4, network byte order, as resolved
    std::uint8_t good = 0;         // it worked (MarkGood)
    std::int64_t failureTime = 0;  // when MarkBad last hit it; 0 never
};

struct cpHostCacheEntry {
    std::string host;
    std::uint16_t port = 0;
    std::int64_t lastResolution = 0;
    // Preference order: good addresses, then fresh ones in the resolver's
    // order, then those that failed lately (latest failure last).
    std::vector<cpHostAddressRecord> addresses;
};

class cpCHostCache {
public:
    // Without a good address, a host is resolved again once this long has
    // passed since its last resolution.
    static constexpr std::int64_t kResolveIntervalSeconds = 5;
    // A failed address keeps its place behind fresh ones for this long.
    static constexpr std::int64_t kFailureMemorySeconds = 30;

    cpCHostCache() = default;
    cpCHostCache(const cpCHostCache&) = delete;
    cpCHostCache& operator=(const cpCHostCache&) = delete;

    // Stores the address to connect to in *addressNet (network byte order)
    // and answers true; answers false with *addressNet 0 when the host has
    // no address. The first lookup of a host and port resolves it; later
    // ones resolve again only while no address is known to work and the
    // resolve interval has passed. Resolving blocks the calling thread.
    bool Lookup(const std::string& host, std::uint16_t port, std::uint32_t* addressNet);
    // The address worked: it goes first and is used from now on without
    // resolving again. Unknown hosts and addresses are ignored.
    void MarkGood(const std::string& host, std::uint16_t port, std::uint32_t addressNet);
    // The address failed: it goes last, loses its good mark and is kept
    // behind fresh addresses for the failure memory. Unknown hosts and
    // addresses are ignored.
    void MarkBad(const std::string& host, std::uint16_t port, std::uint32_t addressNet);

    // Forgets every host. The service itself never calls it: the cache lives
    // as long as the process.
    void Clear() { entries_.clear(); }
    void ClearForTesting() { Clear(); }

    // The entry of a host and port, null when there is none; valid until the
    // next call that changes the cache.
    const cpHostCacheEntry* Find(const std::string& host, std::uint16_t port) const;
    std::size_t EntryCount() const { return entries_.size(); }

private:
    static std::string MakeKey(const std::string& host, std::uint16_t port);
    cpHostCacheEntry* FindEntry(const std::string& host, std::uint16_t port);
    cpHostAddressRecord* FindRecord(const std::string& host, std::uint16_t port,
                                    std::uint32_t addressNet, cpHostCacheEntry** entry);
    static void Resolve(cpHostCacheEntry* entry);

    // std::string orders keys byte by byte, like memcmp.
    std::map<std::string, cpHostCacheEntry> entries_;
};

// The process-wide cache, created on first use (thread-safe) and never
// destroyed, so that a worker thread still running at exit cannot reach a
// destroyed map.
cpCHostCache& cpHostCache();
