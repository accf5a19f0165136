// Looks for the publisher's metadata beside a file: `<address>.torrent`
// for each alternative address in turn, the first one that answers with a
// body wins. Bodies are held in memory and bounded; anything but a 2xx
// answer (or a body over the bound) moves on to the next address, and no
// metadata at all is an ordinary outcome: the file then goes by HTTP.
//
// One curl multi handle of its own, driven from the engine's loop
// alongside the other back ends (AddPollFds before the wait, Poll after).
// Loop thread only.
#pragma once

#include <curl/curl.h>
#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace engine {

class EngineLog;

inline constexpr std::size_t kMaxMetadataBytes = 4u * 1024 * 1024;

class MetadataLookup {
public:
    using LookupId = std::uint64_t;
    struct Result {
        LookupId id = 0;
        bool found = false;
        std::string metadata;  // the body, when found
        std::string url;       // the file address whose metadata it is
    };

    explicit MetadataLookup(EngineLog* log);
    ~MetadataLookup();
    MetadataLookup(const MetadataLookup&) = delete;
    MetadataLookup& operator=(const MetadataLookup&) = delete;

    bool Ready() const { return multi_ != nullptr; }
    // Never 0.
    LookupId Start(const std::vector<std::string>& fileUrls);
    void Cancel(LookupId id);
    // Appends the sockets curl waits on and lowers *timeoutMs to curl's
    // next time-out.
    void AddPollFds(std::vector<pollfd>* fds, int* timeoutMs);
    // Moves the lookups on; the finished ones wait in TakeFinished.
    void Poll();
    std::vector<Result> TakeFinished();

private:
    struct Lookup;
    static size_t Write(char* data, size_t size, size_t count, void* self);
    void StartAddress(Lookup* lookup);
    void AfterRequest(Lookup* lookup, CURLcode result);

    EngineLog* log_;
    CURLM* multi_ = nullptr;
    LookupId nextId_ = 1;
    std::map<LookupId, std::unique_ptr<Lookup>> lookups_;
    std::vector<Result> finished_;
};

}  // namespace engine
