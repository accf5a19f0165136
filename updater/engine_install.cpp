#include "updater/engine_install.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "engine/engine_paths.h"
#include "platform/file_version.h"
#include "platform/files.h"
#include "platform/folder_tree.h"
#include "platform/text.h"
#include "service/base/service_log.h"
#include "updater/archive_source.h"
#include "updater/extract_archive.h"
#include "updater/install_journal.h"

namespace {

constexpr int kMaxLinkDepth = 16;
constexpr const char* kLegacyPrefix = "legacy-";
constexpr const char* kConfigFolder = "config";

std::mutex g_seamMutex;
std::function<void(InstallStep)> g_stepHook;
EngineProofLimits g_proofLimits;

void Reached(InstallStep step) {
    std::function<void(InstallStep)> hook;
    {
        std::lock_guard lock(g_seamMutex);
        hook = g_stepHook;
    }
    if (hook) hook(step);
}

EngineProofLimits ProofLimits() {
    std::lock_guard lock(g_seamMutex);
    return g_proofLimits;
}

// The engine folder's own name ("tlxDownloadV32" of ".../tlxDownloadV32/").
std::string FolderName(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the executable's link names for a version folder, relative to the
// engine folder so that the data folder may move.
std::string LinkTarget(const std::string& engineFolder, const std::string& id) {
    return "../" + FolderName(engineFolder) + kVersionsSuffix + "/" + id + "/" + kEngineFileName;
}

std::string Executable(const std::string& engineFolder) {
    return engineFolder + kEngineFileName;
}

std::string SwitchLink(const std::string& engineFolder) {
    return engineFolder + "." + kEngineFileName + ".switch";
}

// A version as a folder name's beginning: letters, digits, ".", "-", "_".
std::string FolderWord(const std::string& version) {
    std::string word;
    for (char c : version.substr(0, 40))
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-' || c == '_')
            word += c;
    return word.empty() || word.front() == '.' ? "engine" + word : word;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return plat::AsciiLower(a) == plat::AsciiLower(b);
}

// Links every file of `from` that `to` lacks into `to`, folders made as
// needed: the new version keeps what the archive does not replace.
bool LinkMissingFiles(const std::string& from, const std::string& to, bool top, int depth,
                      std::string* why) {
    if (depth > kMaxLinkDepth) return true;
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(from, &entries)) return true;  // nothing to carry over
    for (const plat::FolderEntry& entry : entries) {
        if (entry.name.empty() || entry.name[0] == '.') continue;
        // The engine folder's own data is no part of an engine version.
        if (top && (entry.name == kConfigFolder || EqualsIgnoringCase(entry.name, kEngineFileName)))
            continue;
        const std::string source = from + entry.name;
        const std::string target = to + entry.name;
        const plat::PathKind there = plat::KindOfPath(target);
        if (entry.kind == plat::PathKind::kFolder) {
            if (there == plat::PathKind::kMissing && !plat::CreateFolder(target)) {
                *why = "folder cannot be made: " + entry.name;
                return false;
            }
            if (plat::KindOfPath(target) != plat::PathKind::kFolder) continue;
            if (!LinkMissingFiles(source + "/", target + "/", false, depth + 1, why)) return false;
        } else if (entry.kind == plat::PathKind::kFile && there == plat::PathKind::kMissing) {
            if (!plat::HardLink(source, target)) {
                *why = "file of the installed engine cannot be kept: " + entry.name;
                return false;
            }
        }
    }
    return true;
}

// Gives the unpacked executable its exact spelling; false (with `why`) when
// the package has none, or two.
bool NameTheExecutable(const std::string& folder, std::string* why) {
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(folder, &entries)) {
        *why = "the unpacked engine cannot be read";
        return false;
    }
    std::string found;
    for (const plat::FolderEntry& entry : entries) {
        if (entry.kind != plat::PathKind::kFile || !EqualsIgnoringCase(entry.name, kEngineFileName))
            continue;
        if (!found.empty()) {
            *why = "the package holds two engine executables";
            return false;
        }
        found = entry.name;
    }
    if (found.empty()) {
        *why = std::string("the package holds no ") + kEngineFileName;
        return false;
    }
    if (found != kEngineFileName && !plat::RenameFile(folder + found, folder + kEngineFileName)) {
        *why = "the engine executable cannot be named";
        return false;
    }
    return true;
}

