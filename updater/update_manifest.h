// The update decision: what the manifest from the update server asks the
// engine folder to fetch, given the installed engine's version.
//
// The manifest (XML, see xml_parser.h):
//   <root serial="17" expires="2027-06-30T00:00:00Z">
//     <file><TLXDownloadV32.exe ver=".." url=".." hash=".." sha256=".." size=".."/>
//           <other.dll .../></file>
//     <all><all url=".." hash=".." sha256=".." size=".."/></all></root>
// Elements are found without regard to case, attributes by exact name. The
// version rule is equality only: any difference (an older manifest version
// too) asks for an update, so the server can roll an engine back.
//
// "sha256" (64 hex digits) and "size" (decimal bytes) of an archive, and
// "serial" (a decimal number) and "expires" (an ISO 8601 UTC time, or a
// date) of the manifest, are optional. A build with the publisher's key
// (manifest_signature.h) requires them, and the signature covers them: the
// archive must have that SHA-256 and size (so the archive and digest
// addresses can no longer be served with anything else), a manifest whose
// serial is below the highest one seen (kept in the engine folder) is an
// old one served again and is refused, and so is one past its expiry (a
// server frozen on a stale release). A build without a key checks sha256
// and size when they are given.
//
// A plain function of the data and the folder; it reads the installed
// engine's version from disk and writes two lines to the service log. The
// updater calls it on the service worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One download the manifest asks for: an archive, its digest file, and
// where it unpacks (the file name names the entry, the folder receives it).
struct CUpdateDownload {
    std::string url;
    std::string digestUrl;
    std::string fileName;
    std::string folder;
    std::optional<std::array<std::uint8_t, 32>> sha256;  // the archive's, when named
    std::int64_t size = -1;                              // the archive's, when named
};

enum ManifestResult : int {
    kManifestDone = 0,            // the downloads (possibly none) are known
    kManifestNoData = 2,          // nothing to read
    kManifestUnusable = 3,        // no version, or a needed address missing or not https
    kManifestNoEngineFolder = 7,  // the engine folder cannot be created
};

struct CUpdatePlan {
    int result = kManifestNoData;
    std::string newVersion;  // the manifest's "ver", when it has one
    std::vector<CUpdateDownload> downloads;
    std::string refusal;  // why a manifest was refused (logged), when it was
};

// The highest manifest serial seen, kept in the engine folder (-1: none).
std::int64_t SeenManifestSerial(const std::string& engineFolder);
// Test seam: the time manifests are judged at (0: the clock).
void SetManifestTimeForTesting(std::int64_t unixSeconds);
// Reads an "expires" value: "YYYY-MM-DD" (the start of that day) or
// "YYYY-MM-DDTHH:MM:SSZ", in UTC. False for anything else.
[[nodiscard]] bool ParseExpiry(std::string_view text, std::int64_t* unixSeconds);

// Reads the manifest (`size` bytes at `data`; at most 1 MiB is looked at)
// and decides against the engine in `engineFolder` (which ends with "/" and
// is created when missing). Logs "[OstrelLib] Current Version: ..." and
// "[OstrelLib] Update File (Count: n)" once the version is known.
CUpdatePlan PlanUpdate(const std::uint8_t* data, std::int64_t size,
                       const std::string& engineFolder);

// The installed engine's version: the version note of the executable,
// without surrounding blanks; "" when the file or its note is missing.
std::string InstalledEngineVersion(const std::string& engineFolder);

// Only addresses the TLS layer checks are fetched: "https://" and a host.
bool IsHttpsUrl(std::string_view url);
