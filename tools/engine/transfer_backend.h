// The seam between the engine's protocol core and whatever moves the bytes.
// The core describes one file at a time per job (where it comes from, where
// it goes, how fast it may arrive) and hears back through the listener;
// an HTTP back end exists now, a peer-to-peer one can take its place
// without the core changing. No back-end library header reaches the core.
//
// Threading: everything runs on the engine's one loop thread. Listener
// calls are made from Poll() (and OnBytes from inside it), never from Start
// or Cancel. A transfer's final call (OnFetched, OnFailed, OnDiskFull) is
// the last thing the back end does with it: the id is dead afterwards and
// the listener may start the next transfer or cancel others from inside
// that call. OnBytes must not call back into the back end.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

using TransferId = std::uint64_t;

struct TransferRequest {
    // Sources to try in order, each a few times.
    std::vector<std::string> urls;
    // Where partial data lives, and the name the file gets once whole. The
    // back end resumes whatever the partial file holds; the core deletes
    // it beforehand when earlier data must not be used.
    std::string partPath;
    std::string finalPath;
    // The size the job description announced; -1 when unknown.
    std::int64_t expectedSize = -1;
    // Receive cap in bytes per second; 0 = none.
    std::int64_t maxBytesPerSecond = 0;
    // The player agreed to share with other players: a back end may fetch
    // from peers (and serve them). Without it only the file servers count.
    bool peersAllowed = false;
    // Only learn the remote size (OnFetched's size; -1 when the server does
    // not tell): no body is fetched and no file is touched.
    bool sizeOnly = false;
};

// How a file came to be whole: its size, and the bytes this transfer
// fetched for it, by source.
struct FetchOutcome {
    std::int64_t size = 0;
    bool alreadyThere = false;  // whole before anything was fetched
    std::uint64_t fromPeers = 0;
    std::uint64_t fromServers = 0;
};

struct TransferStatus {
    std::int64_t size = -1;  // the remote size once known, else the expected one
    std::int64_t held = 0;   // bytes of the file on disk, earlier data included
};

class ITransferListener {
public:
    virtual ~ITransferListener() = default;
    // New body bytes arrived (for the byte budget of a fault switch).
    virtual void OnBytes(TransferId id, std::uint64_t count) = 0;
    // The file is complete under its final name.
    virtual void OnFetched(TransferId id, const FetchOutcome& outcome) = 0;
    // Every source failed after its attempts; the partial file is kept.
    virtual void OnFailed(TransferId id, const std::string& reason) = 0;
    // A write found no room; the transfer is stopped, its data kept.
    virtual void OnDiskFull(TransferId id, const std::string& reason) = 0;
};

class ITransferBackend {
public:
    virtual ~ITransferBackend() = default;
    // Begins fetching; the listener is not owned and must outlive the
    // transfer (or cancel it first). Never 0.
    virtual TransferId Start(const TransferRequest& request, ITransferListener* listener) = 0;
    // Stops a transfer without any listener call; its partial file stays.
    // Unknown ids are ignored.
    virtual void Cancel(TransferId id) = 0;
    // Sizes for progress reports; false for an unknown id.
    virtual bool Status(TransferId id, TransferStatus* status) const = 0;
    // Waits at most `timeoutMs` for the back end's own sockets and timers
    // and for the caller's `fds` (whose revents it fills).
    virtual void Wait(std::vector<pollfd>* fds, int timeoutMs) = 0;
    // Moves every transfer on and makes the listener calls that are due.
    virtual void Poll() = 0;
};

}  // namespace engine
