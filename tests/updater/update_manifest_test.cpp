// The update decision against the installed engine, by the table of
// versions, executables and manifest shapes, with its exact log lines.
#include "updater/update_manifest.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "service/base/service_log.h"
#include "tests/support/data_home.h"
#include "tests/updater/archive_builders.h"
#include "updater/xml_parser.h"

using namespace updater_test;

namespace {

constexpr const char* kExe = "https://u.example/e.7z";
constexpr const char* kExeHash = "https://u.example/e.7z.md4";
constexpr const char* kPackage = "https://u.example/pkg.7z";
constexpr const char* kPackageHash = "https://u.example/pkg.7z.md4";

struct Manifest {
    std::string ver = "3.2.0.7";
    std::string exeUrl = kExe;
    std::string exeHash = kExeHash;
    bool exeChild = true;
    bool secondChild = false;
    bool package = true;
    std::string packageUrl = kPackage;

    std::string Text() const {
        std::string t = "<?xml version=\"1.0\"?>\r\n<Update>\r\n <File>\r\n";
        if (exeChild) {
            t += "  <tlxdownloadv32.exe";
            if (!ver.empty()) t += " ver=\"" + ver + "\"";
            t += " url=\"" + exeUrl + "\" hash=\"" + exeHash + "\"/>\r\n";
        }
        if (secondChild)
            t += "  <Other.dll url=\"https://u.example/o.7z\" "
                 "hash=\"https://u.example/o.md4\"/>\r\n";
        t += " </File>\r\n";
        if (package)
            t += " <ALL><all url=\"" + packageUrl + "\" hash=\"" + kPackageHash + "\"/></ALL>\r\n";
        return t + "</Update>\r\n";
    }
};

class UpdateManifestTest : public testing::Test {
protected:
    void SetUp() override {
        ResetServiceLog();
        engine_ = home_.Path() + "Norvex/tlxDownloadV32/";
    }

    void InstallEngine(const std::string& version) {
        ASSERT_EQ(plat::EnsureFolderPath(engine_), 1);
        WriteFile(engine_ + "TLXDownloadV32.exe",
                  version.empty() ? "#!/bin/sh\n" : ElfWithVersion(version));
    }

    CUpdatePlan Plan(const Manifest& m) {
        const std::string text = m.Text();
        return PlanUpdate(Bytes(text), text.size(), engine_);
    }

    // The log's messages without their time stamps.
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        std::string text;
        (void)plat::ReadWholeFile(GetServiceLogPath(), &text);
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find("\r\n", at);
            if (end == std::string::npos) break;
            std::string line = text.substr(at, end - at);
            const std::size_t stamp = line.find("] ");
            lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            at = end + 2;
        }
        return lines;
    }

    ScopedDataHome home_;
    std::string engine_;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(UpdateManifestTest, EqualVersionsWithTheEnginePresentFetchNothing) {
    InstallEngine("3.2.0.7");
    Manifest m;
    m.secondChild = true;
    CUpdatePlan plan = Plan(m);
    EXPECT_EQ(plan.result, kManifestDone);
    EXPECT_TRUE(plan.downloads.empty());
    EXPECT_EQ(plan.newVersion, "3.2.0.7");
    EXPECT_EQ(LogLines(), (Lines{"[OstrelLib] Current Version: 3.2.0.7 / New Version: 3.2.0.7",
                                 "[OstrelLib] Update File (Count: 0)"}));
}

TEST_F(UpdateManifestTest, InstalledVersionIsTrimmed) {
    InstallEngine(" 3.2.0.7\t");
    EXPECT_TRUE(Plan(Manifest{}).downloads.empty());
    EXPECT_EQ(LogLines()[0], "[OstrelLib] Current Version: 3.2.0.7 / New Version: 3.2.0.7");
}

TEST_F(UpdateManifestTest, DifferentVersionWithOneChildFetchesTheEngineAlone) {
    InstallEngine("3.2.0.6");
    CUpdatePlan plan = Plan(Manifest{});
    EXPECT_EQ(plan.result, kManifestDone);
    ASSERT_EQ(plan.downloads.size(), 1u);
    EXPECT_EQ(plan.downloads[0].url, kExe);
    EXPECT_EQ(plan.downloads[0].digestUrl, kExeHash);
    EXPECT_EQ(plan.downloads[0].fileName, "TLXDownloadV32.exe");
    EXPECT_EQ(plan.downloads[0].folder, engine_);
    EXPECT_EQ(LogLines(), (Lines{"[OstrelLib] Current Version: 3.2.0.6 / New Version: 3.2.0.7",
                                 "[OstrelLib] Update File (Count: 2)"}));
}

