#include "updater/download_file_list.h"

#include <algorithm>

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
    if (address != url_) return kDownloadForeignAddress;
    *kind = kind_ = kDownloadArchive;
    return listener_->OnFileData(this, ExpectedDigest(), data, size);
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
    if (url.empty() || Find(url)) return 0;
    entries_.push_back(std::make_unique<CDownloadFile>(this, url, digestUrl, fileName, folder));
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
    if (plan.result != kManifestDone) return plan.result;
    for (const CUpdateDownload& download : plan.downloads)
        (void)AddFile(download.url, download.digestUrl, download.fileName,
                      download.folder);  // 0: already listed, nothing more to do
    return kDownloadDone;
}

int CDownloadFileList::OnFileData(CDownloadFile* entry, const CExpectedDigest* expected,
                                  const std::uint8_t* data, std::int64_t size) {
    if (!entry || !data || size <= 0) return kDownloadNoData;
    if (!VerifyDigest(size, expected, data)) return kDownloadDigestMismatch;
    return InstallArchive(ArchiveTypeOf(entry->Url()), data, size, entry->Folder());
}
