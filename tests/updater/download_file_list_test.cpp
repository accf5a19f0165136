// The update file list as the downloader drives it: stages of an entry,
// tries and forcing, the manifest turning into archive entries, and the
// check-then-install of an archive.
#include "updater/download_file_list.h"

#include <gtest/gtest.h>

#include "platform/file_version.h"
#include "platform/files.h"
#include "platform/folder_tree.h"
#include "service/base/service_log.h"
#include "tests/support/data_home.h"
#include "tests/updater/archive_builders.h"

using namespace updater_test;

namespace {

constexpr const char* kManifestUrl = "https://u.example/m.xml";
constexpr const char* kUrl = "https://u.example/e.7z";
constexpr const char* kHash = "https://u.example/e.7z.md4";
// The engine's own archive in the tests that install it.
constexpr const char* kZipUrl = "https://u.example/e.zip";

class DownloadFileListTest : public testing::Test {
protected:
    void SetUp() override {
        ResetServiceLog();
        engine_ = home_.Path() + "Norvex/tlxDownloadV32/";
    }

    // Fetches of the entry's current address until it leaves the list.
    int FailUntilGone(CDownloadFileList* list, const std::string& address, int limit) {
        int fetches = 0;
        while (list->Find(address) && fetches < limit) {
            CDownloadFile* entry = list->NextFile();
            if (!entry) break;
            ++fetches;
            list->RemoveFile(entry->CurrentAddress(), false);
        }
        return fetches;
    }

    ScopedDataHome home_;
    std::string engine_;
};

}  // namespace

TEST_F(DownloadFileListTest, AddingNeedsAUrlNotYetListed) {
    CDownloadFileList list(engine_);
    EXPECT_EQ(list.AddFile(kUrl, kHash, "TLXDownloadV32.exe", engine_), 1);
    EXPECT_EQ(list.AddFile(kHash, "", "", ""), 0) << "the digest address is the current one";
    EXPECT_EQ(list.AddFile("", "", "", ""), 0);
    EXPECT_EQ(list.Count(), 1u);
    CDownloadFile* entry = list.Entries()[0].get();
    std::string address;
    entry->GetUrl(&address);
    EXPECT_EQ(address, kHash);
    EXPECT_EQ(entry->Classify(kHash), kDownloadDigest);
    EXPECT_EQ(entry->Classify(kUrl), kDownloadArchive);
    EXPECT_EQ(entry->Classify("https://other/"), kDownloadNone);
    EXPECT_EQ(entry->Classify(""), kDownloadNone);
    EXPECT_EQ(entry->TriesLeft(), 3);
}

TEST_F(DownloadFileListTest, ThirdFailureRemovesAnEntryAForcedOneStays) {
    CDownloadFileList list(engine_);
    (void)list.AddFile(kUrl, kHash, "TLXDownloadV32.exe", engine_);
    EXPECT_EQ(FailUntilGone(&list, kHash, 10), 3);
    EXPECT_TRUE(list.IsEmpty());

    (void)list.AddFile(kUrl, kHash, "TLXDownloadV32.exe", engine_);
    list.SetForced(true);
    EXPECT_EQ(FailUntilGone(&list, kHash, 10), 10) << "a forced entry is never dropped";
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Entries()[0]->TriesLeft(), 0) << "its tries stop at 0";
    list.SetForced(false);
    EXPECT_EQ(list.NextFile(), nullptr);
}

TEST_F(DownloadFileListTest, ActiveEntriesAreNotHandedOutTwice) {
    CDownloadFileList list(engine_);
    (void)list.AddFile(kUrl, kHash, "a", engine_);
    (void)list.AddFile("https://u.example/b.7z", "https://u.example/b.md4", "b", engine_);
    CDownloadFile* first = list.NextFile();
    CDownloadFile* second = list.NextFile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(list.NextFile(), nullptr);
    list.RemoveFile(first->CurrentAddress(), true);
    EXPECT_EQ(list.Count(), 1u);
    list.RemoveFile("", false);
    list.RemoveFile("https://unknown/", false);
    EXPECT_EQ(list.Count(), 1u);
}

// An entry for the engine's archive, made by a manifest naming the built
// engine's version (which the install proves).
CDownloadFile* EngineEntry(CDownloadFileList* list, const char* url = kZipUrl) {
    const std::string version = plat::ReadFileVersion(ZK4_ENGINE_BIN);
    (void)list->AddFile(kManifestUrl, "", "", "");
    CDownloadFile* manifest = list->NextFile();
    const std::string text = "<?xml?><r><file><TLXDownloadV32.exe ver=\"" + version +
                             "\" url=\"" + url + "\" hash=\"" + kHash + "\"/></file></r>";
    std::int32_t kind = 0;
    EXPECT_EQ(manifest->OnData(kManifestUrl, Bytes(text), text.size(), &kind), kDownloadDone);
    list->RemoveFile(kManifestUrl, true);
    return list->NextFile();
}

