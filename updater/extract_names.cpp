#include "updater/extract_names.h"

bool SplitArchiveName(std::string_view raw, const ArchiveNameRules& rules,
                      std::vector<std::string>* parts, std::string* why) {
    parts->clear();
    if (raw.size() > kMaxArchiveNameBytes) {
        *why = "name longer than 259 bytes";
        return false;
    }
    std::string name(raw);
    for (char& c : name) {
        if (c == '\0') {
            *why = "NUL in name";
            return false;
        }
        // A name that could end a log line (or hide another name) is no
        // name an engine's files need.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *why = "control character in name";
            return false;
        }
        if (rules.asciiOnly && static_cast<unsigned char>(c) > 0x7F) {
            *why = "non-ASCII name without the UTF-8 flag";
            return false;
        }
        if (c == '\\') c = '/';
    }
    if (!name.empty() && name[0] == '/') {
        *why = "absolute name";
        return false;
    }
    if (name.size() >= 2 && name[1] == ':') {
        *why = "drive letter in name";
        return false;
    }
    std::size_t at = 0;
    while (at <= name.size()) {
        std::size_t end = name.find('/', at);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(at, end - at);
        if (part == "." || part == "..") {
            *why = "\".\" or \"..\" in name";
            return false;
        }
        if (!part.empty()) parts->push_back(std::move(part));
        at = end + 1;
    }
    if (parts->empty()) {
        *why = "empty name";
        return false;
    }
    return true;
}
