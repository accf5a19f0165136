// COpenSSL: one OpenSSL client session whose record I/O runs through a BIO
// method of our own instead of a socket.
//
// Encrypted bytes that OpenSSL writes go to the send callback; encrypted
// bytes that arrived from the connection are lent to OpenSSL for the length
// of one Handshake or ReadData call (the input window) and the caller learns
// how many of them OpenSSL took. Nothing else ever reaches the network from
// here, so OpenSSL never blocks and never sees a socket.
//
// Every session has its own SSL_CTX. It trusts OpenSSL's default verify
// paths (the system store, or SSL_CERT_FILE / SSL_CERT_DIR when set; the
// variables are looked at when the session is created, and the loaded
// store is shared while they stay the same), verifies the peer's chain and
// checks the peer's name: a DNS host against the certificate's names (and
// sent as SNI), an IP literal against its IP addresses. A peer that fails
// any of this ends the handshake with a failure.
//
// The BIO method is process-wide: GlobalStartup creates it (the service
// worker's start), GlobalCleanup frees it (the worker's end). Sessions
// may outlive the worker's end (their connections wait for the deferred
// release), so the method is freed only once the last session is gone.
//
// Sessions run on the service worker thread under the service lock. The
// callbacks run inside Handshake / ReadData / Write; they must not call
// back into the same session's OpenSSL operations while the send callback
// runs (it is called from inside OpenSSL).
#pragma once

#include <cstddef>
#include <memory>

#include "service/base/status_codes.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

struct COpenSSLCallbacks {
    void* user = nullptr;  // passed back unchanged
    // Encrypted bytes to send; called from inside OpenSSL.
    void (*send)(void* user, const void* data, std::size_t length) = nullptr;
    // The handshake has completed; called after OpenSSL returned.
    void (*handshakeDone)(void* user) = nullptr;
    // Decrypted bytes; called after OpenSSL returned. False when the
    // connection has gone meanwhile, so that nothing more is read.
    bool (*data)(void* user, const void* data, std::size_t length) = nullptr;
};

class COpenSSL {
public:
    // Plaintext read per SSL_read: more than one record's worth.
    static constexpr std::size_t kReadBlock = 24576;

    // Library start-up and the BIO method; repeated calls reuse what exists.
    // False when OpenSSL or the method could not be set up (every later
    // Create then fails).
    static bool GlobalStartup();
    // Frees the BIO method now, or when the last session is freed, and the
    // shared trust store (sessions keep their own references).
    static void GlobalCleanup();

    // A client session for `host` (the connection's host name or IP
    // literal; a trailing dot is ignored). kTransportFail without a BIO
    // method, callbacks or host, or when OpenSSL refuses any step.
    static vzStatus Create(const COpenSSLCallbacks& callbacks, const char* host, COpenSSL** out);

    // Runs the handshake on; `bytes` (may be empty) are the encrypted input.
    // True while it goes well (complete, or waiting for more input); false
    // on a failure. *consumed: the input bytes OpenSSL took.
    bool Handshake(const void* bytes, std::size_t length, std::size_t* consumed);
    // Decrypts every whole record in the input and hands the plaintext to
    // the data callback. True while the stream is healthy (also when the
    // data callback said the connection went); false on an error or the
    // peer's close_notify.
    bool ReadData(const void* bytes, std::size_t length, std::size_t* consumed);
    // Encrypts `data` as application records; false when OpenSSL refused.
    bool Write(const void* data, std::size_t length);

    // The certificate verification result of the handshake (X509_V_OK, 0,
    // when nothing failed) and its text.
    long VerifyResult() const;
    const char* VerifyResultText() const;

    // SSL_free, SSL_CTX_free, then the wrapper itself.
    void Free();

    // Diagnostics for tests.
    static bool MethodExistsForTesting();
    static int LiveSessionsForTesting();

private:
    COpenSSL() = default;
    ~COpenSSL();

    // The BIO method's functions (see GlobalStartup for the table).
    static int BioWrite(BIO* bio, const char* data, int length);
    static int BioRead(BIO* bio, char* buffer, int size);
    static int BioPuts(BIO* bio, const char* text);
    static long BioCtrl(BIO* bio, int command, long value, void* pointer);
    static int BioCreate(BIO* bio);
    static int BioDestroy(BIO* bio);

    bool SetUp(const char* host);
    void OpenWindow(const void* bytes, std::size_t length);
    std::size_t CloseWindow();

    COpenSSLCallbacks callbacks_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    // The input window: lent by the caller for one call, never owned.
    const unsigned char* input_ = nullptr;
    std::size_t inputLength_ = 0;
    std::size_t inputRead_ = 0;
    std::unique_ptr<unsigned char[]> plain_;
};
