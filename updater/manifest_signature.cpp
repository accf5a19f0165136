#include "updater/manifest_signature.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <mutex>
#include <optional>

#include "server_hosts.h"

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::int64_t kSignatureBytes = 64;

std::mutex g_keyMutex;
std::string g_keyForTesting;

std::optional<std::array<std::uint8_t, kKeyBytes>> ParseKey(const std::string& hex) {
    if (hex.size() != 2 * kKeyBytes) return std::nullopt;
    std::array<std::uint8_t, kKeyBytes> key{};
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (value < 0) return std::nullopt;
        key[i / 2] = static_cast<std::uint8_t>(key[i / 2] << 4 | value);
    }
    return key;
}

std::string KeyText() {
    std::lock_guard lock(g_keyMutex);
    return g_keyForTesting.empty() ? std::string(kBuildUpdatePublicKey) : g_keyForTesting;
}

}  // namespace

bool ManifestSignatureRequired() {
    return !KeyText().empty();
}

void SetUpdatePublicKeyForTesting(const std::string& hex) {
    std::lock_guard lock(g_keyMutex);
    g_keyForTesting = hex;
}

bool VerifyManifestSignature(const std::uint8_t* manifest, std::int64_t manifestSize,
                             const std::uint8_t* signature, std::int64_t signatureSize,
                             std::string* why) {
    const auto key = ParseKey(KeyText());
    if (!key) {
        // A build with a malformed key must not fall back to trusting.
        *why = "the built-in update key is not 64 hex digits";
        return false;
    }
    if (!manifest || manifestSize <= 0 || !signature || signatureSize != kSignatureBytes) {
        *why = "the signature is not 64 bytes";
        return false;
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!pkey || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
        *why = "the signature check could not be set up";
        return false;
    }
    if (EVP_DigestVerify(context.get(), signature, static_cast<std::size_t>(signatureSize),
                         manifest, static_cast<std::size_t>(manifestSize)) != 1) {
        *why = "the signature does not match the manifest";
        return false;
    }
    return true;
}
