// A test certificate authority and server certificates, made with the
// openssl command in a temporary folder (EC P-256 keys, so it is quick).
// Tests point SSL_CERT_FILE at CaFile() to trust the authority.
#pragma once

#include <string>

#include "tests/support/temp_folder.h"

struct CertificateFiles {
    std::string cert;  // PEM certificate
    std::string key;   // PEM private key
};

class TestCertificates {
public:
    // Creates the authority; Error() tells why when CaFile() is empty.
    TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& CaFile() const { return caFile_; }
    const std::string& Error() const { return error_; }

    // A server certificate signed by the authority, named `name` in the
    // files, for `altNames` (openssl syntax: "DNS:a.test,IP:127.0.0.1"),
    // valid from now for `days`; -1 gives one that expired yesterday.
    bool Issue(const std::string& name, const std::string& altNames, int days,
               CertificateFiles* out);
    // A self-signed server certificate for `altNames`.
    bool SelfSigned(const std::string& name, const std::string& altNames, CertificateFiles* out);

private:
    bool Run(const std::string& arguments);

    TempFolder dir_;
    std::string caFile_;
    std::string caKey_;
    std::string error_;
};
