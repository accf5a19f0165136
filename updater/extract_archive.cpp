#include "updater/extract_archive.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "platform/folder_tree.h"
#include "service/base/service_log.h"
#include "updater/extract_action.h"

namespace {

std::atomic<int> g_failMovesAfter{-1};

// The folder that holds `engineFolder`, ending with a separator.
std::string ParentOf(const std::string& engineFolder) {
    std::string path = plat::NormalizeFolder(engineFolder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// What the unpacked tree holds, as paths relative to its top, parents
// before their contents.
struct StagedTree {
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

bool CollectTree(const std::string& top, const std::string& relative, int depth, StagedTree* tree) {
    if (depth > 64) return false;
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(top + relative, &entries)) return false;
    for (const plat::FolderEntry& entry : entries) {
        const std::string path = relative + entry.name;
        if (entry.kind == plat::PathKind::kFolder) {
            tree->folders.push_back(path);
            if (!CollectTree(top, path + "/", depth + 1, tree)) return false;
        } else if (entry.kind == plat::PathKind::kFile) {
            tree->files.push_back(path);
        } else {
            return false;  // the unpackers make nothing else
        }
    }
    return true;
}

// Moves the staged files into the engine folder, keeping what they replace
// so that a failure can put it back.
class Installer {
public:
    Installer(std::string staged, std::string previous, std::string engine)
        : staged_(std::move(staged)), previous_(std::move(previous)), engine_(std::move(engine)) {}

    bool Run() {
        StagedTree tree;
        if (!CollectTree(staged_, "", 0, &tree)) return Fail("staged tree cannot be read");
        // The executable goes last, under its own spelling.
        std::vector<std::pair<std::string, std::string>> moves;  // staged path, target path
        std::string exe;
        for (const std::string& file : tree.files) {
            if (file.find('/') == std::string::npos &&
                EqualsIgnoringCase(file, kEngineExecutableName)) {
                if (!exe.empty()) return Fail("two engine executables");
                exe = file;
            } else {
                moves.emplace_back(file, file);
            }
        }
        if (!exe.empty()) moves.emplace_back(exe, kEngineExecutableName);

        // Check every target before touching anything: a folder where a
        // file goes (or the reverse), or a link on the way, fails now.
        for (const std::string& folder : tree.folders) {
            plat::PathKind kind = plat::KindOfPath(engine_ + folder);
            if (kind != plat::PathKind::kMissing && kind != plat::PathKind::kFolder)
                return Fail("not a folder in the engine folder: " + folder);
        }
        for (const auto& move : moves) {
            plat::PathKind kind = plat::KindOfPath(engine_ + move.second);
            if (kind != plat::PathKind::kMissing && kind != plat::PathKind::kFile)
                return Fail("not a file in the engine folder: " + move.second);
        }
        for (const std::string& folder : tree.folders) {
            if (plat::KindOfPath(engine_ + folder) == plat::PathKind::kFolder) continue;
            if (!plat::CreateFolder(engine_ + folder))
                return Undo("folder cannot be made: " + folder);
            created_.push_back(engine_ + folder);
        }
        int kept = 0;
        for (const auto& [from, to] : moves) {
            Step step{engine_ + to, ""};
            if (plat::KindOfPath(step.target) == plat::PathKind::kFile) {
                step.saved = previous_ + std::to_string(kept++);
                if (!plat::RenameFile(step.target, step.saved))
                    return Undo("cannot move aside: " + to + ": " + std::strerror(errno));
            }
            done_.push_back(step);
            if (static_cast<int>(done_.size()) > g_failMovesAfter.load() && g_failMovesAfter >= 0)
                return Undo("move failed for testing: " + to);
            if (!plat::RenameFile(staged_ + from, step.target))
                return Undo("cannot move into place: " + to + ": " + std::strerror(errno));
        }
        (void)plat::SyncFolder(engine_);  // the renames are done; a failed flush undoes nothing
        for (const std::string& folder : tree.folders) (void)plat::SyncFolder(engine_ + folder);
        return true;
    }

    const std::string& Why() const { return why_; }

private:
    struct Step {
        std::string target;
        std::string saved;  // where the replaced file waits; "" when there was none
    };

    bool Fail(std::string why) {
        why_ = std::move(why);
        return false;
    }

    // Puts every replaced file back and removes what this install added.
    bool Undo(std::string why) {
        for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
            if (it->saved.empty())
                (void)plat::RemoveFile(it->target);  // absent afterwards either way
            else
                (void)plat::RenameFile(it->saved, it->target);  // best effort: nothing else to try
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) (void)plat::RemoveTree(*it);
        return Fail(std::move(why));
    }

    std::string staged_;
    std::string previous_;
    std::string engine_;
    std::vector<Step> done_;
    std::vector<std::string> created_;
    std::string why_;
};

}  // namespace

int ExtractArchive(int type, const std::uint8_t* data, std::int64_t size,
                   const std::string& folder) {
    std::unique_ptr<IExtractAction> action;
    if (type == kArchive7z)
        action = std::make_unique<C7ZipExtractAction>();
    else if (type == kArchiveZip)
        action = std::make_unique<CGZipExtractAction>();
    else
        return 5;
    const int result = action->Extract(data, size, folder);
    if (result == 0) return 0;
    if (result >= 1 && result <= 4) return 5;
    if (result == 5) return 6;
    return result > 5 ? 0 : 5;
}

int InstallArchive(int type, const std::uint8_t* data, std::int64_t size,
                   const std::string& engineFolder) {
    if (type != kArchive7z && type != kArchiveZip) return 5;
    const std::string engine = plat::NormalizeFolder(engineFolder);
    if (engine.empty() || !plat::EnsureFolderPath(engine)) return 5;
    const std::string staging = plat::MakeUniqueFolder(ParentOf(engine) + kStagingPrefix);
    if (staging.empty()) {
        WriteServiceLog("[OstrelLib] Update staging folder cannot be made");
        return 5;
    }
    const std::string staged = staging + "/files/";
    const std::string previous = staging + "/previous/";
    int result = 5;
    if (plat::CreateFolder(staged) && plat::CreateFolder(previous)) {
        result = ExtractArchive(type, data, size, staged);
        if (result == 0) {
            Installer installer(staged, previous, engine);
            if (!installer.Run()) {
                WriteServiceLogFormat("[OstrelLib] Update not installed: %s",
                                      installer.Why().c_str());
                result = 5;
            }
        }
    }
    if (!plat::RemoveTree(staging))
        WriteServiceLogFormat("[OstrelLib] Update staging folder left behind: %s", staging.c_str());
    return result;
}

void FailInstallMovesForTesting(int moves) {
    g_failMovesAfter = moves;
}

bool RemoveLeftoverStaging(const std::string& engineFolder) {
    const std::string parent = ParentOf(engineFolder);
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(parent, &entries)) return true;  // nothing there to be left over
    bool ok = true;
    for (const plat::FolderEntry& entry : entries) {
        if (entry.kind != plat::PathKind::kFolder || !entry.name.starts_with(kStagingPrefix))
            continue;
        if (!plat::RemoveTree(parent + entry.name)) ok = false;
    }
    return ok;
}
