#include "updater/update_manifest.h"

#include "platform/file_version.h"
#include "platform/files.h"
#include "service/base/service_log.h"
#include "updater/extract_archive.h"
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

// The archive and digest addresses of an element; false when either is
// missing or not https (an unchecked download would install anything).
bool Addresses(const CXmlElement* element, CUpdateDownload* out) {
    out->url = Attribute(element, "url");
    out->digestUrl = Attribute(element, "hash");
    return IsHttpsUrl(out->url) && IsHttpsUrl(out->digestUrl);
}

}  // namespace

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
        if (!Addresses(CXMLParserNorvex::FindChild(all, "all"), &package)) {
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
        if (!Addresses(CXMLParserNorvex::FindChild(file, download.fileName), &download)) {
            plan.downloads.clear();
            plan.result = kManifestUnusable;
            return plan;
        }
        plan.downloads.push_back(std::move(download));
    }
    plan.result = kManifestDone;
    return plan;
}
