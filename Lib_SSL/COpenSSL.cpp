#include "Lib_SSL/COpenSSL.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

namespace {

// The process-wide BIO method and the sessions that use it. Start-up and
// clean-up run on the worker thread, but a session may be freed later on
// the thread that deletes the job manager, hence the mutex (which also
// guards the shared trust store below).
std::mutex g_methodMutex;
BIO_METHOD* g_method = nullptr;
int g_liveSessions = 0;
bool g_freeWhenUnused = false;

void FreeMethodLocked() {
    BIO_meth_free(g_method);
    g_method = nullptr;
    g_freeWhenUnused = false;
}

// The trust store of the default verify paths, shared by every session
// while SSL_CERT_FILE and SSL_CERT_DIR stay as they were: loading the
// system bundle takes some 20 ms, too much to repeat for every connection.
// Sessions hold their own references, so it may be replaced at any time.
X509_STORE* g_store = nullptr;
std::string g_storeKey;

void FreeStoreLocked() {
    X509_STORE_free(g_store);
    g_store = nullptr;
    g_storeKey.clear();
}

// The store for the current environment, or null when it cannot be built.
X509_STORE* CurrentStoreLocked() {
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* folder = std::getenv(X509_get_default_cert_dir_env());
    // "|" marks an unset variable apart from an empty one.
    std::string key = std::string(file ? file : "|") + '\n' + (folder ? folder : "|");
    if (g_store && key == g_storeKey) return g_store;
    X509_STORE* store = X509_STORE_new();
    if (!store) return nullptr;
    if (X509_STORE_set_default_paths(store) != 1) {
        X509_STORE_free(store);
        return nullptr;
    }
    FreeStoreLocked();
    g_store = store;
    g_storeKey = key;
    return g_store;
}

}  // namespace

bool COpenSSL::GlobalStartup() {
    if (OPENSSL_init_ssl(0, nullptr) != 1) return false;
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
        return false;
    if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) !=
        1)
        return false;

    std::lock_guard lock(g_methodMutex);
    // A clean-up still waiting for old sessions is called off: the method
    // is wanted again.
    g_freeWhenUnused = false;
    if (g_method) return true;
    BIO_METHOD* method = BIO_meth_new(0, "norvex BIO");
    if (!method) return false;
    bool ok = BIO_meth_set_write(method, &COpenSSL::BioWrite) == 1 &&
              BIO_meth_set_read(method, &COpenSSL::BioRead) == 1 &&
              BIO_meth_set_puts(method, &COpenSSL::BioPuts) == 1 &&
              BIO_meth_set_ctrl(method, &COpenSSL::BioCtrl) == 1 &&
              BIO_meth_set_create(method, &COpenSSL::BioCreate) == 1 &&
              BIO_meth_set_destroy(method, &COpenSSL::BioDestroy) == 1;
    if (!ok) {
        BIO_meth_free(method);
        return false;
    }
    g_method = method;
    return true;
}

void COpenSSL::GlobalCleanup() {
    std::lock_guard lock(g_methodMutex);
    if (!g_method) return;
    // BIO_free calls into the method, so it must outlive every session's
    // BIOs; connections still waiting for their deferred release keep it.
    if (g_liveSessions == 0)
        FreeMethodLocked();
    else
        g_freeWhenUnused = true;
    FreeStoreLocked();
}

bool COpenSSL::MethodExistsForTesting() {
    std::lock_guard lock(g_methodMutex);
    return g_method != nullptr;
}

int COpenSSL::LiveSessionsForTesting() {
    std::lock_guard lock(g_methodMutex);
    return g_liveSessions;
}

vzStatus COpenSSL::Create(const COpenSSLCallbacks& callbacks, const char* host, COpenSSL** out) {
    if (!out) return kTransportFail;
    *out = nullptr;
    if (!callbacks.send || !callbacks.handshakeDone || !callbacks.data || !host || !*host)
        return kTransportFail;
    {
        std::lock_guard lock(g_methodMutex);
        if (!g_method) return kTransportFail;
        // Counted before any BIO exists, so that the destructor's count
        // always matches.
        ++g_liveSessions;
    }
    auto* session = new COpenSSL;
    session->callbacks_ = callbacks;
    if (!session->SetUp(host)) {
        session->Free();
        return kTransportFail;
    }
    *out = session;
    return kTransportOk;
}

bool COpenSSL::SetUp(const char* host) {
    // A failure earlier on this thread must not be taken for ours.
    ERR_clear_error();
    std::string name(host);
    if (name.size() > 1 && name.back() == '.') name.pop_back();

    context_ = SSL_CTX_new(TLS_client_method());
    if (!context_) return false;
    // TLS 1.0 and 1.1 are not offered: every server we talk to has 1.2.
    if (SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION) != 1) return false;
    {
        // The environment is looked at for every session, so a changed
        // SSL_CERT_FILE / SSL_CERT_DIR takes effect with the next connection.
        std::lock_guard lock(g_methodMutex);
        X509_STORE* store = CurrentStoreLocked();
        if (!store) return false;
        SSL_CTX_set1_cert_store(context_, store);
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);

    ssl_ = SSL_new(context_);
    if (!ssl_) return false;

    // An IP literal is matched against the certificate's IP addresses and
    // is never sent as SNI (which carries host names only).
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
    if (ip) {
        ASN1_OCTET_STRING_free(ip);
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str()) != 1) return false;
    } else {
        ERR_clear_error();  // a2i_IPADDRESS leaves nothing we need
        if (SSL_set_tlsext_host_name(ssl_, name.c_str()) != 1) return false;
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(ssl_, name.c_str()) != 1) return false;
    }

    BIO_METHOD* method = nullptr;
    {
        std::lock_guard lock(g_methodMutex);
        method = g_method;  // kept alive by our count
    }
    BIO* readBio = BIO_new(method);
    if (!readBio) return false;
    BIO* writeBio = BIO_new(method);
    if (!writeBio) {
        BIO_free(readBio);
        return false;
    }
    BIO_set_data(readBio, this);
    BIO_set_data(writeBio, this);
    SSL_set_bio(ssl_, readBio, writeBio);  // the SSL owns both from here

    plain_ = std::make_unique<unsigned char[]>(kReadBlock);
    return true;
}

