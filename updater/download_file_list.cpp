#include "updater/download_file_list.h"

#include <algorithm>

#include <cstdint>
#include <mutex>

#include "platform/files.h"
#include "service/base/service_log.h"
#include "updater/engine_install.h"
#include "updater/extract_archive.h"
#include "updater/update_manifest.h"

CDownloadFile::CDownloadFile(IDownloadFileEventListener* listener, std::string url,
                             std::string digestUrl, std::string fileName, std::string folder)
    : listener_(listener),
      url_(std::move(url)),
      digestUrl_(std::move(digestUrl)),
      originalDigestUrl_(digestUrl_),
      fileName_(std::move(fileName)),
      folder_(std::move(folder)) {}

CDownloadFile::CDownloadFile(IDownloadFileEventListener* listener, const CUpdateDownload& download)
    : CDownloadFile(listener, download.url, download.digestUrl, download.fileName,
                    download.folder) {
    sha256_ = download.sha256;
    size_ = download.size;
}

CDownloadFile::~CDownloadFile() {
    // A download that did not end in an install leaves nothing behind.
    if (!archive_) return;
    archive_->Discard();
    TidyEngineVersions(folder_);
}

CArchiveDownload* CDownloadFile::Archive() {
    if (IsManifest() || folder_.empty()) return nullptr;
    if (!archive_) {
        const std::string downloads = EngineVersionsFolder(folder_) + "download/";
        if (!plat::EnsureFolderPath(downloads)) return nullptr;
        const char* extension = ArchiveTypeOf(url_) == kArchiveZip ? ".zip" : ".7z";
        // One file per entry: the list never holds two entries of one address.
        archive_ = std::make_unique<CArchiveDownload>(
            downloads + "archive-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
            extension);
    }
    return archive_.get();
}

int CDownloadFile::OnArchiveFetched(const std::string& address, std::int32_t* kind) {
    if (address.empty() || !kind || !archive_) return kDownloadNoData;
    if (address != url_) return kDownloadForeignAddress;
    *kind = kind_ = kDownloadArchive;
    return listener_->OnArchive(this);
}

std::string CDownloadFile::CurrentAddress() const {
    return digestUrl_.empty() ? url_ : digestUrl_;
}

void CDownloadFile::GetUrl(std::string* out) const {
    *out = CurrentAddress();
}

int CDownloadFile::OnData(const std::string& address, const std::uint8_t* data, std::int64_t size,
                          std::int32_t* kind) {
    if (address.empty() || !data || size <= 0 || !kind) return kDownloadNoData;
    if (IsManifest()) {
        *kind = kind_ = kDownloadManifest;
        return listener_->OnManifest(this, data, size);
    }
    if (!digestUrl_.empty() && address == digestUrl_) {
        *kind = kind_ = kDownloadDigest;
        expected_ = CExpectedDigest{std::vector<std::uint8_t>(data, data + size)};
        digestUrl_.clear();
        return kDownloadDone;
    }
    // Archives go to the disk as they arrive (OnArchiveFetched); one that
    // came whole in memory is no stage of an entry.
    return kDownloadForeignAddress;
}

std::int32_t CDownloadFile::Classify(const std::string& address) const {
    if (address.empty()) return kDownloadNone;
    if (IsManifest()) return kDownloadManifest;
    if (!digestUrl_.empty() && address == digestUrl_) return kDownloadDigest;
    if (address == url_) return kDownloadArchive;
    return kDownloadNone;
}

void CDownloadFile::ForgetDigest() {
    digestUrl_ = originalDigestUrl_;
    expected_.reset();
}

CDownloadFileList::CDownloadFileList(std::string engineFolder)
    : engineFolder_(std::move(engineFolder)) {}

CDownloadFileList::~CDownloadFileList() = default;

int CDownloadFileList::AddFile(const std::string& url, const std::string& digestUrl,
                               const std::string& fileName, const std::string& folder) {
    return AddFile(CUpdateDownload{url, digestUrl, fileName, folder, std::nullopt, -1});
}

int CDownloadFileList::AddFile(const CUpdateDownload& download) {
    if (download.url.empty() || Find(download.url)) return 0;
    entries_.push_back(std::make_unique<CDownloadFile>(this, download));
    return 1;
}

