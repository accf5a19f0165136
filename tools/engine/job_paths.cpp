#include "job_paths.h"

#include <sys/stat.h>

#include <cerrno>

#include "messages.h"

namespace engine {
namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// True when some segment (split at either separator, since the launcher
// may write Windows-style folders) is "..".
bool HasParentSegment(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        if (path.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

bool PlaceFile(std::string_view folder, std::string_view name, FilePlace* place, std::string* why) {
    if (folder.empty() || folder.front() != '/') {
        *why = "folder is not absolute";
        return false;
    }
    if (HasParentSegment(folder)) {
        *why = "folder has a \"..\" segment";
        return false;
    }
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string_view::npos) {
        *why = "not a plain file name";
        return false;
    }
    place->folder.assign(folder);
    if (place->folder.back() != '/') place->folder.push_back('/');
    place->localPath = place->folder + std::string(name);
    if (place->localPath.size() >= kPathField) {
        *why = "path too long to report";
        return false;
    }
    place->partPath = place->localPath + ".part";
    return true;
}

bool EnsureFolder(const std::string& folder) {
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        const std::string prefix = folder.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> SplitAlternatives(std::string_view field) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t bar = field.find('|', start);
        if (bar == std::string_view::npos) bar = field.size();
        std::string_view piece = field.substr(start, bar - start);
        while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
        while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
        if (!piece.empty()) out.emplace_back(piece);
        start = bar + 1;
    }
    return out;
}

bool IsLoopbackUrl(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return false;
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos)
        rest.remove_prefix(at + 1);
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        host = rest.substr(0, rest.find(']') + 1);
    } else {
        host = rest.substr(0, rest.find(':'));
    }
    if (host == "localhost" || host == "[::1]") return true;
    // 127.0.0.0/8 written as a dotted address, not a name that starts so.
    return host.rfind("127.", 0) == 0 &&
           host.find_first_not_of("0123456789.") == std::string_view::npos;
}

long long RegularFileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

}  // namespace engine
