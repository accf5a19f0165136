#include "tests/support/tls_peer_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "tests/support/loopback_peer.h"

namespace {

constexpr int kWaitMs = 5000;

// A server context with the certificate chain and key, or null.
SSL_CTX* ServerContext(const CertificateFiles& files) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context &&
        (SSL_CTX_use_certificate_chain_file(context, files.cert.c_str()) != 1 ||
         SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1)) {
        SSL_CTX_free(context);
        context = nullptr;
    }
    return context;
}

// A server session on two memory BIOs.
SSL* MemorySession(SSL_CTX* context) {
    SSL* ssl = context ? SSL_new(context) : nullptr;
    if (!ssl) return nullptr;
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl);
    return ssl;
}

}  // namespace

InMemoryTlsServer::InMemoryTlsServer(const CertificateFiles& files) {
    context_ = ServerContext(files);
    ssl_ = MemorySession(context_);
}

InMemoryTlsServer::~InMemoryTlsServer() {
    if (ssl_) SSL_free(ssl_);
    if (context_) SSL_CTX_free(context_);
    ERR_clear_error();
}

std::string InMemoryTlsServer::Drain() {
    std::string bytes;
    char buffer[16384];
    int n = 0;
    while ((n = BIO_read(SSL_get_wbio(ssl_), buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

std::string InMemoryTlsServer::Exchange(const std::string& fromClient) {
    if (!fromClient.empty())
        BIO_write(SSL_get_rbio(ssl_), fromClient.data(), static_cast<int>(fromClient.size()));
    if (!SSL_is_init_finished(ssl_)) {
        SSL_do_handshake(ssl_);
    } else {
        char buffer[4096];
        while (SSL_read(ssl_, buffer, sizeof buffer) > 0) {
        }
    }
    return Drain();
}

std::string InMemoryTlsServer::Encrypt(const std::string& plaintext) {
    std::size_t written = 0;
    SSL_write_ex(ssl_, plaintext.data(), plaintext.size(), &written);
    return Drain();
}

bool TlsPeer::Fill() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return false;
    char buffer[16384];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    return BIO_write(SSL_get_rbio(ssl_), buffer, static_cast<int>(n)) == n;
}

bool TlsPeer::Flush(std::size_t piece, int pauseMs) {
    BIO* out = SSL_get_wbio(ssl_);
    std::string bytes;
    char buffer[16384];
    int n = 0;
    while ((n = BIO_read(out, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    std::size_t step = piece == 0 ? bytes.size() : piece;
    for (std::size_t done = 0; done < bytes.size();) {
        std::size_t count = std::min(step, bytes.size() - done);
        ssize_t sent = send(fd_, bytes.data() + done, count, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
        if (pauseMs > 0 && done < bytes.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return true;
}

bool TlsPeer::Handshake() {
    for (;;) {
        int result = SSL_do_handshake(ssl_);
        if (!Flush(0, 0)) return false;
        if (result == 1) return true;
        if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ || !Fill()) return false;
    }
}

std::string TlsPeer::ReadRequest() {
    std::string text;
    char buffer[4096];
    std::size_t wanted = std::string::npos;  // known once the head is in
    while (wanted == std::string::npos || text.size() < wanted) {
        std::size_t end = text.find("\r\n\r\n");
        if (wanted == std::string::npos && end != std::string::npos) {
            std::size_t field = text.find("Content-Length: ");
            std::size_t body = field < end ? std::stoul(text.substr(field + 16)) : 0;
            wanted = end + 4 + body;
            continue;
        }
        int n = SSL_read(ssl_, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ || !Flush(0, 0) || !Fill()) break;
    }
    return text;
}

bool TlsPeer::Send(const std::string& plaintext, std::size_t piece, int pauseMs) {
    std::size_t written = 0;
    if (SSL_write_ex(ssl_, plaintext.data(), plaintext.size(), &written) != 1) return false;
    return Flush(piece, pauseMs);
}

bool TlsPeer::SendCloseNotify() {
    return SSL_shutdown(ssl_) >= 0 && Flush(0, 0);
}

TlsPeerServer::TlsPeerServer(const CertificateFiles& files, Handler handler) {
    context_ = ServerContext(files);
    listenFd_ = ListenOnLoopback(8, &port_);
    thread_ = std::thread([this, handler = std::move(handler)] { Serve(handler); });
}

TlsPeerServer::~TlsPeerServer() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
    if (context_) SSL_CTX_free(context_);
}

void TlsPeerServer::Serve(Handler handler) {
    int fd = -1;
    while (!stop_ && fd < 0) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 20) == 1) fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (SSL* ssl = fd >= 0 ? MemorySession(context_) : nullptr) {
        TlsPeer peer(fd, ssl);
        handler(peer);
        SSL_free(ssl);
        ERR_clear_error();
    }
    if (fd >= 0) close(fd);
    finished_ = true;
}
