// The update decision: what the manifest from the update server asks the
// engine folder to fetch, given the installed engine's version.
//
// The manifest (XML, see xml_parser.h):
//   <root><file><TLXDownloadV32.exe ver=".." url=".." hash=".."/> <other.dll .../></file>
//         <all><all url=".." hash=".."/></all></root>
// Elements are found without regard to case, attributes by exact name. The
// version rule is equality only: any difference (an older manifest version
// too) asks for an update, so the server can roll an engine back.
//
// A plain function of the data and the folder; it reads the installed
// engine's version from disk and writes two lines to the service log. The
// updater calls it on the service worker thread.
#pragma once

#include <cstdint>
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
};

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
