// The journal of an engine switch: written (and flushed) before the engine
// folder's executable is switched to a new version, so that the next start
// can tell what an interrupted install was doing, and kept after the switch
// until the new engine has run once (the previous version waits for that).
//
// One small text file, "journal" in the versions folder:
//
//   ZK4 engine switch 1
//   from <version folder, or "-" when no engine was installed>
//   to <version folder>
//   state switching|switched
//
// Reading bounds everything (at most 4 KiB; a folder name is one plain
// path component); a journal that is anything else is reported as absent,
// never half-trusted. Plain functions; the updater's thread.
#pragma once

#include <optional>
#include <string>

struct InstallJournal {
    std::string from;  // "" when no engine was installed before
    std::string to;
    bool switched = false;
};

// Whether `name` may name a version folder: one component, no separators,
// not "." or "..", printable ASCII only.
bool IsVersionFolderName(const std::string& name);

// Writes the journal into `versionsFolder` (which ends with "/") through a
// flushed temporary file and a rename; false when it cannot be written.
[[nodiscard]] bool WriteInstallJournal(const std::string& versionsFolder,
                                       const InstallJournal& journal);
// The journal there, when there is a valid one.
std::optional<InstallJournal> ReadInstallJournal(const std::string& versionsFolder);
// Removes it (and flushes the folder); true when none is left.
bool RemoveInstallJournal(const std::string& versionsFolder);
