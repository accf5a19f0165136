#include "http/url_file_name.h"

#include "platform/text.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Every valid escape decoded, a NUL included: the check decides what is
// acceptable, so nothing is cut off here.
std::string PercentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

std::string_view WithoutFragment(std::string_view url) { return url.substr(0, url.find('#')); }

std::string FileNameOfUrlField(std::string_view field) {
    std::string_view url;
    while (!field.empty()) {
        std::size_t bar = field.find('|');
        std::string_view piece = plat::Trim(field.substr(0, bar));
        if (!piece.empty()) url = piece;
        if (bar == std::string_view::npos) break;
        field.remove_prefix(bar + 1);
    }
    url = WithoutFragment(url);
    url = url.substr(0, url.find('?'));
    std::size_t scheme = url.find("://");
    std::string_view path = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
    std::size_t firstSlash = path.find('/');
    if (firstSlash == std::string_view::npos) return {};
    path.remove_prefix(firstSlash);
    return PercentDecoded(path.substr(path.rfind('/') + 1));
}

FileNameProblem CheckFileName(std::string_view name) {
    if (name.empty()) return FileNameProblem::kEmpty;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return FileNameProblem::kControl;
    }
    if (name == "." || name == "..") return FileNameProblem::kDotName;
    if (name.find_first_of("/\\") != std::string_view::npos) return FileNameProblem::kSeparator;
    return FileNameProblem::kNone;
}

const char* FileNameProblemText(FileNameProblem problem) {
    switch (problem) {
        case FileNameProblem::kNone:
            return "a usable name";
        case FileNameProblem::kEmpty:
            return "no file name";
        case FileNameProblem::kDotName:
            return "a name that is a folder";
        case FileNameProblem::kSeparator:
            return "a name holding a path separator";
        case FileNameProblem::kControl:
            return "a name holding a control character";
    }
    return "an unusable name";
}
