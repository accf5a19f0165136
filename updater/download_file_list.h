// The update's file list: the manifest entry first, then one entry per
// archive the manifest asks for, each carried through its stages (digest
// file, then archive) and its tries. It knows nothing of the network: the
// update downloader asks it for the next entry to fetch, hands it every
// finished download (CDownloadFile::OnData) and tells it how each fetch
// ended (RemoveFile).
//
// Threads and ownership: everything runs on the service worker thread with
// the service lock held. The list owns its entries; an entry pointer stays
// valid until RemoveFile removes that entry or the list goes. The list
// must outlive every entry's use by a session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "updater/archive_download.h"
#include "updater/update_digest.h"
#include "updater/update_manifest.h"

enum DownloadKind : std::int32_t {
    kDownloadNone = 0,
    kDownloadDigest = 1,
    kDownloadManifest = 2,
    kDownloadArchive = 3,
};

// Codes of a finished download (OnData), as the downloader acts on them.
enum DownloadCode : int {
    kDownloadDone = 0,
    kDownloadForeignAddress = 1,  // the address is no stage of the entry
    kDownloadNoData = 2,
    kDownloadManifestUnusable = 3,
    kDownloadDigestMismatch = 4,  // also: no digest to check against
    kDownloadUnpackFailed = 5,    // or an unknown archive type
    kDownloadUnpackerFive = 6,
    kDownloadNoEngineFolder = 7,
    // The new engine did not prove itself (it does not run, or is another
    // version than the manifest's): the installed one stays.
    kDownloadEngineNotReady = 8,
};

class CDownloadFile;

// What the entries report to their list.
class IDownloadFileEventListener {
public:
    virtual ~IDownloadFileEventListener() = default;
    // The manifest arrived.
    [[nodiscard]] virtual int OnManifest(CDownloadFile* entry, const std::uint8_t* data,
                                         std::int64_t size) = 0;
    // An archive is whole on disk (the entry's Archive()).
    [[nodiscard]] virtual int OnArchive(CDownloadFile* entry) = 0;
};

// One download as a session sees it.
class IProgressFile {
public:
    virtual ~IProgressFile() = default;
    // The address to fetch next: the digest file's while it is still
    // needed, else the archive's.
    virtual void GetUrl(std::string* out) const = 0;
    // False only right after the digest file: the archive is still to come.
    virtual bool IsFinished() const = 0;
    // The data of a finished download of `address` (not owned, `size`
    // bytes); `kind` receives the stage. Answers a DownloadCode.
    [[nodiscard]] virtual int OnData(const std::string& address, const std::uint8_t* data,
                                     std::int64_t size, std::int32_t* kind) = 0;
    // Which stage `address` is for this entry (a DownloadKind).
    virtual std::int32_t Classify(const std::string& address) const = 0;
    // Where an archive is written as it arrives (null for the manifest and
    // digest stages, and for entries that keep their data in memory).
    virtual CArchiveDownload* Archive() { return nullptr; }
    // The archive of `address` is whole on disk: checks and installs it.
    // Answers a DownloadCode; `kind` receives the stage.
    [[nodiscard]] virtual int OnArchiveFetched(const std::string& address, std::int32_t* kind) {
        (void)address;
        (void)kind;
        return kDownloadNoData;
    }
};

class CDownloadFile : public IProgressFile {
public:
    static constexpr std::int32_t kTries = 3;

    CDownloadFile(IDownloadFileEventListener* listener, std::string url, std::string digestUrl,
                  std::string fileName, std::string folder);
    CDownloadFile(IDownloadFileEventListener* listener, const CUpdateDownload& download);
    ~CDownloadFile() override;

    void GetUrl(std::string* out) const override;
    bool IsFinished() const override { return kind_ != kDownloadDigest; }
    [[nodiscard]] int OnData(const std::string& address, const std::uint8_t* data,
                             std::int64_t size, std::int32_t* kind) override;
    std::int32_t Classify(const std::string& address) const override;
    CArchiveDownload* Archive() override;
    [[nodiscard]] int OnArchiveFetched(const std::string& address, std::int32_t* kind) override;

