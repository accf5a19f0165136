#include "updater/update_manifest.h"

#include <atomic>

#include "platform/file_version.h"
#include "platform/kernel.h"
#include "platform/files.h"
#include "service/base/service_log.h"
#include "updater/extract_archive.h"
#include "updater/manifest_signature.h"
#include "updater/xml_parser.h"

namespace {

constexpr std::size_t kVersionBuffer = 128;

std::string_view TrimBlanks(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// An attribute through a buffer of `capacity` bytes; "" when absent or too long.
std::string Attribute(const CXmlElement* element, std::string_view name,
                      std::size_t capacity = kXmlAttributeBuffer) {
    std::vector<char> buffer(capacity);
    const std::size_t length =
        CXMLParserNorvex::GetAttribute(element, name, buffer.data(), capacity);
    return std::string(buffer.data(), length);
}

// 64 hex digits; false for anything else.
bool ParseSha256(const std::string& text, std::array<std::uint8_t, 32>* out) {
    if (text.size() != 64) return false;
    for (std::size_t i = 0; i < 32; ++i) {
        int value = 0;
        for (int half = 0; half < 2; ++half) {
            const char c = text[2 * i + half];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        (*out)[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

// Decimal digits only, at most 18 of them; false for anything else.
bool ParseCount(const std::string& text, std::int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

// The archive and digest addresses of an element, and its SHA-256 and
// size when it names them; false (with `why`) when an address is missing
// or not https (an unchecked download would install anything), a named
// check is malformed, or `checksRequired` and one is absent.
bool Addresses(const CXmlElement* element, bool checksRequired, CUpdateDownload* out,
               std::string* why) {
    out->url = Attribute(element, "url");
    out->digestUrl = Attribute(element, "hash");
    if (!IsHttpsUrl(out->url) || !IsHttpsUrl(out->digestUrl)) {
        *why = "an archive or digest address is missing or not https";
        return false;
    }
    const std::string sha = Attribute(element, "sha256");
    const std::string size = Attribute(element, "size");
    if (checksRequired && (sha.empty() || size.empty())) {
        *why = "the signed manifest names no sha256 and size for " + out->url;
        return false;
    }
    std::array<std::uint8_t, 32> digest{};
    if (!sha.empty()) {
        if (!ParseSha256(sha, &digest)) {
            *why = "a malformed sha256";
            return false;
        }
        out->sha256 = digest;
    }
    if (!size.empty() && !ParseCount(size, &out->size)) {
        *why = "a malformed size";
        return false;
    }
    return true;
}

std::atomic<std::int64_t> g_timeForTesting{0};

std::int64_t Now() {
    const std::int64_t forced = g_timeForTesting.load();
    return forced != 0 ? forced : plat::CalendarSeconds();
}

std::string SerialPath(const std::string& engineFolder) {
    return engineFolder + "config/update-serial";
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The serial and expiry of a signed manifest: both present, well formed,
// the serial not below the highest seen, the expiry not passed. On success
// the serial is recorded.
bool FreshManifest(const CXmlElement* root, const std::string& engineFolder, std::string* why) {
    std::int64_t serial = 0, expires = 0;
    if (!ParseCount(Attribute(root, "serial"), &serial)) {
        *why = "the signed manifest has no serial";
        return false;
    }
    if (!ParseExpiry(Attribute(root, "expires"), &expires)) {
        *why = "the signed manifest has no expiry";
        return false;
    }
    const std::int64_t seen = SeenManifestSerial(engineFolder);
    if (serial < seen) {
        *why = "serial " + std::to_string(serial) + " is older than " + std::to_string(seen) +
               " seen before (an old manifest served again)";
        return false;
    }
    if (Now() >= expires) {
        *why = "the manifest expired (" + Attribute(root, "expires") + ")";
        return false;
    }
    if (serial > seen) {
        const std::string text = std::to_string(serial) + "\n";
        const std::string path = SerialPath(engineFolder);
        (void)plat::EnsureFolderPath(path);
        // Through a temporary and a rename: a half-written serial would
        // read as none and open the door to an old manifest.
        if (!plat::TruncateFile(path + ".new") || !plat::AppendToFile(path + ".new", text) ||
            !plat::RenameFile(path + ".new", path)) {
            *why = "the manifest's serial cannot be recorded";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseExpiry(std::string_view text, std::int64_t* unixSeconds) {
    auto digits = [&](std::size_t at, std::size_t count, int* out) {
        if (at + count > text.size()) return false;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + (text[i] - '0');
        }
        *out = value;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(0, 4, &year) || text.size() < 10 || text[4] != '-' || !digits(5, 2, &month) ||
        text[7] != '-' || !digits(8, 2, &day))
        return false;
    if (text.size() != 10) {
        if (text.size() != 20 || text[10] != 'T' || !digits(11, 2, &hour) || text[13] != ':' ||
            !digits(14, 2, &minute) || text[16] != ':' || !digits(17, 2, &second) ||
            text[19] != 'Z')
            return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    *unixSeconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
                       86400 +
                   hour * 3600 + minute * 60 + second;
    return true;
}

std::int64_t SeenManifestSerial(const std::string& engineFolder) {
    std::string text;
    std::int64_t serial = -1;
    if (!plat::ReadWholeFile(SerialPath(engineFolder), &text, 64)) return -1;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return ParseCount(text, &serial) ? serial : -1;
}

void SetManifestTimeForTesting(std::int64_t unixSeconds) {
    g_timeForTesting = unixSeconds;
}

bool IsHttpsUrl(std::string_view url) {
    constexpr std::string_view kScheme = "https://";
    if (url.size() <= kScheme.size()) return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return false;
    }
    return url[kScheme.size()] != '/';
}

std::string InstalledEngineVersion(const std::string& engineFolder) {
    return std::string(TrimBlanks(plat::ReadFileVersion(engineFolder + kEngineExecutableName)));
}

CUpdatePlan PlanUpdate(const std::uint8_t* data, std::int64_t size,
                       const std::string& engineFolder) {
    CUpdatePlan plan;
    if (!data || size <= 0) return plan;
    CXMLParserNorvex parser;
    (void)parser.Load(std::string_view(reinterpret_cast<const char*>(data),
                                       static_cast<std::size_t>(size)));  // always 1
    if (!plat::EnsureFolderPath(engineFolder)) {
        plan.result = kManifestNoEngineFolder;
        return plan;
    }
    // A signed manifest must be the newest seen and not stale; the
    // signature (checked before this) covers these attributes.
    const bool signedBuild = ManifestSignatureRequired();
    if (signedBuild && !FreshManifest(parser.Root(), engineFolder, &plan.refusal)) {
        plan.result = kManifestUnusable;
        return plan;
    }
    const CXmlElement* file = CXMLParserNorvex::FindChild(parser.Root(), "file");
    const CXmlElement* engine = CXMLParserNorvex::FindChild(file, kEngineExecutableName);
    plan.newVersion = Attribute(engine, "ver", kVersionBuffer);
    if (plan.newVersion.empty()) {
        plan.result = kManifestUnusable;
        return plan;
    }

    const std::string exePath = engineFolder + kEngineExecutableName;
    const std::string installed = InstalledEngineVersion(engineFolder);
    WriteServiceLogFormat("[OstrelLib] Current Version: %s / New Version: %s", installed.c_str(),
                          plan.newVersion.c_str());
    std::vector<std::string> candidates;
    if (installed != plan.newVersion) {
        candidates = {exePath, ""};
    } else if (!plat::PathExists(exePath)) {
        candidates = {exePath};
    }
    WriteServiceLogFormat("[OstrelLib] Update File (Count: %d)",
                          static_cast<int>(candidates.size()));

    const std::size_t children = file ? file->children.size() : 0;
    if (!candidates.empty() && candidates.size() == children) {
        // As many changes as files: the whole package is cheaper.
        const CXmlElement* all = CXMLParserNorvex::FindChild(parser.Root(), "all");
        CUpdateDownload package;
        if (!Addresses(CXMLParserNorvex::FindChild(all, "all"), signedBuild, &package,
                       &plan.refusal)) {
            plan.result = kManifestUnusable;
            return plan;
        }
        package.fileName = kEngineExecutableName;
        package.folder = engineFolder;
        plan.downloads.push_back(std::move(package));
        plan.result = kManifestDone;
        return plan;
    }
    for (const std::string& candidate : candidates) {
        if (candidate.empty()) continue;
        const std::size_t slash = candidate.rfind('/');
        CUpdateDownload download;
        download.folder = candidate.substr(0, slash + 1);
        download.fileName = candidate.substr(slash + 1);
        if (!Addresses(CXMLParserNorvex::FindChild(file, download.fileName), signedBuild,
                       &download, &plan.refusal)) {
            plan.downloads.clear();
            plan.result = kManifestUnusable;
            return plan;
        }
        plan.downloads.push_back(std::move(download));
    }
    plan.result = kManifestDone;
    return plan;
}
