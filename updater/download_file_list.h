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

#include "updater/update_digest.h"

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
};

class CDownloadFile;

// What the entries report to their list.
class IDownloadFileEventListener {
public:
    virtual ~IDownloadFileEventListener() = default;
    // The manifest arrived.
    [[nodiscard]] virtual int OnManifest(CDownloadFile* entry, const std::uint8_t* data,
                                         std::int64_t size) = 0;
    // An archive arrived; `expected` is null when the entry has no digest.
    [[nodiscard]] virtual int OnFileData(CDownloadFile* entry, const CExpectedDigest* expected,
                                         const std::uint8_t* data, std::int64_t size) = 0;
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
};

class CDownloadFile : public IProgressFile {
public:
    static constexpr std::int32_t kTries = 3;

    CDownloadFile(IDownloadFileEventListener* listener, std::string url, std::string digestUrl,
                  std::string fileName, std::string folder);

    void GetUrl(std::string* out) const override;
    bool IsFinished() const override { return kind_ != kDownloadDigest; }
    [[nodiscard]] int OnData(const std::string& address, const std::uint8_t* data,
                             std::int64_t size, std::int32_t* kind) override;
    std::int32_t Classify(const std::string& address) const override;

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
    const std::string& EngineFolder() const { return engineFolder_; }

    // Reads the manifest and adds its downloads (update_manifest.h):
    // 0, 2, 3 or 7.
    [[nodiscard]] int OnManifest(CDownloadFile* entry, const std::uint8_t* data,
                                 std::int64_t size) override;
    // Checks the archive against its digest and installs it: 2 no data; 4
    // no digest or a mismatch (nothing touches the disk); else
    // InstallArchive's answer (0, 5 or 6).
    [[nodiscard]] int OnFileData(CDownloadFile* entry, const CExpectedDigest* expected,
                                 const std::uint8_t* data, std::int64_t size) override;

private:
    std::string engineFolder_;
    std::vector<std::unique_ptr<CDownloadFile>> entries_;
    std::string newVersion_;
};
