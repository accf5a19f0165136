// Installing the engine side by side: every version in its own folder, the
// engine folder switched by one rename, the new engine proved first, the
// old one kept until the new one has run, and a kill at any step leaving a
// whole engine that the next start settles.
#include "updater/engine_install.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/file_version.h"
#include "platform/files.h"
#include "platform/folder_tree.h"
#include "platform/program_start.h"
#include "service/base/service_log.h"
#include "tests/support/data_home.h"
#include "tests/support/temp_folder.h"
#include "tests/updater/archive_builders.h"
#include "updater/extract_archive.h"
#include "updater/install_journal.h"

using namespace updater_test;

namespace {

namespace fs = std::filesystem;

// An engine folder holding an engine installed as a plain file (as every
// install before versions had folders), beside its configuration.
class EngineInstallTest : public testing::Test {
protected:
    void SetUp() override {
        ResetServiceLog();
        old_ = EngineOfVersion(ZK4_ENGINE_BIN, "3.2.0.6");
        ASSERT_FALSE(old_.empty()) << "no version note of the built length";
        ASSERT_EQ(plat::EnsureFolderPath(Engine() + "config/"), 1);
        WriteFile(Engine() + "TLXDownloadV32.exe", old_);
        WriteFile(Engine() + "lib.dll", "old lib");
        WriteFile(Engine() + "config/service.log", "log");
    }
    void TearDown() override { SetInstallStepHookForTesting(nullptr); }

    std::string Engine() const { return home_.Path() + "Norvex/tlxDownloadV32/"; }
    std::string Versions() const { return EngineVersionsFolder(Engine()); }
    std::string Exe() const { return Engine() + "TLXDownloadV32.exe"; }
    std::string Version() const { return plat::ReadFileVersion(Exe()); }

    // A package of the engine called `version` and a plugin; its path.
    std::string Package(const std::string& version, const std::string& engine = "") {
        const std::string program = engine.empty() ? EngineOfVersion(ZK4_ENGINE_BIN, version) : engine;
        const std::string path = downloads_.Path() + "engine-" + version + ".zip";
        WriteFile(path, MakeZip(downloads_.Path(),
                                {ZipItem{.name = "tlxdownloadv32.EXE", .data = program},
                                 ZipItem{.name = "plugins/p.dll", .data = "plugin " + version}}));
        return path;
    }
    EngineInstallOutcome Install(const std::string& version, const std::string& package) {
        RecoverEngineInstall(Engine());
        return InstallEngineArchive({Engine(), package, kArchiveZip, version});
    }
    std::vector<std::string> VersionFolders() const {
        std::vector<std::string> names;
        std::vector<plat::FolderEntry> entries;
        if (plat::ListFolder(Versions(), &entries))
            for (const auto& entry : entries)
                if (entry.kind == plat::PathKind::kFolder) names.push_back(entry.name);
        return names;
    }
    // Whether the engine folder's executable runs and says `version`.
    bool Runs(const std::string& version) const {
        std::string answer;
        return plat::RunProgramForOutput(Exe(), {"--version"}, 10000, 64, &answer) &&
               answer == version + "\n";
    }

    ScopedDataHome home_;
    TempFolder downloads_;
    std::string old_;
};

}  // namespace

TEST_F(EngineInstallTest, InstallsBesideTheOldAndSwitchesByOneLink) {
    const EngineInstallOutcome outcome = Install("3.2.0.8", Package("3.2.0.8"));
    ASSERT_EQ(outcome.result, kInstallDone) << outcome.why;
    EXPECT_EQ(plat::KindOfPath(Exe()), plat::PathKind::kLink);
    EXPECT_EQ(Version(), "3.2.0.8");
    EXPECT_TRUE(Runs("3.2.0.8"));
    const std::string current = CurrentEngineVersionFolder(Engine());
    ASSERT_FALSE(current.empty());
    EXPECT_EQ(ReadFile(Versions() + current + "/plugins/p.dll"), "plugin 3.2.0.8");
    EXPECT_EQ(ReadFile(Versions() + current + "/lib.dll"), "old lib")
        << "a file the archive does not carry stays part of the engine";
    EXPECT_FALSE(fs::exists(Versions() + current + "/config/service.log"))
        << "the service's data is no engine";
    EXPECT_EQ(ReadFile(Engine() + "config/service.log").substr(0, 3), "log");

    // The plain file was kept in a folder of its own until the new engine runs.
    const std::optional<InstallJournal> journal = ReadInstallJournal(Versions());
    ASSERT_TRUE(journal);
    EXPECT_TRUE(journal->switched);
    EXPECT_EQ(journal->to, current);
    EXPECT_TRUE(ReadFile(Versions() + journal->from + "/TLXDownloadV32.exe") == old_);
    EXPECT_EQ(VersionFolders().size(), 2u);
    CommitEngineInstall(Engine());
    EXPECT_FALSE(ReadInstallJournal(Versions()));
    EXPECT_EQ(VersionFolders(), std::vector<std::string>{current});

    // The next version: the one before stays until the new one has run.
    ASSERT_EQ(Install("3.2.0.9", Package("3.2.0.9")).result, kInstallDone);
    EXPECT_EQ(Version(), "3.2.0.9");
    EXPECT_EQ(VersionFolders().size(), 2u);
    RecoverEngineInstall(Engine());  // a later start before it ran keeps both
    EXPECT_EQ(VersionFolders().size(), 2u);
    CommitEngineInstall(Engine());
    EXPECT_EQ(VersionFolders().size(), 1u);
    EXPECT_TRUE(Runs("3.2.0.9"));
}