COpenSSL::~COpenSSL() {
    if (ssl_) SSL_free(ssl_);  // frees both BIOs
    if (context_) SSL_CTX_free(context_);
    ERR_clear_error();
    std::lock_guard lock(g_methodMutex);
    --g_liveSessions;
    if (g_liveSessions == 0 && g_freeWhenUnused && g_method) FreeMethodLocked();
}

void COpenSSL::Free() {
    delete this;
}

void COpenSSL::OpenWindow(const void* bytes, std::size_t length) {
    input_ = static_cast<const unsigned char*>(bytes);
    inputLength_ = bytes ? length : 0;
    inputRead_ = 0;
}

std::size_t COpenSSL::CloseWindow() {
    std::size_t read = inputRead_;
    input_ = nullptr;
    inputLength_ = 0;
    inputRead_ = 0;
    return read;
}

bool COpenSSL::Handshake(const void* bytes, std::size_t length, std::size_t* consumed) {
    OpenWindow(bytes, length);
    ERR_clear_error();
    int result = SSL_connect(ssl_);
    bool ok = result == 1 || SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;
    std::size_t taken = CloseWindow();
    if (consumed) *consumed = taken;
    if (!ok) {
        ERR_clear_error();
        return false;
    }
    if (result == 1) callbacks_.handshakeDone(callbacks_.user);
    return true;
}

bool COpenSSL::ReadData(const void* bytes, std::size_t length, std::size_t* consumed) {
    OpenWindow(bytes, length);
    bool ok = true;
    // Every whole record of the input in one call: a record's plaintext may
    // also come out without the call taking a byte of input (a record that
    // was completed by the previous call), and a call that consumes nothing
    // would not be repeated.
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        int result = SSL_read_ex(ssl_, plain_.get(), kReadBlock, &got);
        if (result == 1) {
            if (!callbacks_.data(callbacks_.user, plain_.get(), got)) break;
            continue;
        }
        // SSL_ERROR_ZERO_RETURN (the peer's close_notify) ends the stream
        // like an error: the connection is closed and the layer above
        // judges what it received by its own length.
        ok = SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;
        break;
    }
    std::size_t taken = CloseWindow();
    if (consumed) *consumed = taken;
    if (!ok) ERR_clear_error();
    return ok;
}

bool COpenSSL::Write(const void* data, std::size_t length) {
    if (length == 0) return true;
    if (!data) return false;
    ERR_clear_error();
    std::size_t written = 0;
    // Our write BIO takes every byte at once, so a write is all or nothing.
    if (SSL_write_ex(ssl_, data, length, &written) != 1 || written != length) {
        ERR_clear_error();
        return false;
    }
    return true;
}

long COpenSSL::VerifyResult() const {
    return SSL_get_verify_result(ssl_);
}

const char* COpenSSL::VerifyResultText() const {
    return X509_verify_cert_error_string(VerifyResult());
}

// The BIO method. Both BIOs of a session carry the session as their data.

int COpenSSL::BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    auto* self = static_cast<COpenSSL*>(BIO_get_data(bio));
    if (!data || !self) {
        ERR_raise(ERR_LIB_BIO, BIO_R_NULL_PARAMETER);
        return -1;
    }
    if (length <= 0) return 0;
    self->callbacks_.send(self->callbacks_.user, data, static_cast<std::size_t>(length));
    return length;
}

int COpenSSL::BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    auto* self = static_cast<COpenSSL*>(BIO_get_data(bio));
    if (self && buffer && size > 0 && self->inputRead_ < self->inputLength_) {
        std::size_t count =
            std::min(self->inputLength_ - self->inputRead_, static_cast<std::size_t>(size));
        std::memcpy(buffer, self->input_ + self->inputRead_, count);
        self->inputRead_ += count;
        return static_cast<int>(count);
    }
    // No input left: OpenSSL reports SSL_ERROR_WANT_READ and keeps what it
    // has of a partial record until the next call.
    BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return -1;
}

int COpenSSL::BioPuts(BIO* bio, const char* text) {
    std::size_t length = text ? std::strlen(text) : 0;
    if (length > static_cast<std::size_t>(std::numeric_limits<int>::max())) return -1;
    return BioWrite(bio, text, static_cast<int>(length));
}

long COpenSSL::BioCtrl(BIO* bio, int command, long value, void*) {
    switch (command) {
        case BIO_CTRL_GET_CLOSE:
            return BIO_get_shutdown(bio);
        case BIO_CTRL_SET_CLOSE:
            BIO_set_shutdown(bio, static_cast<int>(value));
            return 1;
        case BIO_CTRL_FLUSH:
        case BIO_CTRL_DUP:
            return 1;
        default:
            return 0;  // reset included: there is nothing to reset
    }
}

int COpenSSL::BioCreate(BIO* bio) {
    BIO_set_shutdown(bio, 1);
    BIO_set_init(bio, 1);
    return 1;
}

int COpenSSL::BioDestroy(BIO*) {
    return 1;
}
