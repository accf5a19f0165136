// The update file list as the downloader drives it: stages of an entry,
// tries and forcing, the manifest turning into archive entries, and the
// check-then-install of an archive.
#include "updater/download_file_list.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "service/base/service_log.h"
#include "tests/support/data_home.h"
#include "tests/updater/archive_builders.h"

using namespace updater_test;

namespace {

constexpr const char* kManifestUrl = "https://u.example/m.xml";
constexpr const char* kUrl = "https://u.example/e.7z";
constexpr const char* kHash = "https://u.example/e.7z.md4";

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

TEST_F(DownloadFileListTest, DigestThenArchiveInstalls) {
    const std::string archive = Make7z({File("TLXDownloadV32.exe", "new engine")});
    const std::vector<std::uint8_t> digest = DigestSequence(Bytes(archive), archive.size());
    CDownloadFileList list(engine_);
    (void)list.AddFile(kUrl, kHash, "TLXDownloadV32.exe", engine_);
    CDownloadFile* entry = list.NextFile();
    std::int32_t kind = -1;
    EXPECT_EQ(entry->OnData(kHash, digest.data(), digest.size(), &kind), kDownloadDone);
    EXPECT_EQ(kind, kDownloadDigest);
    EXPECT_FALSE(entry->IsFinished()) << "the archive is still to come";
    EXPECT_EQ(entry->CurrentAddress(), kUrl);
    EXPECT_EQ(entry->OnData("https://u.example/else", Bytes(archive), archive.size(), &kind),
              kDownloadForeignAddress);
    EXPECT_EQ(entry->OnData(kUrl, Bytes(archive), archive.size(), &kind), kDownloadDone);
    EXPECT_EQ(kind, kDownloadArchive);
    EXPECT_TRUE(entry->IsFinished());
    EXPECT_EQ(ReadFile(engine_ + "TLXDownloadV32.exe"), "new engine");
    list.RemoveFile(kUrl, true);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(entry == nullptr, false);
}

TEST_F(DownloadFileListTest, AMismatchOrNoDigestTouchesNothingAndRefetchesTheDigest) {
    const std::string archive = Make7z({File("TLXDownloadV32.exe", "new engine")});
    std::vector<std::uint8_t> wrong = DigestSequence(Bytes(archive), archive.size());
    wrong[3] ^= 1;
    CDownloadFileList list(engine_);
    (void)list.AddFile(kUrl, kHash, "TLXDownloadV32.exe", engine_);
    CDownloadFile* entry = list.NextFile();
    std::int32_t kind = 0;
    EXPECT_EQ(entry->OnData(kHash, wrong.data(), wrong.size(), &kind), kDownloadDone);
    EXPECT_EQ(entry->OnData(kUrl, Bytes(archive), archive.size(), &kind), kDownloadDigestMismatch);
    EXPECT_FALSE(plat::PathExists(engine_ + "TLXDownloadV32.exe"));
    list.RemoveFile(kUrl, false);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(entry->CurrentAddress(), kHash) << "the next try fetches the digest again";
    EXPECT_EQ(entry->ExpectedDigest(), nullptr);
    EXPECT_EQ(entry->TriesLeft(), 2);

    // An archive without any digest is a failed try, never an unchecked install.
    EXPECT_EQ(list.OnFileData(entry, nullptr, Bytes(archive), archive.size()),
              kDownloadDigestMismatch);
    EXPECT_EQ(list.OnFileData(entry, nullptr, nullptr, 0), kDownloadNoData);
    EXPECT_FALSE(plat::PathExists(engine_ + "TLXDownloadV32.exe"));
}

TEST_F(DownloadFileListTest, AnUnknownArchiveTypeFailsTheInstall) {
    const std::string archive = Make7z({File("TLXDownloadV32.exe", "x")});
    CExpectedDigest digest{DigestSequence(Bytes(archive), archive.size())};
    CDownloadFileList list(engine_);
    (void)list.AddFile("https://u.example/e.rar", kHash, "TLXDownloadV32.exe", engine_);
    EXPECT_EQ(list.OnFileData(list.Entries()[0].get(), &digest, Bytes(archive), archive.size()),
              kDownloadUnpackFailed);
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
