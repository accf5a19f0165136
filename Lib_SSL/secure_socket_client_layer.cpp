#include "Lib_SSL/secure_socket_client_layer.h"

#include "Lib_SSL/COpenSSL.h"
#include "service/base/service_log.h"

nwCSecureSocketClientLayer::nwCSecureSocketClientLayer() {
    RegisterHandlers();
}

nwCSecureSocketClientLayer::~nwCSecureSocketClientLayer() {
    FreeSession();
}

void nwCSecureSocketClientLayer::RegisterHandlers() {
    (void)Dispatcher().RegisterRawHandler(&nwCSecureSocketClientLayer::ReadRecords,
                                          this);  // the callback is never null
}

bool nwCSecureSocketClientLayer::OnConnected() {
    if (session_ || closed_) return true;
    const char* host = nullptr;
    if (!Owner() || vzFailed(Owner()->GetHostName(&host))) host = nullptr;
    COpenSSLCallbacks callbacks;
    callbacks.user = this;
    callbacks.send = &nwCSecureSocketClientLayer::SendRecords;
    callbacks.handshakeDone = &nwCSecureSocketClientLayer::HandshakeDone;
    callbacks.data = &nwCSecureSocketClientLayer::Plaintext;
    if (vzFailed(COpenSSL::Create(callbacks, host, &session_))) {
        session_ = nullptr;
        (void)Close();  // a close always completes
        return false;
    }
    EnterCall();
    std::size_t consumed = 0;
    bool ok = session_->Handshake(nullptr, 0, &consumed);
    if (!ok) ReportRefusedCertificate();
    LeaveCall();  // sends the ClientHello
    if (!ok) {
        (void)Close();  // a close always completes
        return false;
    }
    // The layer above hears of the connection now; what it sends waits in
    // the held list until the handshake is done.
    return true;
}

std::int32_t nwCSecureSocketClientLayer::ReadRecords(const void* data, std::int32_t length,
                                                     void* self) {
    return static_cast<nwCSecureSocketClientLayer*>(self)->Read(data, length);
}

std::int32_t nwCSecureSocketClientLayer::Read(const void* data, std::int32_t length) {
    // Input after the session is gone (closed, or never started) cannot be
    // decrypted: the connection closes.
    if (!session_) return -1;
    EnterCall();
    const bool handshaking = !ready_;
    std::size_t consumed = 0;
    bool ok = handshaking ? session_->Handshake(data, static_cast<std::size_t>(length), &consumed)
                          : session_->ReadData(data, static_cast<std::size_t>(length), &consumed);
    if (!ok && handshaking) ReportRefusedCertificate();
    LeaveCall();
    if (!ok) {
        (void)Close();  // a close always completes
        return 0;
    }
    // Bytes left over (the records after the handshake's last one) come
    // back at once: the dispatcher calls again after a non-zero count.
    return static_cast<std::int32_t>(consumed);
}

void nwCSecureSocketClientLayer::HandshakeDone(void* self) {
    // Runs inside the record reader's call: the held requests' records join
    // the client's last handshake flight and leave with it.
    auto* layer = static_cast<nwCSecureSocketClientLayer*>(self);
    layer->ready_ = true;
    while (!layer->held_.empty() && layer->session_ && !layer->closed_) {
        std::vector<std::uint8_t> piece = std::move(layer->held_.front());
        layer->held_.pop_front();
        if (!layer->WriteNow(piece.data(), piece.size())) return;
    }
}

void nwCSecureSocketClientLayer::OnSendFromAbove(const cpBuffer& buffer) {
    if (closed_ || !buffer.data || buffer.length == 0) return;
    if (!ready_) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer.data);
        held_.emplace_back(bytes, bytes + buffer.length);
        return;
    }
    if (session_) WriteNow(buffer.data, buffer.length);
}

