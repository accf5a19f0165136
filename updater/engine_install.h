// Installing an engine update so that no kill can leave half of it.
//
// Every version lives in a folder of its own beside the engine folder:
//
//   <data>/Norvex/tlxDownloadV32/TLXDownloadV32.exe     a symbolic link to
//       ../tlxDownloadV32.versions/<version folder>/TLXDownloadV32.exe
//   <data>/Norvex/tlxDownloadV32.versions/<version folder>/...   its files
//   <data>/Norvex/tlxDownloadV32.versions/journal                 (install_journal.h)
//
// An install unpacks the checked archive into a new version folder (files of
// the installed version the archive does not carry are linked in, so an
// archive of the executable alone updates it as unpacking over the engine
// folder would), renames the executable to its exact spelling, proves the
// new engine (engine_proof.h), writes the journal, and switches: one rename
// puts a link to the new version where the executable is. The engine folder
// thus changes in one step a kill cannot split; before it the old engine is
// whole, after it the new one. An engine installed as a plain file (before
// versions had folders) is first linked into a version folder of its own,
// so that it too can be gone back to.
//
// The previous version is kept until the new one has run once
// (CommitEngineInstall, when the service first connects to it); the next
// pass (RecoverEngineInstall) finishes a switch a kill interrupted after the
// rename, undoes one interrupted before it, and removes whatever a killed
// unpack left.
//
// Plain functions; the updater calls them on the service worker thread, and
// they block while unpacking and proving.
#pragma once

#include <functional>
#include <string>

#include "updater/engine_proof.h"

inline constexpr const char* kVersionsSuffix = ".versions";

// The folder the versions live in: the engine folder's path (without its
// last separator) followed by kVersionsSuffix, ending with "/".
std::string EngineVersionsFolder(const std::string& engineFolder);

struct EngineInstallRequest {
    std::string engineFolder;  // ends with "/"
    std::string archivePath;   // the checked archive
    int archiveType = 0;       // an ArchiveType
    std::string version;       // the manifest's
};

enum EngineInstallResult : int {
    kInstallDone = 0,
    kInstallUnpackFailed = 5,  // as the unpackers answer: the archive is unusable
    kInstallEngineNotReady = 8,  // the new engine did not prove itself; the old one stays
};

struct EngineInstallOutcome {
    int result = kInstallUnpackFailed;
    std::string why;  // for the log, when it failed
};

// Call RecoverEngineInstall first (once per pass): an install never starts
// on top of one half done.
EngineInstallOutcome InstallEngineArchive(const EngineInstallRequest& request);

// Finishes or undoes an install that was interrupted, and removes version
// folders and downloads nothing refers to. Called at the start of a pass.
void RecoverEngineInstall(const std::string& engineFolder);

// The installed engine has run: a switch still waiting for that is made
// final and the version it replaced is removed.
void CommitEngineInstall(const std::string& engineFolder);

// Removes the download folder and the versions folder when they hold
// nothing (after an archive was installed or given up).
void TidyEngineVersions(const std::string& engineFolder);

// The version folder the engine folder's executable names now ("" for an
// executable that is a plain file, or none).
std::string CurrentEngineVersionFolder(const std::string& engineFolder);

// The steps of an install, for the test seam below.
enum class InstallStep {
    kUnpacked,
    kProved,
    kOldKept,
    kJournalWritten,
    kLinkMade,
    kSwitched,
    kJournalSwitched,
};
// Test seam: called after each step (a test ends the process there, as a
// kill would); empty: nothing. Also sets how the engine is proved.
void SetInstallStepHookForTesting(std::function<void(InstallStep)> hook);
void SetEngineProofLimitsForTesting(const EngineProofLimits& limits);
