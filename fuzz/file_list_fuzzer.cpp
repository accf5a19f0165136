// The file list document (launcher/file_list.h): the parse of the bytes the
// patch server sends and the validation that refuses unusable lines, as the
// main window runs them (the validation only when no line was too long).
//
// Input: the document as it arrives.
//
// Checks: every URL is a trimmed, non-empty line of its own, numbered in
// order; what the validation keeps is in list order, each URL once, each
// file name usable and distinct in any letter case; a refused line is the
// first problem and nothing after it is kept; the kept list validates
// again unchanged; and the kept URLs written out as a document parse back
// to the same list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "fuzz/support/read_script.h"
#include "http/url_file_name.h"
#include "launcher/file_list.h"
#include "platform/text.h"

namespace {

void CheckParse(const FileListParse& parse, std::string_view bytes) {
    FUZZ_CHECK(parse.urls.size() == parse.lines.size());
    FUZZ_CHECK(!parse.problem);
    std::size_t lineBreaks = 0;
    for (char c : bytes) lineBreaks += c == '\n';
    std::size_t previous = 0;
    for (std::size_t i = 0; i < parse.urls.size(); ++i) {
        const std::u16string& url = parse.urls[i];
        FUZZ_CHECK(!url.empty());
        FUZZ_CHECK(plat::Trim(std::u16string_view(url)) == url);
        FUZZ_CHECK(url.find(u'\n') == std::u16string::npos);
        FUZZ_CHECK(parse.lines[i] > previous && parse.lines[i] <= lineBreaks + 1);
        previous = parse.lines[i];
    }
}

void CheckValidated(const FileListParse& before, const FileListParse& after) {
    FUZZ_CHECK(after.urls.size() == after.lines.size());
    std::unordered_set<std::u16string> urls;
    std::unordered_set<std::string> names;
    std::size_t from = 0;
    for (std::size_t i = 0; i < after.urls.size(); ++i) {
        // In list order, taken from the list as it was.
        while (from < before.urls.size() &&
               (before.urls[from] != after.urls[i] || before.lines[from] != after.lines[i]))
            ++from;
        FUZZ_CHECK(from < before.urls.size());
        ++from;
        FUZZ_CHECK(urls.insert(after.urls[i]).second);
        const std::string name = FileNameOfUrlField(plat::WideToAnsi(after.urls[i]));
        FUZZ_CHECK(CheckFileName(name) == FileNameProblem::kNone);
        FUZZ_CHECK(names.insert(plat::AsciiLower(name)).second);
        if (after.problem) FUZZ_CHECK(after.lines[i] < after.problem->line);
    }
    if (after.problem) {
        FUZZ_CHECK(!after.problem->reason.empty());
        bool listed = false;
        for (std::size_t i = 0; i < before.urls.size(); ++i)
            listed = listed || (before.lines[i] == after.problem->line &&
                                before.urls[i] == after.problem->url);
        FUZZ_CHECK(listed);
    } else {
        // Nothing refused: every URL of the list is kept.
        for (const std::u16string& url : before.urls) FUZZ_CHECK(urls.count(url) == 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const FileListParse parsed = ParseFileListBytes(bytes);
    CheckParse(parsed, bytes);
    if (parsed.overlongLine) return 0;  // the window refuses the whole list

    FileListParse validated = parsed;
    ValidateFileList(&validated);
    CheckValidated(parsed, validated);

    FileListParse again = validated;
    again.problem.reset();
    ValidateFileList(&again);
    FUZZ_CHECK(!again.problem);
    FUZZ_CHECK(again.urls == validated.urls && again.lines == validated.lines);

    // Written out one URL a line (behind a byte-order mark, so that a URL
    // that itself starts with one keeps it), the kept list reads back the same.
    std::string document = "\xEF\xBB\xBF";
    for (const std::u16string& url : validated.urls) {
        const std::string line = plat::WideToAnsi(url);
        if (line.size() >= kFileListLineLimit) return 0;  // replacement characters grew it
        document += line + "\r\n";
    }
    const FileListParse reread = ParseFileListBytes(document);
    FUZZ_CHECK(!reread.overlongLine);
    FUZZ_CHECK(reread.urls == validated.urls);
    return 0;
}