bool nwCSecureSocketClientLayer::OnSendQueueEmptyEvent() {
    if (held_.empty()) return true;
    // Held data exists only while handshaking; the layer above is not asked
    // for more until its first data has gone out.
    if (ready_ && session_) {
        std::vector<std::uint8_t> piece = std::move(held_.front());
        held_.pop_front();
        WriteNow(piece.data(), piece.size());
    }
    return false;
}

bool nwCSecureSocketClientLayer::WriteNow(const void* data, std::size_t length) {
    EnterCall();
    bool ok = session_->Write(data, length);
    LeaveCall();
    // Plaintext that cannot be encrypted would leave a hole in the stream.
    if (!ok) (void)Close();  // a close always completes
    return ok;
}

void nwCSecureSocketClientLayer::SendRecords(void* self, const void* data, std::size_t length) {
    auto* layer = static_cast<nwCSecureSocketClientLayer*>(self);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    layer->records_.insert(layer->records_.end(), bytes, bytes + length);
}

void nwCSecureSocketClientLayer::LeaveCall() {
    if (--inCall_ > 0) return;
    if (releasePending_) {
        records_.clear();
        FreeSession();
        return;
    }
    FlushRecords();
}

void nwCSecureSocketClientLayer::FlushRecords() {
    if (records_.empty() || closed_) return;
    // Taken out first: sending may come back here with newer records, which
    // then go after these (the connection has already queued ours).
    std::vector<std::uint8_t> out;
    out.swap(records_);
    // Fails only once the layer has no connection, and the records with it.
    (void)SendDown(cpBuffer{out.data(), static_cast<std::uint32_t>(out.size())});
}

bool nwCSecureSocketClientLayer::Plaintext(void* self, const void* data, std::size_t length) {
    return static_cast<nwCSecureSocketClientLayer*>(self)->DeliverPlaintext(
        static_cast<const std::uint8_t*>(data), length);
}

bool nwCSecureSocketClientLayer::DeliverPlaintext(const std::uint8_t* data, std::size_t length) {
    if (closed_) return false;
    // The usual case (the layer above took everything last time) offers
    // OpenSSL's buffer as it is; only a leftover costs a copy.
    const std::uint8_t* offer = data;
    std::size_t offerLength = length;
    std::vector<std::uint8_t> joined;
    if (!leftover_.empty()) {
        joined.swap(leftover_);
        joined.insert(joined.end(), data, data + length);
        offer = joined.data();
        offerLength = joined.size();
    }
    std::int32_t taken = DeliverUp(offer, static_cast<std::int32_t>(offerLength));
    if (closed_) return false;  // closed by the layer above meanwhile
    if (taken < 0 || static_cast<std::size_t>(taken) > offerLength) {
        (void)Close();  // a close always completes
        return false;
    }
    std::size_t rest = offerLength - static_cast<std::size_t>(taken);
    if (rest >= kMaxLeftover) {
        (void)Close();  // a close always completes
        return false;
    }
    leftover_.assign(offer + taken, offer + offerLength);
    return true;
}

void nwCSecureSocketClientLayer::OnClosed() {
    // Nothing can be sent or delivered any more; what waited is dropped at
    // once, the session only once OpenSSL is off the stack.
    closed_ = true;
    held_.clear();
    leftover_.clear();
    if (inCall_ > 0) {
        releasePending_ = true;
        return;
    }
    records_.clear();
    FreeSession();
}

void nwCSecureSocketClientLayer::FreeSession() {
    releasePending_ = false;
    if (COpenSSL* session = session_) {
        session_ = nullptr;
        session->Free();
    }
}

void nwCSecureSocketClientLayer::ReportRefusedCertificate() {
    if (!session_ || session_->VerifyResult() == 0) return;
    const char* host = nullptr;
    if (!Owner() || vzFailed(Owner()->GetHostName(&host)) || !host) host = "";
    WriteServiceLogFormat("[OstrelLib] TLS certificate of %s refused: %s (verify error %ld)", host,
                          session_->VerifyResultText(), session_->VerifyResult());
}
