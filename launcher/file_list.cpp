#include "launcher/file_list.h"

#include <unordered_map>

#include "http/url_file_name.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Adds one line; false when it is too long, which ends the parse.
bool TakeLine(std::string_view line, std::size_t number, FileListParse* parse) {
    if (line.size() >= kFileListLineLimit) {
        parse->overlongLine = true;
        return false;
    }
    std::u16string url(plat::Trim(plat::AnsiToWide(line)));
    // A line of blanks would become a URL that no server can answer and
    // fail the whole size check.
    if (!url.empty()) {
        parse->urls.push_back(std::move(url));
        parse->lines.push_back(number);
    }
    return true;
}

}  // namespace

FileListParse ParseFileListBytes(std::string_view bytes) {
    FileListParse parse;
    if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        bytes.remove_prefix(kByteOrderMark.size());
    std::size_t start = 0;
    std::size_t number = 1;
    for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos;
         lf = bytes.find('\n', start), ++number) {
        std::size_t end = lf;
        if (end > start && bytes[end - 1] == '\r') --end;
        if (end > start && !TakeLine(bytes.substr(start, end - start), number, &parse)) return parse;
        start = lf + 1;
    }
    if (bytes.size() - start > 2) (void)TakeLine(bytes.substr(start), number, &parse);
    return parse;
}

void ValidateFileList(FileListParse* parse) {
    std::vector<std::u16string> urls;
    std::vector<std::size_t> lines;
    std::unordered_map<std::u16string, std::size_t> seenUrls;   // URL -> index kept
    std::unordered_map<std::string, std::size_t> seenNames;     // lower-case name -> index kept
    for (std::size_t i = 0; i < parse->urls.size(); ++i) {
        const std::u16string& url = parse->urls[i];
        if (seenUrls.count(url)) continue;  // the same file, listed again
        const std::string name = FileNameOfUrlField(plat::WideToAnsi(url));
        const FileNameProblem problem = CheckFileName(name);
        std::string reason;
        if (problem != FileNameProblem::kNone) {
            reason = std::string("the URL gives ") + FileNameProblemText(problem);
        } else if (auto same = seenNames.find(plat::AsciiLower(name)); same != seenNames.end()) {
            reason = "its file name is also that of line " + std::to_string(lines[same->second]);
        }
        if (!reason.empty()) {
            parse->problem = FileListProblem{parse->lines[i], url, std::move(reason)};
            break;
        }
        seenUrls.emplace(url, urls.size());
        seenNames.emplace(plat::AsciiLower(name), urls.size());
        urls.push_back(url);
        lines.push_back(parse->lines[i]);
    }
    parse->urls = std::move(urls);
    parse->lines = std::move(lines);
}

std::u16string FileNameOfUrl(const std::u16string& url) {
    return plat::AnsiToWide(FileNameOfUrlField(plat::WideToAnsi(url)));
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
