#include "launcher/cause_texts.h"

#include <regex>
#include <vector>

#include "platform/text.h"

namespace {

struct CausePattern {
    const char* english;  // an ECMAScript pattern over the whole "why"
    const char* zhTw;     // $1, $2 ... take the pattern's groups
};

// One row per cause the service gives; the most specific first.
constexpr CausePattern kCauses[] = {
    {R"(HTTP (\d+) \(through the proxy (.+)\))", "伺服器回應 HTTP $1（經由代理伺服器 $2）"},
    {R"(HTTP (\d+) redirects to (.+))", "伺服器回應 HTTP $1，轉往 $2"},
    {R"(HTTP (\d+): redirect without a Location)", "伺服器回應 HTTP $1 轉址，卻沒有告知新位址"},
    {R"(HTTP (\d+): redirect to an address that is neither http nor https)",
     "伺服器回應 HTTP $1，轉往的位址不是 http 或 https"},
    {R"(HTTP (\d+): redirect to an address without a host)", "伺服器回應 HTTP $1，轉往的位址沒有主機"},
    {R"(HTTP 416 for bytes the file should have)", "伺服器回應 HTTP 416：硬碟上的資料與檔案不符"},
    {R"(HTTP 416 for the first byte(.*))", "伺服器回應 HTTP 416：拒絕檔案的第一個位元組$1"},
    {R"(HTTP (\d+) for (.+))", "伺服器回應 HTTP $1（$2）"},
    {R"(HTTP (\d+))", "伺服器回應 HTTP $1"},
    {R"(no HTTP status)", "伺服器的回應沒有狀態碼"},
    {R"(more than (\d+) redirects)", "轉址超過 $1 次"},
    {R"(the connection to the proxy (.+) failed)", "無法連線到代理伺服器 $1"},
    {R"(the connection to (.+) failed)", "無法連線到 $1"},
    {R"(the connection closed before an answer \(through the proxy (.+)\))",
     "連線在伺服器回應前中斷（經由代理伺服器 $1）"},
    {R"(the connection closed before an answer)", "連線在伺服器回應前中斷"},
    {R"(the connection closed before the whole body arrived)", "連線在檔案傳完前中斷"},
    {R"(the connection closed before the whole file list arrived)", "連線在檔案目錄傳完前中斷"},
    {R"(the server stopped answering \(or answered too slowly\))", "伺服器沒有回應（或回應太慢）"},
    {R"(the server stopped sending \(or sent too slowly\))", "伺服器停止傳送（或傳送太慢）"},
    {R"(the server stopped answering)", "伺服器沒有回應"},
    {R"(the host is unreachable \((.+)\))", "無法連到主機（$1）"},
    {R"(the host is unreachable)", "無法連到主機"},
    {R"(no address for (.+))", "找不到 $1 的網路位址"},
    {R"(the proxy (.+) asks for a user name and password \(HTTP 407\))",
     "代理伺服器 $1 需要帳號與密碼（HTTP 407）"},
    {R"(the proxy (.+) could not reach (.+) \(HTTP (\d+)\))", "代理伺服器 $1 無法連到 $2（HTTP $3）"},
    {R"(the proxy (.+) refused a tunnel to (.+) \(HTTP (\d+)\))", "代理伺服器 $1 拒絕連到 $2（HTTP $3）"},
    {R"(the proxy (.+) answered the tunnel request with (.+))", "代理伺服器 $1 的回應無法使用：$2"},
    {R"(the proxy in (\w+) uses (\w+), which this program cannot speak)",
     "$1 指定的代理伺服器使用 $2，本程式不支援"},
    {R"(the proxy in (\w+) (.+))", "$1 指定的代理伺服器無法使用（$2）"},
    {R"(the server's answer was refused: (.+))", "伺服器的回應格式錯誤：$1"},
    {R"(the server sent the body with Content-Encoding (.+), which is not the file itself)",
     "伺服器傳來的是壓縮過的內容（Content-Encoding $1），不是檔案本身"},
    {R"(the server sent the body with Transfer-Encoding (.+), which cannot be read)",
     "伺服器使用無法讀取的傳輸編碼（Transfer-Encoding $1）"},
    {R"(the server did not announce the file's size(.*))", "伺服器沒有告知檔案大小$1"},
    {R"(the server answered with another part of the file(.*))", "伺服器傳回的不是要求的檔案部分$1"},
    {R"(the server sent only part of the rest of the file)", "伺服器只傳來檔案剩餘部分的一段"},
    {R"(the server sent an empty file list)", "伺服器傳來的檔案目錄是空的"},
    {R"(the file list is larger than 16 MiB)", "檔案目錄超過 16 MiB"},
    {R"(not an https address: (.+))", "不是 https 位址：$1"},
    {R"(not an http or https address: (.+))", "不是 http 或 https 位址：$1"},
    {R"(cannot write (.+): (.+))", "無法寫入 $1：$2"},
    {R"(cannot empty (.+): (.+))", "無法清空 $1：$2"},
    {R"(writing (.+) failed: (.+))", "寫入 $1 失敗：$2"},
    {R"(naming (.+) failed: (.+))", "無法將 $1 改為檔案名稱：$2"},
    {R"((.+) needs (\d+) more bytes, (\d+) are free)", "$1 還需要 $2 位元組，只剩 $3 位元組"},
    {R"(the system is out of file descriptors \(too many open files\))", "系統開啟的檔案太多，無法再建立連線"},
    {R"(no connection could be created \(all connection slots are in use\))", "連線數已達上限，無法再建立連線"},
    {R"(the URL gives (.+))", "網址中的檔案名稱無法使用（$1）"},
    {R"(its file name is also that of line (\d+))", "檔案名稱與第 $1 行相同"},
    // What a cause above may hold: why a head or a name was refused.
    {R"(a malformed response head \((.+)\))", "回應的標頭無法解讀（$1）"},
    {R"(a head line whose name is no token: (.+))", "標頭中有名稱不合規則的一行：$1"},
    {R"(a head line that is no field: (.+))", "標頭中有一行不是欄位：$1"},
    {R"(no status line(: .+)?)", "回應沒有狀態列$1"},
    {R"(no status code: (.+))", "回應沒有狀態碼：$1"},
    {R"(a Content-Length that is no length, or two that disagree)", "Content-Length 不是長度，或兩個互相矛盾"},
    {R"(a response head longer than 64 KiB)", "回應的標頭超過 64 KiB"},
    {R"(too many interim responses)", "過多的中間回應"},
    {R"(a transfer coding other than chunked)", "不支援的傳輸編碼"},
    {R"(a malformed chunked body)", "分段傳輸的內容格式錯誤"},
    {R"(no file name)", "沒有檔案名稱"},
    {R"(a name that is a folder)", "名稱是資料夾"},
    {R"(a name holding a path separator)", "名稱含有路徑分隔字元"},
    {R"(a name holding a control character)", "名稱含有控制字元"},
};

// The row's pattern, compiled once.
const std::vector<std::regex>& Compiled() {
    static const std::vector<std::regex> compiled = [] {
        std::vector<std::regex> patterns;
        for (const CausePattern& row : kCauses) patterns.emplace_back(row.english);
        return patterns;
    }();
    return compiled;
}

// The text of the first row whose pattern matches, its groups told in turn
// (a cause may hold another: why a head was refused); `why` itself when no
// row matches. `depth` bounds the nesting the service's texts have.
std::string Translated(const std::string& why, int depth = 0) {
    const std::vector<std::regex>& patterns = Compiled();
    for (std::size_t i = 0; i < patterns.size() && depth < 4; ++i) {
        std::smatch match;
        if (!std::regex_match(why, match, patterns[i])) continue;
        std::string out;
        for (const char* c = kCauses[i].zhTw; *c; ++c) {
            if (c[0] == '$' && c[1] >= '1' && c[1] <= '9') {
                const std::size_t group = static_cast<std::size_t>(c[1] - '0');
                if (group < match.size()) out += Translated(match[group].str(), depth + 1);
                ++c;
            } else {
                out += *c;
            }
        }
        return out;
    }
    return why;
}

}  // namespace

std::u16string LocalizedCause(std::string_view cause) {
    std::string text(cause);
    // "URL: why": the address stays, the why is told. The address ends
    // at the first ": " after its scheme.
    std::string prefix;
    if (text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0) {
        const std::size_t colon = text.find(": ", text.find("://") + 3);
        if (colon != std::string::npos) {
            prefix = text.substr(0, colon) + "：";
            text = text.substr(colon + 2);
        }
    }
    return plat::AnsiToWide(prefix + Translated(text));
}
