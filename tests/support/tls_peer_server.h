// A loopback TLS server for the faults nginx will not produce on demand. It
// accepts one connection and hands it to the test's handler on a thread of
// its own. The server's records are made in memory and written to the
// socket in whatever pieces the handler asks for, so a test can cut records
// across receives or end the stream with or without close_notify. When the
// handler returns the socket is closed (a plain TCP close).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/test_certificates.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TlsPeer {
public:
    TlsPeer(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

    // False when the handshake failed or the client went.
    bool Handshake();
    // The plaintext of one request: its head and as many body bytes as its
    // Content-Length announces.
    std::string ReadRequest();
    // Encrypts `plaintext` (one record per 16 KiB) and writes the records
    // in pieces of `piece` bytes (0: all at once), pausing `pauseMs` after
    // each piece.
    bool Send(const std::string& plaintext, std::size_t piece = 0, int pauseMs = 0);
    bool SendCloseNotify();

private:
    bool Flush(std::size_t piece, int pauseMs);
    bool Fill();

    int fd_;
    SSL* ssl_;
};

// A server session in memory, for driving a client session by hand.
class InMemoryTlsServer {
public:
    explicit InMemoryTlsServer(const CertificateFiles& files);
    ~InMemoryTlsServer();
    InMemoryTlsServer(const InMemoryTlsServer&) = delete;
    InMemoryTlsServer& operator=(const InMemoryTlsServer&) = delete;

    bool Valid() const { return ssl_ != nullptr; }
    // Takes the client's bytes, runs the handshake on (or reads and drops
    // application data) and returns what the server wrote meanwhile.
    std::string Exchange(const std::string& fromClient);
    // The records of `plaintext`.
    std::string Encrypt(const std::string& plaintext);

private:
    std::string Drain();

    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
};

class TlsPeerServer {
public:
    using Handler = std::function<void(TlsPeer&)>;

    TlsPeerServer(const CertificateFiles& files, Handler handler);
    ~TlsPeerServer();
    TlsPeerServer(const TlsPeerServer&) = delete;
    TlsPeerServer& operator=(const TlsPeerServer&) = delete;

    int Port() const { return port_; }
    // The handler has returned and the socket is closed.
    bool Finished() const { return finished_.load(); }

private:
    void Serve(Handler handler);

    SSL_CTX* context_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};
