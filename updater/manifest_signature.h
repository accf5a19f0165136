// The optional signature of the update manifest. A publisher that builds
// the program with its Ed25519 public key (cmake -DZK4_UPDATE_PUBLIC_KEY=
// <64 hex digits>) publishes beside the manifest a detached signature of
// its exact bytes, "<manifest URL>.sig" (the 64 raw signature bytes, as
// `openssl pkeyutl -sign -rawin` writes them); the updater then uses no
// manifest whose signature does not verify. Without a key the manifest is
// used as it comes (over verified https).
//
// Any thread; no state but the test seam.
#pragma once

#include <cstdint>
#include <string>

// Whether manifests must be signed (a valid key is built in or set).
bool ManifestSignatureRequired();
// True when `signature` is a valid Ed25519 signature of `manifest` under
// the key; `why` says what failed otherwise.
[[nodiscard]] bool VerifyManifestSignature(const std::uint8_t* manifest, std::int64_t manifestSize,
                                           const std::uint8_t* signature,
                                           std::int64_t signatureSize, std::string* why);
// Test seam: the key as 64 hex digits ("" goes back to the built-in one).
void SetUpdatePublicKeyForTesting(const std::string& hex);
