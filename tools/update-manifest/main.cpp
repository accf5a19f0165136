// update-manifest: everything a publisher puts on the update server for one
// engine release, from the packed engine: the archive's digest file, the
// manifest naming the version with the archive's address, SHA-256 and size
// and the manifest's serial and expiry, and (with the publisher's key) the
// manifest's detached signature.
//
//   update-manifest --version 3.2.0.8
//                   --url https://update.example/e/engine-3.2.0.8.7z
//                   --serial 18 --expires 2027-06-30 [--key update-key.pem]
//                   engine-3.2.0.8.7z OUTPUT_FOLDER
//
// writes OUTPUT_FOLDER/tlxdownload_updater.xml, OUTPUT_FOLDER/<archive>.md4
// and, with --key (an Ed25519 private key in PEM), OUTPUT_FOLDER/
// tlxdownload_updater.xml.sig. The digest file's address is the archive's
// with ".md4" added; upload the archive beside it.
//
// Exit status: 0 written, 1 a file cannot be read or written or the key
// cannot sign, 2 usage.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "updater/update_digest.h"
#include "updater/update_manifest.h"

namespace {

constexpr const char* kManifestName = "tlxdownload_updater.xml";

int Usage() {
    std::fprintf(stderr,
                 "usage: update-manifest --version VER --url ARCHIVE_URL --serial N "
                 "--expires YYYY-MM-DD[THH:MM:SSZ] [--key KEY.pem] ARCHIVE OUTPUT_FOLDER\n");
    return 2;
}

bool ReadBytes(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

bool WriteBytes(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

// XML attribute text: the five characters the reader decodes, escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

// The 64-byte Ed25519 signature of `message` with the key in `keyFile`.
bool Sign(const std::string& keyFile, const std::string& message, std::vector<unsigned char>* out) {
    FILE* file = std::fopen(keyFile.c_str(), "r");
    if (!file) return false;
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!key) return false;
    bool signedOk = false;
    if (EVP_MD_CTX* context = EVP_MD_CTX_new()) {
        std::size_t length = 64;
        out->assign(length, 0);
        signedOk = EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                   EVP_DigestSign(context, out->data(), &length,
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size()) == 1 &&
                   length == 64;
        EVP_MD_CTX_free(context);
    }
    EVP_PKEY_free(key);
    return signedOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--", 0) == 0) {
            if (i + 1 >= argc) return Usage();
            options[argument.substr(2)] = argv[++i];
        } else {
            files.push_back(argument);
        }
    }
    for (const char* required : {"version", "url", "serial", "expires"})
        if (options[required].empty()) return Usage();
    std::int64_t expires = 0;
    if (files.size() != 2 || !IsHttpsUrl(options["url"]) ||
        !ParseExpiry(options["expires"], &expires) ||
        options["serial"].find_first_not_of("0123456789") != std::string::npos)
        return Usage();
    const std::string& archivePath = files[0];
    const std::string folder = files[1].back() == '/' ? files[1] : files[1] + "/";

    std::string archive;
    if (!ReadBytes(archivePath, &archive) || archive.empty()) {
        std::fprintf(stderr, "update-manifest: cannot read %s\n", archivePath.c_str());
        return 1;
    }
    const std::vector<std::uint8_t> digest = DigestSequence(
        reinterpret_cast<const std::uint8_t*>(archive.data()), static_cast<std::int64_t>(archive.size()));
    const std::string name = archivePath.substr(archivePath.find_last_of('/') + 1);
    const std::string url = options["url"];
    const std::string checks = " url=\"" + Escaped(url) + "\" hash=\"" + Escaped(url) +
                               ".md4\" sha256=\"" + Sha256Hex(archive) + "\" size=\"" +
                               std::to_string(archive.size()) + "\"";
    const std::string manifest =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root serial=\"" + options["serial"] +
        "\" expires=\"" + Escaped(options["expires"]) + "\">\n  <file><TLXDownloadV32.exe ver=\"" +
        Escaped(options["version"]) + "\"" + checks + "/></file>\n  <all><all" + checks +
        "/></all>\n</root>\n";
    if (!WriteBytes(folder + name + ".md4", digest.data(), digest.size()) ||
        !WriteBytes(folder + kManifestName, manifest.data(), manifest.size())) {
        std::fprintf(stderr, "update-manifest: cannot write into %s\n", folder.c_str());
        return 1;
    }
    if (!options["key"].empty()) {
        std::vector<unsigned char> signature;
        if (!Sign(options["key"], manifest, &signature) ||
            !WriteBytes(folder + kManifestName + ".sig", signature.data(), signature.size())) {
            std::fprintf(stderr, "update-manifest: cannot sign with %s\n", options["key"].c_str());
            return 1;
        }
    }
    std::printf("%s%s\n", folder.c_str(), kManifestName);
    return 0;
}