    std::string CurrentAddress() const;
    const std::string& Url() const { return url_; }
    const std::string& DigestUrl() const { return digestUrl_; }
    const std::string& FileName() const { return fileName_; }
    const std::string& Folder() const { return folder_; }
    bool IsManifest() const {
        return originalDigestUrl_.empty() && folder_.empty() && fileName_.empty();
    }
    std::int32_t Kind() const { return kind_; }
    bool IsActive() const { return active_; }
    bool IsForced() const { return forced_; }
    std::int32_t TriesLeft() const { return triesLeft_; }
    const CExpectedDigest* ExpectedDigest() const { return expected_ ? &*expected_ : nullptr; }
    const std::optional<CArchiveDownload::Sha256>& Sha256() const { return sha256_; }
    std::int64_t Size() const { return size_; }

private:
    friend class CDownloadFileList;

    // After a failed archive: the next try fetches the digest file again.
    void ForgetDigest();

    IDownloadFileEventListener* listener_;  // the owning list
    std::string url_;
    std::string digestUrl_;  // emptied once the digest file has arrived
    std::string originalDigestUrl_;
    std::string fileName_;
    std::string folder_;
    std::int32_t kind_ = kDownloadNone;
    std::optional<CExpectedDigest> expected_;
    std::optional<CArchiveDownload::Sha256> sha256_;
    std::int64_t size_ = -1;
    std::unique_ptr<CArchiveDownload> archive_;  // made at the first archive fetch
    bool active_ = false;
    bool forced_ = false;
    std::int32_t triesLeft_ = kTries;
};

class CDownloadFileList : public IDownloadFileEventListener {
public:
    // `engineFolder` (ending with "/") is where the engine lives and where
    // archives are installed.
    explicit CDownloadFileList(std::string engineFolder);
    ~CDownloadFileList() override;
    CDownloadFileList(const CDownloadFileList&) = delete;
    CDownloadFileList& operator=(const CDownloadFileList&) = delete;

    // Appends an entry with three tries; 1 when added, 0 when the URL is
    // empty or already some entry's current address. The manifest entry is
    // the one added without digest URL, name and folder.
    int AddFile(const std::string& url, const std::string& digestUrl, const std::string& fileName,
                const std::string& folder);
    // The same for a download of the manifest, with its checks.
    int AddFile(const CUpdateDownload& download);
    // The first inactive entry that is forced or still has a try (one is
    // spent; a forced entry's tries stop at 0). It becomes active. Null
    // when none qualifies.
    CDownloadFile* NextFile();
    // A fetch of `address` ended. Success removes the entry. A failure
    // leaves it for another try, the digest file included, unless it has
    // none left and is not forced; then it is removed.
    void RemoveFile(const std::string& address, bool success);
    // Forces every entry (while the update server is unreachable) or none.
    void SetForced(bool forced);

    bool IsEmpty() const { return entries_.empty(); }
    std::size_t Count() const { return entries_.size(); }
    CDownloadFile* Find(const std::string& address) const;
    const std::vector<std::unique_ptr<CDownloadFile>>& Entries() const { return entries_; }
    const std::string& NewVersion() const { return newVersion_; }
    // The manifest asked for an archive that was skipped (it failed to
    // prove its engine earlier in this service run).
    bool SkippedFailedArchive() const { return notFetched_; }
    const std::string& EngineFolder() const { return engineFolder_; }

    // Reads the manifest and adds its downloads (update_manifest.h):
    // 0, 2, 3 or 7.
    [[nodiscard]] int OnManifest(CDownloadFile* entry, const std::uint8_t* data,
                                 std::int64_t size) override;
    // Checks the archive on disk against its digest file (and the
    // manifest's SHA-256 and size) and installs it: 2 no archive; 4 no
    // digest or a mismatch (nothing is installed; what verified is kept for
    // the next try); 8 the new engine did not prove itself; else the
    // install's answer (0, 5 or 6).
    [[nodiscard]] int OnArchive(CDownloadFile* entry) override;

private:
    std::string engineFolder_;
    std::vector<std::unique_ptr<CDownloadFile>> entries_;
    std::string newVersion_;
    bool notFetched_ = false;
};

// The archives whose engine did not prove itself in this service run: they
// are not fetched again until the service starts anew.
void RememberFailedArchive(const std::string& url);
bool ArchiveFailedBefore(const std::string& url);
void ForgetFailedArchives();
