// The HTTP back end: every file transfer is a CurlTransfer inside one curl
// multi handle, driven from the engine's loop (Wait, then Poll) together
// with the loop's own sockets. One thread; no curl callback blocks.
#pragma once

#include <curl/curl.h>

#include <map>
#include <memory>

#include "curl_transfer.h"
#include "transfer_backend.h"

namespace engine {

class EngineLog;

class CurlBackend final : public ITransferBackend {
public:
    // curl_global_init must have run. Check Ready() before use.
    explicit CurlBackend(EngineLog* log);
    ~CurlBackend() override;
    CurlBackend(const CurlBackend&) = delete;
    CurlBackend& operator=(const CurlBackend&) = delete;

    bool Ready() const { return multi_ != nullptr; }

    TransferId Start(const TransferRequest& request, ITransferListener* listener) override;
    void Cancel(TransferId id) override;
    bool Status(TransferId id, TransferStatus* status) const override;
    void Wait(std::vector<pollfd>* fds, int timeoutMs) override;
    void Poll() override;

private:
    CurlTransfer* Find(TransferId id);

    EngineLog* log_;
    CURLM* multi_ = nullptr;
    TransferId nextId_ = 1;
    std::map<TransferId, std::unique_ptr<CurlTransfer>> transfers_;
};

}  // namespace engine
