#include "curl_backend.h"

#include <vector>

#include "clock.h"

namespace engine {

CurlBackend::CurlBackend(EngineLog* log) : log_(log), multi_(curl_multi_init()) {}

CurlBackend::~CurlBackend() {
    transfers_.clear();  // their handles leave the multi handle first
    if (multi_) curl_multi_cleanup(multi_);
}

CurlTransfer* CurlBackend::Find(TransferId id) {
    auto it = transfers_.find(id);
    return it == transfers_.end() ? nullptr : it->second.get();
}

TransferId CurlBackend::Start(const TransferRequest& request, ITransferListener* listener) {
    const TransferId id = nextId_++;
    auto transfer = std::make_unique<CurlTransfer>(id, request, listener, multi_, log_);
    transfer->Begin(MonotonicMs());
    // Even an immediate outcome is reported from Poll, never from here.
    transfers_.emplace(id, std::move(transfer));
    return id;
}

void CurlBackend::Cancel(TransferId id) {
    transfers_.erase(id);
}

bool CurlBackend::Status(TransferId id, TransferStatus* status) const {
    auto it = transfers_.find(id);
    if (it == transfers_.end()) return false;
    status->size = it->second->Size();
    status->held = it->second->Held();
    return true;
}

void CurlBackend::Wait(std::vector<pollfd>* fds, int timeoutMs) {
    const std::int64_t now = MonotonicMs();
    for (const auto& [id, transfer] : transfers_) {
        if (transfer->Result() != CurlTransfer::Outcome::kRunning) {
            timeoutMs = 0;  // an outcome waits to be reported
            break;
        }
        const std::int64_t due = transfer->DueAtMs();
        if (due >= 0 && due - now < timeoutMs)
            timeoutMs = due > now ? static_cast<int>(due - now) : 0;
    }
    std::vector<curl_waitfd> extra(fds->size());
    for (std::size_t i = 0; i < fds->size(); ++i) {
        extra[i].fd = (*fds)[i].fd;
        extra[i].events = static_cast<short>(((*fds)[i].events & POLLIN ? CURL_WAIT_POLLIN : 0) |
                                             ((*fds)[i].events & POLLOUT ? CURL_WAIT_POLLOUT : 0));
        extra[i].revents = 0;
    }
    curl_multi_poll(multi_, extra.data(), static_cast<unsigned>(extra.size()), timeoutMs, nullptr);
    for (std::size_t i = 0; i < fds->size(); ++i) {
        (*fds)[i].revents =
            static_cast<short>((extra[i].revents & CURL_WAIT_POLLIN ? POLLIN : 0) |
                               (extra[i].revents & CURL_WAIT_POLLOUT ? POLLOUT : 0));
    }
}

void CurlBackend::Poll() {
    int running = 0;
    curl_multi_perform(multi_, &running);
    const std::int64_t now = MonotonicMs();
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        void* tag = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &tag);
        const CURLcode result = message->data.result;
        if (CurlTransfer* transfer =
                Find(static_cast<TransferId>(reinterpret_cast<std::uintptr_t>(tag))))
            transfer->OnRequestDone(result, now);
    }
    for (const auto& [id, transfer] : transfers_) transfer->OnTimer(now);

    // Report outcomes last: a listener may start or cancel transfers.
    std::vector<TransferId> finished;
    for (const auto& [id, transfer] : transfers_)
        if (transfer->Result() != CurlTransfer::Outcome::kRunning) finished.push_back(id);
    for (TransferId id : finished) {
        auto it = transfers_.find(id);
        if (it == transfers_.end()) continue;
        std::unique_ptr<CurlTransfer> transfer = std::move(it->second);
        transfers_.erase(it);
        ITransferListener* listener = transfer->Listener();
        switch (transfer->Result()) {
            case CurlTransfer::Outcome::kFetched:
                listener->OnFetched(id, FetchOutcome{transfer->SizeOnly() ? transfer->Size()
                                                                          : transfer->Held(),
                                                     transfer->AlreadyThere(), 0,
                                                     transfer->Fetched()});
                break;
            case CurlTransfer::Outcome::kFailed:
                listener->OnFailed(id, transfer->Reason());
                break;
            case CurlTransfer::Outcome::kDiskFull:
                listener->OnDiskFull(id, transfer->Reason());
                break;
            case CurlTransfer::Outcome::kRunning:
                break;
        }
    }
}

}  // namespace engine