EngineInstallOutcome Failed(int result, std::string why) {
    return EngineInstallOutcome{result, std::move(why)};
}

}  // namespace

std::string EngineVersionsFolder(const std::string& engineFolder) {
    std::string path = plat::NormalizeFolder(engineFolder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path + kVersionsSuffix + "/";
}

std::string CurrentEngineVersionFolder(const std::string& engineFolder) {
    std::string target;
    if (!plat::ReadSymbolicLink(Executable(engineFolder), &target)) return {};
    const std::string prefix = "../" + FolderName(engineFolder) + kVersionsSuffix + "/";
    const std::string suffix = std::string("/") + kEngineFileName;
    if (!target.starts_with(prefix) || !target.ends_with(suffix) ||
        target.size() <= prefix.size() + suffix.size())
        return {};
    const std::string id =
        target.substr(prefix.size(), target.size() - prefix.size() - suffix.size());
    return IsVersionFolderName(id) ? id : std::string();
}

EngineInstallOutcome InstallEngineArchive(const EngineInstallRequest& request) {
    const std::string engine = plat::NormalizeFolder(request.engineFolder);
    const std::string versions = EngineVersionsFolder(engine);
    if (engine.empty() || !plat::EnsureFolderPath(engine) || !plat::EnsureFolderPath(versions))
        return Failed(kInstallUnpackFailed, "the engine's folders cannot be made");

    const std::string folder = plat::MakeUniqueFolder(versions + FolderWord(request.version) + "-");
    if (folder.empty()) return Failed(kInstallUnpackFailed, "no version folder can be made");
    const std::string id = BaseName(folder);
    const std::string fresh = folder + "/";
    // A failed install leaves nothing: no version folder, and no versions
    // folder when it made that one for itself.
    auto dropFresh = [&] {
        (void)plat::RemoveTree(folder);
        (void)plat::RemoveFolderIfEmpty(versions);
    };

    const CArchiveSource source(request.archivePath);
    const int unpacked = source.Valid()
                             ? ExtractArchive(request.archiveType, source, fresh)
                             : static_cast<int>(kInstallUnpackFailed);
    if (unpacked != 0) {
        dropFresh();
        return Failed(unpacked, "the archive cannot be unpacked");
    }
    Reached(InstallStep::kUnpacked);

    std::string why;
    const std::string current = CurrentEngineVersionFolder(engine);
    const bool plainFile = current.empty() &&
                           plat::KindOfPath(Executable(engine)) == plat::PathKind::kFile;
    const std::string base = !current.empty() ? versions + current + "/" : engine;
    if (!NameTheExecutable(fresh, &why)) {
        dropFresh();
        return Failed(kInstallEngineNotReady, why);
    }
    if ((!current.empty() || plainFile) &&
        !LinkMissingFiles(base, fresh, current.empty(), 0, &why)) {
        dropFresh();
        return Failed(kInstallUnpackFailed, why);
    }
    if (!ProveEngine(fresh + kEngineFileName, request.version, &why, ProofLimits())) {
        dropFresh();
        return Failed(kInstallEngineNotReady, why);
    }
    Reached(InstallStep::kProved);

    // An engine installed as a plain file is kept in a version folder of
    // its own (a second name for the same file), so the switch can be
    // undone and the previous version removed like any other.
    std::string previous = current;
    if (plainFile) {
        const std::string installed(plat::Trim(plat::ReadFileVersion(Executable(engine))));
        const std::string kept =
            plat::MakeUniqueFolder(versions + kLegacyPrefix + FolderWord(installed) + "-");
        if (kept.empty() || !plat::HardLink(Executable(engine), kept + "/" + kEngineFileName)) {
            if (!kept.empty()) (void)plat::RemoveTree(kept);
            dropFresh();
            return Failed(kInstallUnpackFailed, "the installed engine cannot be kept");
        }
        previous = BaseName(kept);
    }
    Reached(InstallStep::kOldKept);

    if (!WriteInstallJournal(versions, InstallJournal{previous, id, false})) {
        if (plainFile) (void)plat::RemoveTree(versions + previous);
        dropFresh();
        return Failed(kInstallUnpackFailed, "the install journal cannot be written");
    }
    Reached(InstallStep::kJournalWritten);

    const std::string link = SwitchLink(engine);
    (void)plat::RemoveTree(link);  // a leftover of an interrupted install
    if (!plat::MakeSymbolicLink(LinkTarget(engine, id), link)) {
        RecoverEngineInstall(engine);  // undoes: the journal says "switching"
        return Failed(kInstallUnpackFailed, "the engine's link cannot be made");
    }
    Reached(InstallStep::kLinkMade);
    // The switch: one rename replaces the executable (file or link).
    if (!plat::RenameFile(link, Executable(engine))) {
        RecoverEngineInstall(engine);
        return Failed(kInstallUnpackFailed, "the engine cannot be switched");
    }
    (void)plat::SyncFolder(engine);  // a lost flush only repeats the switch's recovery
    Reached(InstallStep::kSwitched);
    // A journal left at "switching" is read the same way: the link decides.
    (void)WriteInstallJournal(versions, InstallJournal{previous, id, true});
    Reached(InstallStep::kJournalSwitched);
    WriteServiceLogFormat("[OstrelLib] Engine %s installed (%s); %s kept until it has run",
                          request.version.c_str(), id.c_str(),
                          previous.empty() ? "nothing" : previous.c_str());
    return EngineInstallOutcome{kInstallDone, {}};
}

void RecoverEngineInstall(const std::string& engineFolder) {
    const std::string engine = plat::NormalizeFolder(engineFolder);
    const std::string versions = EngineVersionsFolder(engine);
    if (engine.empty() || plat::KindOfPath(versions) != plat::PathKind::kFolder) return;
    (void)plat::RemoveTree(SwitchLink(engine));
    const std::string current = CurrentEngineVersionFolder(engine);
    const plat::PathKind executable = plat::KindOfPath(Executable(engine));
    if (executable == plat::PathKind::kLink && current.empty()) {
        // A link this updater did not make: what it names is unknown, so
        // nothing of the versions is touched.
        WriteServiceLog("[OstrelLib] Engine executable is a foreign link; versions left alone");
        return;
    }
    std::optional<InstallJournal> journal = ReadInstallJournal(versions);
    if (journal && current == journal->to) {
        if (!journal->switched) {
            journal->switched = true;
            (void)WriteInstallJournal(versions, *journal);
        }
        WriteServiceLogFormat("[OstrelLib] Engine switch to %s found done", journal->to.c_str());
    } else if (journal) {
        WriteServiceLogFormat("[OstrelLib] Engine switch to %s found undone; removed",
                              journal->to.c_str());
        (void)RemoveInstallJournal(versions);
        journal.reset();
    }
    // Whatever else lies there (a killed unpack, a version replaced, a
    // download) is no engine any more.
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(versions, &entries)) return;
    for (const plat::FolderEntry& entry : entries) {
        const bool kept = entry.name == current || entry.name == "journal" ||
                          (journal && entry.name == journal->from);
        if (!kept) (void)plat::RemoveTree(versions + entry.name);
    }
}

void TidyEngineVersions(const std::string& engineFolder) {
    const std::string versions = EngineVersionsFolder(engineFolder);
    (void)plat::RemoveFolderIfEmpty(versions + "download");
    (void)plat::RemoveFolderIfEmpty(versions);
}

void CommitEngineInstall(const std::string& engineFolder) {
    const std::string engine = plat::NormalizeFolder(engineFolder);
    const std::string versions = EngineVersionsFolder(engine);
    std::optional<InstallJournal> journal = ReadInstallJournal(versions);
    if (!journal || CurrentEngineVersionFolder(engine) != journal->to) return;
    if (!journal->from.empty()) (void)plat::RemoveTree(versions + journal->from);
    (void)RemoveInstallJournal(versions);
    WriteServiceLogFormat("[OstrelLib] Engine %s has run; %s removed", journal->to.c_str(),
                          journal->from.empty() ? "nothing before it" : journal->from.c_str());
}

void SetInstallStepHookForTesting(std::function<void(InstallStep)> hook) {
    std::lock_guard lock(g_seamMutex);
    g_stepHook = std::move(hook);
}

void SetEngineProofLimitsForTesting(const EngineProofLimits& limits) {
    std::lock_guard lock(g_seamMutex);
    g_proofLimits = limits;
}
