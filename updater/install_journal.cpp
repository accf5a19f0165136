#include "updater/install_journal.h"

#include <sstream>

#include "platform/file_handle.h"
#include "platform/files.h"
#include "platform/folder_tree.h"

namespace {

constexpr const char* kJournalName = "journal";
constexpr const char* kHeading = "ZK4 engine switch 1";
constexpr std::size_t kMaxJournalBytes = 4096;

// "key value" of one line; false when the line is no such pair.
bool Field(const std::string& line, const std::string& key, std::string* value) {
    if (line.rfind(key + " ", 0) != 0) return false;
    *value = line.substr(key.size() + 1);
    return true;
}

}  // namespace

bool IsVersionFolderName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name == "." || name == "..") return false;
    for (char c : name)
        if (c <= ' ' || c > '~' || c == '/' || c == '\\') return false;
    return true;
}

bool WriteInstallJournal(const std::string& versionsFolder, const InstallJournal& journal) {
    if ((!journal.from.empty() && !IsVersionFolderName(journal.from)) ||
        !IsVersionFolderName(journal.to))
        return false;
    const std::string text = std::string(kHeading) + "\nfrom " +
                             (journal.from.empty() ? "-" : journal.from) + "\nto " + journal.to +
                             "\nstate " + (journal.switched ? "switched" : "switching") + "\n";
    const std::string path = versionsFolder + kJournalName;
    const std::string temporary = path + ".new";
    (void)plat::RemoveFile(temporary);  // a leftover of an interrupted write
    plat::File file;
    if (!file.OpenKeep(temporary) || !file.Truncate(0) || !file.Append(text.data(), text.size()) ||
        !file.Sync())
        return false;
    file.Close();
    return plat::RenameFile(temporary, path) && plat::SyncFolder(versionsFolder);
}

std::optional<InstallJournal> ReadInstallJournal(const std::string& versionsFolder) {
    std::string text;
    if (!plat::ReadWholeFile(versionsFolder + kJournalName, &text, kMaxJournalBytes))
        return std::nullopt;
    std::istringstream lines(text);
    std::string heading, from, to, state, line;
    if (!std::getline(lines, heading) || heading != kHeading) return std::nullopt;
    if (!std::getline(lines, line) || !Field(line, "from", &from)) return std::nullopt;
    if (!std::getline(lines, line) || !Field(line, "to", &to)) return std::nullopt;
    if (!std::getline(lines, line) || !Field(line, "state", &state)) return std::nullopt;
    if (std::getline(lines, line)) return std::nullopt;  // nothing may follow
    InstallJournal journal;
    journal.from = from == "-" ? std::string() : from;
    journal.to = to;
    journal.switched = state == "switched";
    if ((!journal.from.empty() && !IsVersionFolderName(journal.from)) ||
        !IsVersionFolderName(journal.to) || (state != "switched" && state != "switching"))
        return std::nullopt;
    return journal;
}

bool RemoveInstallJournal(const std::string& versionsFolder) {
    const bool removed = plat::RemoveTree(versionsFolder + kJournalName);
    (void)plat::RemoveTree(versionsFolder + kJournalName + ".new");
    (void)plat::SyncFolder(versionsFolder);  // a lost removal only repeats the next recovery
    return removed;
}
