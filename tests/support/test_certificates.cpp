#include "tests/support/test_certificates.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

const char kNewKey[] = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

}  // namespace

TestCertificates::TestCertificates() {
    std::string d = dir_.Path();
    if (Run("req -x509" + std::string(kNewKey) + " -keyout " + d + "ca.key -out " + d +
            "ca.pem -days 30 -subj /CN=ZK4-Test-CA" +
            " -addext basicConstraints=critical,CA:TRUE -addext "
            "keyUsage=critical,keyCertSign,cRLSign")) {
        caFile_ = d + "ca.pem";
        caKey_ = d + "ca.key";
    }
}

bool TestCertificates::Run(const std::string& arguments) {
    std::string log = dir_.Path() + "openssl.log";
    std::string command = "openssl " + arguments + " >" + log + " 2>&1";
    if (std::system(command.c_str()) == 0) return true;
    std::ifstream in(log);
    error_ = "openssl " + arguments + ": " + std::string(std::istreambuf_iterator<char>(in), {});
    return false;
}

bool TestCertificates::Issue(const std::string& name, const std::string& altNames, int days,
                             CertificateFiles* out) {
    if (caFile_.empty()) return false;
    std::string base = dir_.Path() + name;
    std::ofstream(base + ".ext") << "subjectAltName=" << altNames
                                 << "\nextendedKeyUsage=serverAuth\n";
    if (!Run("req -new" + std::string(kNewKey) + " -keyout " + base + ".key -out " + base +
             ".csr -subj /CN=" + name))
        return false;
    if (!Run("x509 -req -in " + base + ".csr -CA " + caFile_ + " -CAkey " + caKey_ +
             " -set_serial " + std::to_string(std::hash<std::string>{}(name)&0xFFFFFFF) +
             " -days " + std::to_string(days) + " -extfile " + base + ".ext -out " + base + ".pem"))
        return false;
    *out = {base + ".pem", base + ".key"};
    return true;
}

bool TestCertificates::SelfSigned(const std::string& name, const std::string& altNames,
                                  CertificateFiles* out) {
    std::string base = dir_.Path() + name;
    if (!Run("req -x509" + std::string(kNewKey) + " -keyout " + base + ".key -out " + base +
             ".pem -days 30 -subj /CN=" + name + " -addext subjectAltName=" + altNames))
        return false;
    *out = {base + ".pem", base + ".key"};
    return true;
}
