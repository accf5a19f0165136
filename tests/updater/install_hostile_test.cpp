// Hostile and damaged update archives. Every one must fail the install
// with 5, leave the engine folder exactly as it was, put nothing beside or
// outside it, and leave no version folder behind.
#include <gtest/gtest.h>

#include <functional>

#include "platform/file_handle.h"
#include "platform/folder_tree.h"
#include "tests/support/temp_folder.h"
#include "tests/updater/archive_builders.h"
#include "updater/engine_install.h"
#include "updater/extract_archive.h"
#include "updater/extract_sink.h"

using namespace updater_test;

namespace {

// A sandbox holding an installed engine: <sandbox>/Norvex/tlxDownloadV32/.
class HostileArchiveTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p '" + Engine() + "bin' && printf engine > '" + Engine() +
                               "TLXDownloadV32.exe' && printf lib > '" + Engine() + "bin/x.dll'")
                                  .c_str()),
                  0);
        before_ = Snapshot(sandbox_.Path());
    }
    void TearDown() override { SetExtractLimitsForTesting(ExtractLimits{}); }

    std::string Engine() const { return sandbox_.Path() + "Norvex/tlxDownloadV32/"; }

    // Installs and checks that nothing at all changed in the sandbox.
    void ExpectRefused(int type, const std::string& archive, const std::string& what,
                       int result = kInstallUnpackFailed) {
        const std::string path = downloads_.Path() + "archive";
        WriteFile(path, archive);
        EXPECT_EQ(InstallEngineArchive({Engine(), path, type, "3.2.0.7"}).result, result) << what;
        const auto after = Snapshot(sandbox_.Path());
        std::string changed;
        for (const auto& [path, value] : after)
            if (!before_.count(path) || before_.at(path) != value) changed += " +" + path;
        for (const auto& [path, value] : before_)
            if (!after.count(path)) changed += " -" + path;
        EXPECT_EQ(changed, "") << what << " (" << archive.size() << " bytes)";
        if (!changed.empty()) {
            // Put the sandbox back so that later cases are judged alone.
            ASSERT_TRUE(plat::RemoveTree(sandbox_.Path() + "Norvex"));
            SetUp();
        }
    }

    TempFolder sandbox_;
    TempFolder downloads_;  // where the archive waits, outside the sandbox
    std::map<std::string, std::string> before_;
};

}  // namespace

TEST_F(HostileArchiveTest, SevenZipNamesThatLeaveTheFolder) {
    const std::string outside = sandbox_.Path() + "outside-abs";
    struct {
        const char* why;
        std::string name;
    } cases[] = {
        {"parent", "../x"},
        {"parent after a good file", "../../x"},
        {"absolute", outside},
        {"drive", "C:\\x"},
        {"backslash climb", "a\\..\\..\\b"},
        {"climb in the middle", "a/../b"},
        {"dot", "./x"},
        {"too long", std::string(260, 'n')},
        {"a line break that would forge a log line",
         "a\r\n[Thu Dec 10 15:22:35 2026] [OstrelLib] Patch Success"},
        {"an escape", "x\x1b[2Jy"},
    };
    for (const auto& c : cases) {
        ExpectRefused(kArchive7z, Make7z({File("good.txt", "g"), File(c.name, "evil")}), c.why);
        EXPECT_EQ(plat::KindOfPath(outside), plat::PathKind::kMissing);
    }
}

TEST_F(HostileArchiveTest, ZipNamesThatTryToLeaveTheFolder) {
    const std::string dir = sandbox_.Path();
    ExpectRefused(kArchiveZip,
                  MakeZip(dir, {{.name = "ok", .data = "1"}, {.name = "../x", .data = "e"}}),
                  "parent");
    ExpectRefused(kArchiveZip, MakeZip(dir, {{.name = "a\\..\\..\\b", .data = "e"}}), "climb");
    ExpectRefused(kArchiveZip, MakeZip(dir, {{.name = "C:\\x\\..\\..\\y.dll", .data = "e"}}),
                  "drive then climb");
    ExpectRefused(kArchiveZip, MakeZip(dir, {{.name = "caf\xE9.txt", .data = "e"}}),
                  "non-ASCII without the UTF-8 flag");
    ExpectRefused(kArchiveZip, MakeZip(dir, {{.name = std::string(260, 'n'), .data = "e"}}),
                  "too long");
    ExpectRefused(kArchiveZip, MakeZip(dir, {{.name = "tab\there", .data = "e"}}),
                  "control character");
}