TEST_F(UpdateManifestTest, DifferentVersionWithTwoChildrenFetchesThePackage) {
    InstallEngine("9.9.9.9");  // newer than the manifest: still an update
    Manifest m;
    m.secondChild = true;
    CUpdatePlan plan = Plan(m);
    ASSERT_EQ(plan.downloads.size(), 1u);
    EXPECT_EQ(plan.downloads[0].url, kPackage);
    EXPECT_EQ(plan.downloads[0].digestUrl, kPackageHash);
    EXPECT_EQ(plan.downloads[0].folder, engine_);
    m.package = false;
    EXPECT_EQ(Plan(m).result, kManifestUnusable) << "the package is needed and missing";
}

TEST_F(UpdateManifestTest, MissingExecutable) {
    // Equal can only mean "both empty" here, so a missing engine always
    // differs; with one child the count 2 asks for the engine's own archive.
    CUpdatePlan plan = Plan(Manifest{});
    ASSERT_EQ(plan.downloads.size(), 1u);
    EXPECT_EQ(plan.downloads[0].url, kExe);
    EXPECT_EQ(LogLines(), (Lines{"[OstrelLib] Current Version:  / New Version: 3.2.0.7",
                                 "[OstrelLib] Update File (Count: 2)"}));
}

TEST_F(UpdateManifestTest, ExecutableWithoutVersionInformation) {
    InstallEngine("");
    CUpdatePlan plan = Plan(Manifest{});
    EXPECT_EQ(plan.downloads.size(), 1u);
    EXPECT_EQ(LogLines()[0], "[OstrelLib] Current Version:  / New Version: 3.2.0.7");
}

TEST_F(UpdateManifestTest, NoVersionOrNoEngineChildIsUnusableAndLogsNothing) {
    InstallEngine("3.2.0.6");
    Manifest noVer;
    noVer.ver = "";
    EXPECT_EQ(Plan(noVer).result, kManifestUnusable);
    Manifest noChild;
    noChild.exeChild = false;
    noChild.secondChild = true;
    EXPECT_EQ(Plan(noChild).result, kManifestUnusable);
    Manifest longVer;
    longVer.ver = std::string(128, '7');
    EXPECT_EQ(Plan(longVer).result, kManifestUnusable) << "past the 128-byte buffer";
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(UpdateManifestTest, AddressesMustBeHttpsAndFitTheirBuffers) {
    InstallEngine("3.2.0.6");
    Manifest plain;
    plain.exeUrl = "http://u.example/e.7z";
    EXPECT_EQ(Plan(plain).result, kManifestUnusable);
    Manifest plainHash;
    plainHash.exeHash = "ftp://u.example/e.md4";
    EXPECT_EQ(Plan(plainHash).result, kManifestUnusable);
    Manifest noHash;
    noHash.exeHash = "";
    EXPECT_EQ(Plan(noHash).result, kManifestUnusable) << "an unchecked install is never planned";
    Manifest longUrl;
    longUrl.exeUrl = "https://u.example/" + std::string(250, 'x') + ".7z";
    EXPECT_EQ(Plan(longUrl).result, kManifestUnusable);
    Manifest upper;
    upper.exeUrl = "HTTPS://u.example/e.7z";
    EXPECT_EQ(Plan(upper).result, kManifestDone);
    EXPECT_FALSE(IsHttpsUrl("https://"));
    EXPECT_FALSE(IsHttpsUrl("https:///path"));
}

TEST_F(UpdateManifestTest, NoDataOrNoEngineFolder) {
    EXPECT_EQ(PlanUpdate(nullptr, 10, engine_).result, kManifestNoData);
    const std::string text = Manifest{}.Text();
    EXPECT_EQ(PlanUpdate(Bytes(text), 0, engine_).result, kManifestNoData);
    WriteFile(home_.Path() + "blocker", "a file where a folder must go");
    EXPECT_EQ(PlanUpdate(Bytes(text), text.size(), home_.Path() + "blocker/engine/").result,
              kManifestNoEngineFolder);
}

TEST_F(UpdateManifestTest, GarbageAndOversizedManifests) {
    const std::string garbage(5000, '<');
    EXPECT_EQ(PlanUpdate(Bytes(garbage), garbage.size(), engine_).result, kManifestUnusable);
    std::string huge = Manifest{}.Text();
    huge += std::string(kMaxXmlDocumentBytes, ' ');
    EXPECT_EQ(PlanUpdate(Bytes(huge), huge.size(), engine_).result, kManifestUnusable);
}
