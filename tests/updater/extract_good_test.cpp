// Well-formed update archives: 7z made by libarchive's writer and by the
// real 7zz tool, zip made by minizip's writer. Files, folders, read-only
// items and times arrive as the archive says.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/folder_tree.h"
#include "service/base/service_log.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"
#include "tests/updater/archive_builders.h"
#include "updater/extract_action.h"
#include "updater/extract_archive.h"

using namespace updater_test;

namespace {

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Zip times are local: the tests fix the zone (five hours west, no summer time).
class FixedZone {
public:
    FixedZone() : tz_("TZ", "EST5") { tzset(); }
    ~FixedZone() { tzset(); }

private:
    ScopedEnv tz_;
};

std::string LogText() {
    return ReadFile(GetServiceLogPath());
}

constexpr std::int64_t kDosTimeInEst5 = 1577952246;  // 2020-01-02 03:04:06 -05:00

}  // namespace

TEST(Extract7z, FilesFoldersReadOnlyAndTimes) {
    TempFolder dir;
    Item stamped = File("sub/deeper/a.txt", "alpha");
    stamped.mtime = 1600000000;
    const std::string archive = Make7z({Folder("sub"), Folder("empty"), stamped,
                                        File("ro.txt", "read only", 0444), File("z.bin", "")});
    const std::string target = dir.Path() + "out/";
    EXPECT_EQ(ExtractArchive(kArchive7z, Bytes(archive), archive.size(), target), 0);
    EXPECT_EQ(ReadFile(target + "sub/deeper/a.txt"), "alpha");
    EXPECT_EQ(Stat(target + "sub/deeper/a.txt").st_mtime, 1600000000);
    EXPECT_TRUE(S_ISDIR(Stat(target + "empty").st_mode));
    EXPECT_EQ(ReadFile(target + "ro.txt"), "read only");
    EXPECT_EQ(Stat(target + "ro.txt").st_mode & 0222, 0u);
    EXPECT_NE(Stat(target + "sub/deeper/a.txt").st_mode & 0200, 0u);
    EXPECT_EQ(Stat(target + "z.bin").st_size, 0);
}

TEST(Extract7z, ArchiveMadeByThe7zzTool) {
    TempFolder dir;
    const std::string src = dir.Path() + "src/";
    ASSERT_EQ(std::system(("mkdir -p '" + src + "bin' && printf engine > '" + src +
                           "TLXDownloadV32.exe' && printf lib > '" + src +
                           "bin/x.dll' && printf umlaut > '" + src + "bin/\xC3\xBC.txt'")
                              .c_str()),
              0);
    const std::string made = dir.Path() + "made.7z";
    // BCJ2 on top of LZMA, as for programs; solid, the 7zz defaults.
    ASSERT_EQ(std::system(("cd '" + src + "' && 7zz a -t7z -mf=BCJ2 -bso0 -bsp0 '" + made +
                           "' TLXDownloadV32.exe bin >/dev/null")
                              .c_str()),
              0);
    const std::string archive = ReadFile(made);
    const std::string target = dir.Path() + "out/";
    EXPECT_EQ(ExtractArchive(kArchive7z, Bytes(archive), archive.size(), target), 0);
    EXPECT_EQ(ReadFile(target + "TLXDownloadV32.exe"), "engine");
    EXPECT_EQ(ReadFile(target + "bin/x.dll"), "lib");
    EXPECT_EQ(ReadFile(target + "bin/\xC3\xBC.txt"), "umlaut") << "non-ASCII names as UTF-8";
}

