#include "routing_backend.h"

#include <algorithm>

#include "engine_log.h"
#include "torrent_backend.h"

namespace engine {

RoutingBackend::RoutingBackend(ITransferBackend* http, TorrentBackend* peers, EngineLog* log)
    : http_(http), peers_(peers), log_(log), lookup_(log) {}

RoutingBackend::~RoutingBackend() {
    for (auto& [id, entry] : entries_) {
        if (entry.route == Route::kHttp) http_->Cancel(entry.inner);
        if (entry.route == Route::kPeers) peers_->Cancel(entry.inner);
    }
}

TransferId RoutingBackend::Start(const TransferRequest& request, ITransferListener* listener) {
    const TransferId id = nextId_++;
    Entry& entry = entries_[id];
    entry.request = request;
    entry.listener = listener;
    if (!request.peersAllowed || request.sizeOnly || !peers_->Ready()) {
        StartHttp(&entry);
    } else {
        entry.lookup = lookup_.Start(request.urls);
    }
    return id;
}

void RoutingBackend::StartHttp(Entry* entry) {
    entry->route = Route::kHttp;
    entry->inner = http_->Start(entry->request, &httpSide_);
}

void RoutingBackend::Cancel(TransferId id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    switch (it->second.route) {
        case Route::kLookingUp:
            lookup_.Cancel(it->second.lookup);
            break;
        case Route::kHttp:
            http_->Cancel(it->second.inner);
            break;
        case Route::kPeers:
            peers_->Cancel(it->second.inner);
            break;
    }
    entries_.erase(it);
}

bool RoutingBackend::Status(TransferId id, TransferStatus* status) const {
    auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    const Entry& entry = it->second;
    switch (entry.route) {
        case Route::kLookingUp:
            status->size = entry.request.expectedSize;
            status->held = 0;
            return true;
        case Route::kHttp:
            return http_->Status(entry.inner, status);
        case Route::kPeers:
            return peers_->Status(entry.inner, status);
    }
    return false;
}

void RoutingBackend::Wait(std::vector<pollfd>* fds, int timeoutMs) {
    const std::size_t theirs = fds->size();
    fds->push_back({peers_->WakeFd(), POLLIN, 0});
    timeoutMs = std::min(timeoutMs, peers_->DueInMs());
    peers_->AddPollFds(fds, &timeoutMs);
    lookup_.AddPollFds(fds, &timeoutMs);
    http_->Wait(fds, timeoutMs);
    fds->resize(theirs);
}

void RoutingBackend::Poll() {
    lookup_.Poll();
    for (const MetadataLookup::Result& result : lookup_.TakeFinished()) AfterLookup(result);
    http_->Poll();
    peers_->Poll();
}

void RoutingBackend::AfterLookup(const MetadataLookup::Result& result) {
    TransferId outer = 0;
    for (auto& [id, entry] : entries_)
        if (entry.route == Route::kLookingUp && entry.lookup == result.id) outer = id;
    if (outer == 0) return;
    Entry& entry = entries_[outer];
    if (!result.found) {
        log_->Line("No metadata for %s; fetching it directly", entry.request.finalPath.c_str());
        return StartHttp(&entry);
    }
    std::string why;
    const TransferId inner = peers_->Start(entry.request, result.metadata, &peerSide_, &why);
    if (inner == 0) {
        log_->Line("Metadata for %s not used (%s); fetching it directly",
                   entry.request.finalPath.c_str(), why.c_str());
        return StartHttp(&entry);
    }
    entry.route = Route::kPeers;
    entry.inner = inner;
}

TransferId RoutingBackend::Outer(Route route, TransferId inner) const {
    for (const auto& [id, entry] : entries_)
        if (entry.route == route && entry.inner == inner) return id;
    return 0;
}

ITransferListener* RoutingBackend::Release(TransferId outer) {
    auto it = entries_.find(outer);
    ITransferListener* listener = it->second.listener;
    entries_.erase(it);
    return listener;
}

void RoutingBackend::Side::OnBytes(TransferId id, std::uint64_t count) {
    const TransferId outer = owner_->Outer(route_, id);
    if (outer != 0) owner_->entries_[outer].listener->OnBytes(outer, count);
}

void RoutingBackend::Side::OnFetched(TransferId id, const FetchOutcome& outcome) {
    const TransferId outer = owner_->Outer(route_, id);
    if (outer != 0) owner_->Release(outer)->OnFetched(outer, outcome);
}

void RoutingBackend::Side::OnFailed(TransferId id, const std::string& reason) {
    const TransferId outer = owner_->Outer(route_, id);
    if (outer != 0) owner_->Release(outer)->OnFailed(outer, reason);
}

void RoutingBackend::Side::OnDiskFull(TransferId id, const std::string& reason) {
    const TransferId outer = owner_->Outer(route_, id);
    if (outer != 0) owner_->Release(outer)->OnDiskFull(outer, reason);
}

}  // namespace engine
