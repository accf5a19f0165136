// The back end the engine runs with when peers are available: it routes
// each file on its own. A file whose job allows peers and whose publisher
// put metadata beside it (`<address>.torrent`) goes to the peer back end;
// every other file, and every file whose metadata is unusable, goes to the
// HTTP back end as before. The core sees one back end and one id per file.
//
// Owns neither inner back end. Loop thread only; listener calls come from
// Poll, as ITransferBackend requires.
#pragma once

#include <map>
#include <memory>

#include "metadata_lookup.h"
#include "transfer_backend.h"

namespace engine {

class EngineLog;
class TorrentBackend;

class RoutingBackend final : public ITransferBackend {
public:
    RoutingBackend(ITransferBackend* http, TorrentBackend* peers, EngineLog* log);
    ~RoutingBackend() override;
    RoutingBackend(const RoutingBackend&) = delete;
    RoutingBackend& operator=(const RoutingBackend&) = delete;

    bool Ready() const { return lookup_.Ready(); }

    TransferId Start(const TransferRequest& request, ITransferListener* listener) override;
    void Cancel(TransferId id) override;
    bool Status(TransferId id, TransferStatus* status) const override;
    void Wait(std::vector<pollfd>* fds, int timeoutMs) override;
    void Poll() override;

private:
    enum class Route { kLookingUp, kHttp, kPeers };
    struct Entry {
        TransferRequest request;
        ITransferListener* listener = nullptr;
        Route route = Route::kLookingUp;
        MetadataLookup::LookupId lookup = 0;
        TransferId inner = 0;
    };
    // Hears one inner back end and speaks to the core with the outer ids.
    class Side final : public ITransferListener {
    public:
        Side(RoutingBackend* owner, Route route) : owner_(owner), route_(route) {}
        void OnBytes(TransferId id, std::uint64_t count) override;
        void OnFetched(TransferId id, const FetchOutcome& outcome) override;
        void OnFailed(TransferId id, const std::string& reason) override;
        void OnDiskFull(TransferId id, const std::string& reason) override;

    private:
        RoutingBackend* owner_;
        Route route_;
    };

    // The outer id of an inner transfer and its entry, or 0.
    TransferId Outer(Route route, TransferId inner) const;
    // Hands a finished outer transfer's listener over, removing the entry.
    ITransferListener* Release(TransferId outer);
    void StartHttp(Entry* entry);
    void AfterLookup(const MetadataLookup::Result& result);

    ITransferBackend* http_;
    TorrentBackend* peers_;
    EngineLog* log_;
    MetadataLookup lookup_;
    Side httpSide_{this, Route::kHttp};
    Side peerSide_{this, Route::kPeers};
    TransferId nextId_ = 1;
    std::map<TransferId, Entry> entries_;
};

}  // namespace engine