TEST(ExtractZip, FilesFoldersAttributesAndDosTimes) {
    FixedZone zone;
    TempFolder dir;
    ZipItem folder{.name = "sub/", .externalAttributes = 0x10};
    ZipItem plain{.name = "sub/a.txt", .data = std::string(100000, 'a')};
    ZipItem dosReadOnly{.name = "ro.txt", .data = "r", .externalAttributes = 0x21};
    ZipItem unixReadOnly{.name = "unix.txt",
                         .data = "u",
                         .versionMadeBy = (3u << 8) | 20,
                         .externalAttributes = 0100444u << 16};
    ZipItem unixWritable{.name = "w.txt",
                         .data = "w",
                         .versionMadeBy = (3u << 8) | 20,
                         .externalAttributes = 0100644u << 16};
    ZipItem stored{.name = "stored.bin", .data = "stored", .method = 0};
    const std::string archive =
        MakeZip(dir.Path(), {folder, plain, dosReadOnly, unixReadOnly, unixWritable, stored});
    const std::string target = dir.Path() + "out/";
    ASSERT_EQ(ExtractArchive(kArchiveZip, Bytes(archive), archive.size(), target), 0);
    // Times first: reading a file may move its access time.
    EXPECT_EQ(Stat(target + "sub/a.txt").st_mtime, kDosTimeInEst5);
    EXPECT_EQ(Stat(target + "sub/a.txt").st_atime, kDosTimeInEst5);
    EXPECT_EQ(ReadFile(target + "sub/a.txt"), std::string(100000, 'a'));
    EXPECT_EQ(Stat(target + "ro.txt").st_mode & 0222, 0u);
    EXPECT_EQ(Stat(target + "unix.txt").st_mode & 0222, 0u) << "mode 0444 from a Unix archive";
    EXPECT_NE(Stat(target + "w.txt").st_mode & 0200, 0u);
    EXPECT_EQ(ReadFile(target + "stored.bin"), "stored");
}

TEST(ExtractZip, ExtendedTimestampOverridesWithinItsBlock) {
    FixedZone zone;
    TempFolder dir;
    ZipItem both{.name = "both", .data = "b", .centralExtra = UtBlock(3, {1500000000, 1400000000})};
    // Info-ZIP's central block: flags 3 but only the modification time.
    ZipItem central{.name = "central", .data = "c", .centralExtra = UtBlock(3, {1500000000})};
    ZipItem other{
        .name = "other",
        .data = "o",
        .centralExtra = std::string("\x0a\x00\x04\x00zzzz", 8) + UtBlock(1, {1300000000})};
    const std::string archive = MakeZip(dir.Path(), {both, central, other});
    ResetServiceLog();
    const std::string target = dir.Path() + "out/";
    ASSERT_EQ(ExtractArchive(kArchiveZip, Bytes(archive), archive.size(), target), 0) << LogText();
    EXPECT_EQ(Stat(target + "both").st_mtime, 1500000000);
    EXPECT_EQ(Stat(target + "both").st_atime, 1400000000);
    EXPECT_EQ(Stat(target + "central").st_mtime, 1500000000);
    EXPECT_EQ(Stat(target + "central").st_atime, kDosTimeInEst5) << "not read past the block";
    EXPECT_EQ(Stat(target + "other").st_mtime, 1300000000) << "found after another block";
}

TEST(ExtractZip, NamesThatTryToLeaveAreRefusedNotCut) {
    // A drive, a root or a climb is never cut into some other name inside
    // the folder: the whole archive fails and nothing is written.
    for (const char* name : {"C:\\x\\y.dll", "a\\..\\b\\c.dll", "/abs.dll"}) {
        TempFolder dir;
        const std::string archive =
            MakeZip(dir.Path(), {{.name = "good.dll", .data = "0"}, {.name = name, .data = "1"}});
        const std::string target = dir.Path() + "out/";
        EXPECT_EQ(ExtractArchive(kArchiveZip, Bytes(archive), archive.size(), target), 5) << name;
        EXPECT_EQ(plat::KindOfPath(target + "x"), plat::PathKind::kMissing) << name;
        EXPECT_EQ(plat::KindOfPath(target + "b"), plat::PathKind::kMissing) << name;
        EXPECT_EQ(plat::KindOfPath(target + "abs.dll"), plat::PathKind::kMissing) << name;
    }
}

TEST(ExtractArchiveMapping, UnknownTypesAndBadArguments) {
    TempFolder dir;
    const std::string zip = MakeZip(dir.Path(), {{.name = "f", .data = "x"}});
    EXPECT_EQ(ExtractArchive(kArchiveUnknown, Bytes(zip), zip.size(), dir.Path()), 5);
    EXPECT_EQ(ExtractArchive(kArchiveZip, nullptr, 10, dir.Path()), 5);
    EXPECT_EQ(ExtractArchive(kArchiveZip, Bytes(zip), zip.size(), ""), 5);
    EXPECT_EQ(ExtractArchive(kArchive7z, Bytes(zip), zip.size(), dir.Path() + "o/"), 5)
        << "a zip is no 7z";
    C7ZipExtractAction sevenZip;
    EXPECT_EQ(sevenZip.Extract(Bytes(zip), 0, dir.Path()), kExtractBadArguments);
}