CDownloadFile* CDownloadFileList::NextFile() {
    for (const auto& entry : entries_) {
        if (entry->active_) continue;
        if (entry->triesLeft_ > 0) {
            --entry->triesLeft_;
        } else if (!entry->forced_) {
            continue;
        }
        entry->active_ = true;
        return entry.get();
    }
    return nullptr;
}

void CDownloadFileList::RemoveFile(const std::string& address, bool success) {
    if (address.empty()) return;
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& entry) { return entry->CurrentAddress() == address; });
    if (it == entries_.end()) return;
    CDownloadFile& entry = **it;
    entry.active_ = false;
    if (!success) {
        // The digest is fetched again with the archive: a bad digest file
        // must not doom every later try of a good archive.
        entry.ForgetDigest();
        if (entry.triesLeft_ > 0 || entry.forced_) return;
    }
    entries_.erase(it);
}

void CDownloadFileList::SetForced(bool forced) {
    for (const auto& entry : entries_) entry->forced_ = forced;
}

CDownloadFile* CDownloadFileList::Find(const std::string& address) const {
    for (const auto& entry : entries_)
        if (entry->CurrentAddress() == address) return entry.get();
    return nullptr;
}

int CDownloadFileList::OnManifest(CDownloadFile*, const std::uint8_t* data, std::int64_t size) {
    CUpdatePlan plan = PlanUpdate(data, size, engineFolder_);
    if (!plan.newVersion.empty()) newVersion_ = plan.newVersion;
    if (!plan.refusal.empty())
        WriteServiceLogFormat("[OstrelLib] Update manifest refused : %s", plan.refusal.c_str());
    if (plan.result != kManifestDone) return plan.result;
    for (const CUpdateDownload& download : plan.downloads) {
        if (ArchiveFailedBefore(download.url)) {
            // Its engine did not prove itself: this service run keeps the
            // installed one rather than fetch the same archive again.
            WriteServiceLogFormat("[OstrelLib] Update archive %s was not ready before; not fetched again",
                                  download.url.c_str());
            notFetched_ = true;
            continue;
        }
        (void)AddFile(download);  // 0: already listed, nothing more to do
    }
    return kDownloadDone;
}

int CDownloadFileList::OnArchive(CDownloadFile* entry) {
    CArchiveDownload* archive = entry ? entry->Archive() : nullptr;
    if (!archive || !archive->WholeOnDisk()) return kDownloadNoData;
    std::string why;
    const CArchiveDownload::Check check =
        archive->Verify(entry->ExpectedDigest(), entry->Sha256(), entry->Size(), &why);
    if (check != CArchiveDownload::Check::kMatches) {
        WriteServiceLogFormat("[OstrelLib] Update archive %s refused : %s%s", entry->Url().c_str(),
                              why.c_str(),
                              check == CArchiveDownload::Check::kCannotMatch
                                  ? " (its bytes are not fetched again)"
                                  : "");
        return kDownloadDigestMismatch;
    }
    const EngineInstallOutcome outcome = InstallEngineArchive(
        EngineInstallRequest{entry->Folder(), archive->Path(), ArchiveTypeOf(entry->Url()),
                             newVersion_});
    archive->Discard();
    TidyEngineVersions(entry->Folder());
    if (outcome.result == kInstallEngineNotReady) {
        WriteServiceLogFormat("[OstrelLib] Update not installed, engine not ready : %s",
                              outcome.why.c_str());
        RememberFailedArchive(entry->Url());
        return kDownloadEngineNotReady;
    }
    if (outcome.result != kInstallDone)
        WriteServiceLogFormat("[OstrelLib] Update not installed : %s", outcome.why.c_str());
    return outcome.result;
}

namespace {
std::mutex g_failedMutex;
std::vector<std::string> g_failedArchives;
}  // namespace

void RememberFailedArchive(const std::string& url) {
    std::lock_guard lock(g_failedMutex);
    if (std::find(g_failedArchives.begin(), g_failedArchives.end(), url) == g_failedArchives.end())
        g_failedArchives.push_back(url);
}

bool ArchiveFailedBefore(const std::string& url) {
    std::lock_guard lock(g_failedMutex);
    return std::find(g_failedArchives.begin(), g_failedArchives.end(), url) !=
           g_failedArchives.end();
}

void ForgetFailedArchives() {
    std::lock_guard lock(g_failedMutex);
    g_failedArchives.clear();
}
