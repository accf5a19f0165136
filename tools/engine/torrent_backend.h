// The peer back end: files that the publisher describes with metadata
// (one file, its piece hashes, its trackers) are fetched from other players
// found through the trackers, the LAN or the names given, in one libtorrent
// session. The file servers fill in: one piece per request, first the
// pieces no connected player has (at once when players are there, after a
// short grace when none is), and the pieces players have only when they
// deliver less than a floor over a whole peer window (PeerConfig); a piece
// is fetched from one source at a time (kept from peers while a server
// sends it), and libtorrent checks every piece, whoever sent it, so no
// peer and no server can corrupt a file; a piece that fails is fetched
// again.
//
// Partial data lives in the request's partial file, which is renamed to
// the final name once every piece has passed. Beside it, its piece state
// (piece_state.h) says which pieces are verified and on disk: a transfer
// started again keeps them all, and an HTTP transfer that takes the file
// over keeps only what is whole from its start. What the log and the
// outcome tell by source is counted by piece: the bytes the file servers
// sent are their pieces that passed, and what neither they nor the disk
// held came from peers.
//
// Finished files keep seeding (upload capped) while transfers run and for
// a grace time after the last one ends; the engine log says what was sent.
//
// Threading: every call on the engine's loop thread. libtorrent runs its
// own threads behind the session; they only wake the loop (WakeFd). No
// libtorrent header leaves torrent_backend.cpp.
#pragma once

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

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
    // The sockets of the server pieces under way, and curl's next time-out.
    void AddPollFds(std::vector<pollfd>* fds, int* timeoutMs);
    // The longest the loop may sleep before Poll is due, in ms.
    int DueInMs() const;
    void Poll();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace engine