TEST_F(HostileArchiveTest, LinksAndFilesThroughThem) {
    ExpectRefused(kArchive7z, Make7z({Link("lnk", sandbox_.Path()), File("lnk/evil", "e")}),
                  "7z link");
    ZipItem link{.name = "lnk",
                 .data = sandbox_.Path(),
                 .versionMadeBy = (3u << 8) | 20,
                 .externalAttributes = 0120777u << 16};
    ExpectRefused(kArchiveZip, MakeZip(sandbox_.Path(), {link, {.name = "lnk/evil", .data = "e"}}),
                  "zip link");
    EXPECT_EQ(plat::KindOfPath(sandbox_.Path() + "evil"), plat::PathKind::kMissing);
}

TEST_F(HostileArchiveTest, BombsOverTheCaps) {
    SetExtractLimitsForTesting({.maxEntries = 4096, .maxBytes = 1 << 20});
    const std::string zeros(2 << 20, '\0');
    ExpectRefused(kArchive7z, Make7z({File("bomb", zeros)}), "7z bytes");
    ExpectRefused(kArchiveZip, MakeZip(sandbox_.Path(), {{.name = "bomb", .data = zeros}}),
                  "zip bytes");
    // Many small files adding up past the cap, none large on its own.
    std::vector<Item> many;
    for (int i = 0; i < 5; ++i)
        many.push_back(File("f" + std::to_string(i), zeros.substr(0, 300000)));
    ExpectRefused(kArchive7z, Make7z(many), "7z total");

    SetExtractLimitsForTesting({.maxEntries = 3, .maxBytes = 1 << 20});
    std::vector<Item> items;
    std::vector<ZipItem> zipItems;
    for (int i = 0; i < 4; ++i) {
        items.push_back(File("e" + std::to_string(i), "x"));
        zipItems.push_back({.name = "e" + std::to_string(i), .data = "x"});
    }
    ExpectRefused(kArchive7z, Make7z(items), "7z entries");
    ExpectRefused(kArchiveZip, MakeZip(sandbox_.Path(), zipItems), "zip entries");
}

TEST_F(HostileArchiveTest, NoMoreThanTheFreeSpace) {
    plat::SetFreeDiskBytesForTesting(1000);
    ExpectRefused(kArchive7z, Make7z({File("big", std::string(5000, 'b'))}), "disk full");
    plat::SetFreeDiskBytesForTesting(-2);
}

TEST_F(HostileArchiveTest, TruncatedAndDamagedArchives) {
    std::vector<Item> items{File("a", std::string(50000, 'a')), File("b", "bbbb")};
    const std::string seven = Make7z(items);
    for (std::size_t cut : {seven.size() / 2, seven.size() - 1, std::size_t{40}})
        ExpectRefused(kArchive7z, seven.substr(0, cut), "7z cut at " + std::to_string(cut));
    std::string damaged = seven;
    damaged[100] ^= 0x55;
    ExpectRefused(kArchive7z, damaged, "7z data damaged");

    const std::string zip =
        MakeZip(sandbox_.Path(),
                {{.name = "a", .data = std::string(50000, 'a')}, {.name = "b", .data = "b"}});
    // Into the data, and into the central directory (the end record's last
    // bytes, the comment length, are never read).
    for (std::size_t cut : {zip.size() / 2, zip.size() - 30})
        ExpectRefused(kArchiveZip, zip.substr(0, cut), "zip cut at " + std::to_string(cut));
    // A stored item with a changed byte: only the CRC can tell.
    std::string stored =
        MakeZip(sandbox_.Path(), {{.name = "s", .data = "stored data", .method = 0}});
    const std::size_t at = stored.find("stored data");
    ASSERT_NE(at, std::string::npos);
    stored[at] = 'S';
    ExpectRefused(kArchiveZip, stored, "zip CRC");
    ExpectRefused(kArchiveZip, "PK\x03\x04 not really", "not a zip");
}

TEST_F(HostileArchiveTest, EncryptedZipItems) {
    ZipItem secret{.name = "secret", .data = "hidden", .password = "pw"};
    ExpectRefused(kArchiveZip, MakeZip(sandbox_.Path(), {{.name = "plain", .data = "p"}, secret}),
                  "encrypted");
}

TEST_F(HostileArchiveTest, AWriteFaultHalfWay) {
    plat::File::SetWritesFailForTesting(true);
    ExpectRefused(kArchive7z, Make7z({File("a", "a")}), "write fault");
    plat::File::SetWritesFailForTesting(false);
}

TEST_F(HostileArchiveTest, TwoSpellingsOfTheExecutableOrNoneAtAll) {
    ExpectRefused(kArchive7z,
                  Make7z({File("TLXDownloadV32.exe", "a"), File("tlxdownloadv32.exe", "b")}),
                  "two executables", kInstallEngineNotReady);
    ExpectRefused(kArchive7z, Make7z({File("other.exe", "a")}), "no executable",
                  kInstallEngineNotReady);
}
