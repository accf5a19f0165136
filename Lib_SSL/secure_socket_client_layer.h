// nwCSecureSocketClientLayer: TLS under the HTTP client layer (class id
// 8215), stacked at the bottom of a connection for https:// addresses.
//
// Plaintext from the layer above is encrypted through a COpenSSL session and
// the records go down into the connection's send queue; records that arrive
// are decrypted and the plaintext goes up with DeliverUp. The handshake
// starts when the connection is up and is driven by the record reader (the
// layer's raw handler). OnConnected answers true at once, so the layer above
// may send its request straight away: it waits here (held plaintext) until
// the handshake is done and then goes out in order. Plaintext the layer
// above leaves unconsumed (leftover) is offered again in front of the next
// decrypted bytes.
//
// The peer must present a chain the trust store accepts, for the
// connection's host name (see COpenSSL). A refused certificate is logged
// once and closes the connection like any handshake failure: the layers
// above see the normal shutdown. The end of the stream, with or without the
// peer's close_notify, is only ever a close; whether the body was whole is
// for the layer above to judge by its length.
//
// Re-entrancy: while the layer is inside an OpenSSL call (in-call), the
// records OpenSSL writes are collected and sent down only when the call has
// returned, because sending may run the connection's send pump, which asks
// the layers for more data and could lead back into OpenSSL. A close that
// arrives meanwhile (a listener closing from inside a data callback) frees
// the session only when the call has returned (release-pending).
//
// Owned by its connection through vzISecureSocketClientLayer; no listener.
// Thread: any thread with the service lock held, as every layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "transport/application_stack.h"

class COpenSSL;

// The layer's own interface: the four common operations only.
class vzISecureSocketClientLayer : public vzIUnknown {};

class nwCSecureSocketClientLayer final : public nwCLayer<vzISecureSocketClientLayer> {
public:
    // Unconsumed plaintext that may wait for the layer above; more closes
    // the connection, as unconsumed input does on a plain connection.
    static constexpr std::size_t kMaxLeftover = 16u << 20;

    nwCSecureSocketClientLayer();
    ~nwCSecureSocketClientLayer() override;

    // nwIQoSNetStack, per layer
    void OnSendFromAbove(const cpBuffer& buffer) override;
    bool OnConnected() override;
    void OnClosed() override;
    bool OnSendQueueEmptyEvent() override;
    void RegisterHandlers() override;

    // Diagnostics for tests.
    bool Ready() const { return ready_; }
    bool HasSession() const { return session_ != nullptr; }
    std::size_t HeldCount() const { return held_.size(); }
    std::size_t LeftoverBytes() const { return leftover_.size(); }

private:
    // COpenSSL callbacks; `self` is the layer.
    static void SendRecords(void* self, const void* data, std::size_t length);
    static void HandshakeDone(void* self);
    static bool Plaintext(void* self, const void* data, std::size_t length);
    // The record reader (raw handler of the embedded dispatcher).
    static std::int32_t ReadRecords(const void* data, std::int32_t length, void* self);

    std::int32_t Read(const void* data, std::int32_t length);
    bool DeliverPlaintext(const std::uint8_t* data, std::size_t length);
    // Encrypts and sends; closes the connection when OpenSSL refuses.
    bool WriteNow(const void* data, std::size_t length);
    void EnterCall() { ++inCall_; }
    // Leaving the outermost call sends the collected records, or frees the
    // session when the connection closed during the call.
    void LeaveCall();
    void FlushRecords();
    void FreeSession();
    // One log line when the handshake failed on the peer's certificate.
    void ReportRefusedCertificate();

    COpenSSL* session_ = nullptr;
    bool ready_ = false;
    bool closed_ = false;
    std::deque<std::vector<std::uint8_t>> held_;  // sent from above while handshaking
    std::vector<std::uint8_t> leftover_;          // decrypted, not yet taken above
    int inCall_ = 0;                              // depth: calls nest (handshake done writes)
    bool releasePending_ = false;
    std::vector<std::uint8_t> records_;  // written by OpenSSL during the current call
};