TEST_F(EngineInstallTest, AnEngineThatDoesNotRunOrIsAnotherVersionLeavesTheWorkingOne) {
    const auto before = Snapshot(home_.Path());
    std::string cut = EngineOfVersion(ZK4_ENGINE_BIN, "3.2.0.8");
    cut.resize(64 * 1024);  // cut short inside its code, its version note still there
    const struct {
        const char* what;
        std::string version, engine;
    } cases[] = {
        {"a text file", "3.2.0.8", "#!/bin/sh\nexit 0\n"},
        {"an engine cut short", "3.2.0.8", cut},
        {"3.1.0.0 under a manifest naming 3.2.0.8", "3.2.0.8",
         EngineOfVersion(ZK4_ENGINE_BIN, "3.1.0.0")},
    };
    for (const auto& c : cases) {
        const EngineInstallOutcome outcome = Install(c.version, Package("x", c.engine));
        EXPECT_EQ(outcome.result, kInstallEngineNotReady) << c.what;
        EXPECT_FALSE(outcome.why.empty());
        auto after = Snapshot(home_.Path());
        after.erase("Norvex/tlxDownloadV32/config/service.log");
        auto expected = before;
        expected.erase("Norvex/tlxDownloadV32/config/service.log");
        EXPECT_TRUE(after == expected) << c.what << ": " << outcome.why;
    }
    EXPECT_TRUE(Runs("3.2.0.6"));
}

// A kill at every step: a child process runs the install and ends at the
// step as a kill would (no clean-up runs); the engine folder holds a whole
// engine, old or new, and the next start finishes or undoes the switch.
TEST_F(EngineInstallTest, AKillAtAnyStepLeavesOneWholeEngineAndTheNextStartSettlesIt) {
    const std::string package = Package("3.2.0.8");
    for (InstallStep step :
         {InstallStep::kUnpacked, InstallStep::kProved, InstallStep::kOldKept,
          InstallStep::kJournalWritten, InstallStep::kLinkMade, InstallStep::kSwitched,
          InstallStep::kJournalSwitched}) {
        SCOPED_TRACE(static_cast<int>(step));
        const pid_t child = fork();
        if (child == 0) {
            SetInstallStepHookForTesting([step](InstallStep reached) {
                if (reached == step) _exit(9);
            });
            (void)Install("3.2.0.8", package);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;

        const bool switched = step >= InstallStep::kSwitched;
        EXPECT_EQ(Version(), switched ? "3.2.0.8" : "3.2.0.6");
        EXPECT_TRUE(Runs(switched ? "3.2.0.8" : "3.2.0.6"));
        RecoverEngineInstall(Engine());
        EXPECT_EQ(Version(), switched ? "3.2.0.8" : "3.2.0.6");
        EXPECT_FALSE(fs::exists(Engine() + ".TLXDownloadV32.exe.switch"));
        if (switched) {
            // Finished: the old engine waits for the new one to have run.
            ASSERT_TRUE(ReadInstallJournal(Versions()));
            EXPECT_TRUE(ReadInstallJournal(Versions())->switched);
            EXPECT_EQ(VersionFolders().size(), 2u);
            CommitEngineInstall(Engine());
            EXPECT_EQ(VersionFolders().size(), 1u);
        } else {
            // Undone: the plain engine as it was, nothing beside it.
            EXPECT_EQ(plat::KindOfPath(Exe()), plat::PathKind::kFile);
            EXPECT_FALSE(ReadInstallJournal(Versions()));
            EXPECT_TRUE(VersionFolders().empty());
        }
        // Back to the plain old engine for the next step.
        ASSERT_TRUE(plat::RemoveTree(Versions()));
        ASSERT_TRUE(plat::RemoveTree(Exe()));
        WriteFile(Exe(), old_);
    }
}

TEST_F(EngineInstallTest, AForeignLinkOrAJournalThatIsNoneIsLeftAlone) {
    ASSERT_EQ(Install("3.2.0.8", Package("3.2.0.8")).result, kInstallDone);
    WriteFile(Versions() + "journal", "ZK4 engine switch 1\nfrom ../../x\nto y\nstate switched\n");
    EXPECT_FALSE(ReadInstallJournal(Versions())) << "a folder name with a separator";
    // A link somebody else made: nothing of the versions is touched.
    ASSERT_TRUE(plat::RemoveTree(Exe()));
    ASSERT_TRUE(plat::MakeSymbolicLink("/bin/true", Exe()));
    const std::size_t folders = VersionFolders().size();
    RecoverEngineInstall(Engine());
    EXPECT_EQ(VersionFolders().size(), folders);
}
