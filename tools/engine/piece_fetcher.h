// Fetches single pieces of a file from its file servers for the peer back
// end: one range request ("Range: bytes=A-B") per piece, the body held in
// memory (a piece is at most a few MiB) and handed over whole, so that the
// back end can give it to libtorrent to check and write. The file servers
// thus fill in the pieces no player has, one piece at a time, instead of
// taking whole stretches of the file from the players.
//
// A body counts only when it is exactly the range asked for: a 206 of that
// length, or a 200 of the whole file when the range is the whole file. A
// server that sends more is cut off at once.
//
// One curl multi handle of its own, driven from the engine's loop alongside
// the other back ends (AddPollFds before the wait, Poll after). Loop thread
// only.
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

class PieceFetcher {
public:
    using FetchId = std::uint64_t;
    struct Result {
        FetchId id = 0;
        bool ok = false;
        std::vector<char> bytes;  // the range, when ok
        std::string why;          // when not
    };

    explicit PieceFetcher(EngineLog* log);
    ~PieceFetcher();
    PieceFetcher(const PieceFetcher&) = delete;
    PieceFetcher& operator=(const PieceFetcher&) = delete;

    bool Ready() const { return multi_ != nullptr; }
    // Fetches bytes [first, first + length) of the file at `url` (whose
    // size is `fileSize`), receiving at most `maxBytesPerSecond` (0: no
    // cap). Never 0; a fetch that cannot start is finished at once.
    FetchId Start(const std::string& url, std::int64_t first, std::int64_t length,
                  std::int64_t fileSize, std::int64_t maxBytesPerSecond);
    void Cancel(FetchId id);
    std::size_t Running() const { return fetches_.size(); }
    // Body bytes received since the last call, over every fetch (the back
    // end keeps the job's cap with it).
    std::int64_t TakeReceived();

    void AddPollFds(std::vector<pollfd>* fds, int* timeoutMs);
    void Poll();
    std::vector<Result> TakeFinished();

private:
    struct Fetch;
    static size_t Write(char* data, size_t size, size_t count, void* self);
    void Finish(Fetch* fetch, CURLcode result);

    EngineLog* log_;
    CURLM* multi_ = nullptr;
    FetchId nextId_ = 1;
    std::map<FetchId, std::unique_ptr<Fetch>> fetches_;
    std::vector<Result> finished_;
    std::int64_t received_ = 0;
};

}  // namespace engine
