#include "launcher/file_list.h"

#include "platform/text.h"

namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

std::u16string Trimmed(std::u16string text) {
    std::size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) --end;
    std::size_t begin = 0;
    while (begin < end && IsBlank(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

// Adds one line; false when it is too long, which ends the parse.
bool TakeLine(std::string_view line, FileListParse* parse) {
    if (line.size() >= kFileListLineLimit) {
        parse->overlongLine = true;
        return false;
    }
    std::u16string url = Trimmed(plat::AnsiToWide(line));
    // A line of blanks would become a URL that no server can answer and
    // fail the whole size check.
    if (!url.empty()) parse->urls.push_back(std::move(url));
    return true;
}

}  // namespace

FileListParse ParseFileListBytes(std::string_view bytes) {
    FileListParse parse;
    std::size_t start = 0;
    for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos;
         lf = bytes.find('\n', start)) {
        std::size_t end = lf;
        if (end > start && bytes[end - 1] == '\r') --end;
        if (end > start && !TakeLine(bytes.substr(start, end - start), &parse)) return parse;
        start = lf + 1;
    }
    if (bytes.size() - start > 2) TakeLine(bytes.substr(start), &parse);
    return parse;
}

std::u16string FileNameOfUrl(const std::u16string& url) {
    const std::size_t slash = url.rfind(u'/');
    return slash == std::u16string::npos ? std::u16string() : url.substr(slash + 1);
}

std::u16string PathOfFileEventText(const std::u16string& text, const FileUrlSet& urls) {
    // The text before each comma is a candidate URL; the last that is known
    // is the longest.
    std::size_t cut = 0;
    for (std::size_t comma = text.find(u','); comma != std::u16string::npos;
         comma = text.find(u',', comma + 1)) {
        if (urls.count(text.substr(0, comma))) cut = comma + 1;
    }
    if (cut > 0) return text.substr(cut);
    const std::size_t comma = text.find(u',');
    return comma == std::u16string::npos ? text : text.substr(comma + 1);
}

bool IsInstallerFile(const std::u16string& path, std::size_t urlCount) {
    if (urlCount == 1) return true;
    const std::size_t dot = path.rfind(u'.');
    if (path.empty() || dot == std::u16string::npos) return false;
    std::u16string extension = path.substr(dot);
    for (char16_t& c : extension)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return extension == u".exe";
}