// The archive's bytes as the session writes them, then its end.
int Deliver(CDownloadFile* entry, const std::string& archive, const char* url = kZipUrl) {
    CArchiveDownload* file = entry->Archive();
    EXPECT_NE(file, nullptr);
    if (!file) return -1;
    const std::int64_t from = file->ResumeOffset();
    EXPECT_TRUE(file->Begin(from, static_cast<std::int64_t>(archive.size())));
    EXPECT_TRUE(file->Write(archive.data() + from, archive.size() - static_cast<std::size_t>(from)));
    EXPECT_TRUE(file->Finish());
    std::int32_t kind = 0;
    return entry->OnArchiveFetched(url, &kind);
}

TEST_F(DownloadFileListTest, DigestThenArchiveInstalls) {
    const std::string archive =
        MakeZip(home_.Path(), {ZipItem{"TLXDownloadV32.exe", ReadFile(ZK4_ENGINE_BIN)}});
    const std::vector<std::uint8_t> digest = DigestSequence(Bytes(archive), archive.size());
    CDownloadFileList list(engine_);
    CDownloadFile* entry = EngineEntry(&list);
    ASSERT_NE(entry, nullptr);
    std::int32_t kind = -1;
    EXPECT_EQ(entry->OnData(kHash, digest.data(), digest.size(), &kind), kDownloadDone);
    EXPECT_EQ(kind, kDownloadDigest);
    EXPECT_FALSE(entry->IsFinished()) << "the archive is still to come";
    EXPECT_EQ(entry->CurrentAddress(), kZipUrl);
    EXPECT_EQ(entry->OnData(kZipUrl, Bytes(archive), archive.size(), &kind), kDownloadForeignAddress)
        << "an archive never arrives in memory";
    EXPECT_EQ(Deliver(entry, archive), kDownloadDone) << ReadFile(GetServiceLogPath());
    EXPECT_TRUE(entry->IsFinished());
    EXPECT_TRUE(ReadFile(engine_ + "TLXDownloadV32.exe") == ReadFile(ZK4_ENGINE_BIN));
    EXPECT_EQ(plat::KindOfPath(engine_ + "TLXDownloadV32.exe"), plat::PathKind::kLink);
    EXPECT_EQ(plat::KindOfPath(entry->Archive()->Path()), plat::PathKind::kMissing)
        << "the downloaded archive is gone once installed";
    list.RemoveFile(kZipUrl, true);
    EXPECT_TRUE(list.IsEmpty());
}

TEST_F(DownloadFileListTest, AMismatchInstallsNothingAndKeepsOnlyTheVerifiedPieces) {
    // Over two pieces, so that one can match and the next not.
    const std::string archive =
        MakeZip(home_.Path(), {ZipItem{.name = "TLXDownloadV32.exe",
                                       .data = ReadFile(ZK4_ENGINE_BIN),
                                       .method = 0}});
    ASSERT_GT(archive.size(), 2u * kDigestPieceBytes);
    std::vector<std::uint8_t> wrong = DigestSequence(Bytes(archive), archive.size());
    wrong[16 + 3] ^= 1;  // the second piece's digest
    CDownloadFileList list(engine_);
    CDownloadFile* entry = EngineEntry(&list);
    ASSERT_NE(entry, nullptr);
    std::int32_t kind = 0;
    EXPECT_EQ(entry->OnData(kHash, wrong.data(), wrong.size(), &kind), kDownloadDone);
    EXPECT_EQ(Deliver(entry, archive), kDownloadDigestMismatch);
    EXPECT_FALSE(plat::PathExists(engine_ + "TLXDownloadV32.exe"));
    EXPECT_EQ(entry->Archive()->ResumeOffset(), kDigestPieceBytes)
        << "the first piece verified and is kept for the next try";
    list.RemoveFile(kZipUrl, false);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(entry->CurrentAddress(), kHash) << "the next try fetches the digest again";
    EXPECT_EQ(entry->ExpectedDigest(), nullptr);
    EXPECT_EQ(entry->TriesLeft(), 2);

    // With the right digest the rest is fetched and the engine goes in.
    (void)list.NextFile();
    const std::vector<std::uint8_t> right = DigestSequence(Bytes(archive), archive.size());
    EXPECT_EQ(entry->OnData(kHash, right.data(), right.size(), &kind), kDownloadDone);
    EXPECT_EQ(Deliver(entry, archive), kDownloadDone);
    EXPECT_TRUE(ReadFile(engine_ + "TLXDownloadV32.exe") == ReadFile(ZK4_ENGINE_BIN));
}

