// The peer back end: files that the publisher describes with metadata
// (one file, its piece hashes) are fetched from other players and, when
// they are not enough, from the file servers as web seeds, all in one
// libtorrent session. A piece counts only once it has passed its hash, so
// no peer can corrupt a file; a piece that fails is fetched again.
//
// Partial data lives in the request's partial file, which is renamed to
// the final name once every piece has passed. Whenever a transfer stops
// unfinished, the partial file is cut back to its verified leading pieces,
// so that a later fetch by HTTP, which resumes from the partial file's
// length, never builds on unverified or missing bytes.
//
// Finished files keep seeding (upload capped) while transfers run and for
// a grace time after the last one ends; the engine log says what was sent.
//
// Threading: every call on the engine's loop thread. libtorrent runs its
// own threads behind the session; they only wake the loop (WakeFd). No
// libtorrent header leaves torrent_backend.cpp.
#pragma once

#include <memory>
#include <string>

#include "peer_config.h"
#include "transfer_backend.h"

namespace engine {

class EngineLog;

class TorrentBackend {
public:
    TorrentBackend(const PeerConfig& config, EngineLog* log);
    // Ends every transfer and seed, waits for the session to close its
    // files, then cuts unfinished partial files back (see above).
    ~TorrentBackend();
    TorrentBackend(const TorrentBackend&) = delete;
    TorrentBackend& operator=(const TorrentBackend&) = delete;

    // False when the session could not be created (logged).
    bool Ready() const;

    // Begins fetching `request` with `metadata` (the bytes of a .torrent).
    // Returns 0 with the reason in *why when the metadata is malformed or
    // does not describe this file (several files, another size); the
    // caller then fetches it another way. The listener contract is that
    // of ITransferBackend.
    TransferId Start(const TransferRequest& request, const std::string& metadata,
                     ITransferListener* listener, std::string* why);
    void Cancel(TransferId id);
    bool Status(TransferId id, TransferStatus* status) const;
    // Readable when libtorrent has news; the loop polls it.
    int WakeFd() const;
    // The longest the loop may sleep before Poll is due, in ms.
    int DueInMs() const;
    void Poll();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace engine