TEST_F(DownloadFileListTest, WithoutAFittingDigestTheArchiveIsNeitherInstalledNorFetchedAgain) {
    const std::string archive = Make7z({File("TLXDownloadV32.exe", "x")});
    CDownloadFileList list(engine_);
    CDownloadFile* entry = EngineEntry(&list, kUrl);
    ASSERT_NE(entry, nullptr);
    // No digest file arrived: a failed try, never an unchecked install.
    EXPECT_EQ(Deliver(entry, archive, kUrl), kDownloadDigestMismatch);
    EXPECT_TRUE(entry->Archive()->WholeOnDisk()) << "kept whole: only a digest is missing";
    // A digest file of the wrong length cannot match any archive this long.
    const std::vector<std::uint8_t> odd(48, 0);
    std::int32_t kind = 0;
    EXPECT_EQ(entry->OnData(kHash, odd.data(), odd.size(), &kind), kDownloadDone);
    EXPECT_EQ(entry->OnArchiveFetched(kUrl, &kind), kDownloadDigestMismatch);
    EXPECT_FALSE(plat::PathExists(engine_ + "TLXDownloadV32.exe"));
}

TEST_F(DownloadFileListTest, AnUnknownArchiveTypeFailsTheInstall) {
    const std::string archive = Make7z({File("TLXDownloadV32.exe", "x")});
    CDownloadFileList list(engine_);
    (void)list.AddFile("https://u.example/e.rar", kHash, "TLXDownloadV32.exe", engine_);
    CDownloadFile* entry = list.NextFile();
    const std::vector<std::uint8_t> digest = DigestSequence(Bytes(archive), archive.size());
    std::int32_t kind = 0;
    EXPECT_EQ(entry->OnData(kHash, digest.data(), digest.size(), &kind), kDownloadDone);
    CArchiveDownload* file = entry->Archive();
    ASSERT_TRUE(file->Begin(0, static_cast<std::int64_t>(archive.size())));
    ASSERT_TRUE(file->Write(archive.data(), archive.size()));
    ASSERT_TRUE(file->Finish());
    EXPECT_EQ(entry->OnArchiveFetched("https://u.example/e.rar", &kind), kDownloadUnpackFailed);
}

TEST_F(DownloadFileListTest, TheManifestEntryBecomesTheArchiveEntries) {
    CDownloadFileList list(engine_);
    EXPECT_EQ(list.AddFile(kManifestUrl, "", "", ""), 1);
    CDownloadFile* manifest = list.NextFile();
    ASSERT_TRUE(manifest->IsManifest());
    EXPECT_EQ(manifest->Classify(kManifestUrl), kDownloadManifest);
    const std::string text =
        std::string("<?xml?><r><file><TLXDownloadV32.exe ver=\"3.2.0.8\" url=\"") + kUrl +
        "\" hash=\"" + kHash + "\"/></file></r>";
    std::int32_t kind = 0;
    EXPECT_EQ(manifest->OnData(kManifestUrl, Bytes(text), text.size(), &kind), kDownloadDone);
    EXPECT_EQ(kind, kDownloadManifest);
    EXPECT_EQ(list.NewVersion(), "3.2.0.8");
    list.RemoveFile(kManifestUrl, true);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Entries()[0]->Url(), kUrl);
    EXPECT_EQ(list.Entries()[0]->DigestUrl(), kHash);
    EXPECT_EQ(list.Entries()[0]->Folder(), engine_);

    CDownloadFileList other(engine_);
    (void)other.AddFile(kManifestUrl, "", "", "");
    const std::string noVer = "<?xml?><r><file><TLXDownloadV32.exe/></file></r>";
    EXPECT_EQ(other.NextFile()->OnData(kManifestUrl, Bytes(noVer), noVer.size(), &kind),
              kDownloadManifestUnusable);
    EXPECT_EQ(other.NextFile(), nullptr) << "still active until RemoveFile";
    std::int32_t* noKind = nullptr;
    EXPECT_EQ(other.Entries()[0]->OnData(kManifestUrl, Bytes(noVer), noVer.size(), noKind),
              kDownloadNoData);
}
