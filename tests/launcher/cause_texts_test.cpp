// The causes the service gives, told in the window's language: what a
// player reads in a box is Chinese from the first word to the last, with
// the addresses, paths and numbers as the service gave them.
#include "launcher/cause_texts.h"

#include <gtest/gtest.h>

#include <cctype>

#include "platform/text.h"

namespace {

// The causes the service builds, one of each kind.
const char* const kCauses[] = {
    "HTTP 404",
    "HTTP 503 (through the proxy 127.0.0.1:3128)",
    "HTTP 404 for http://patch.example/list.txt",
    "HTTP 302: redirect without a Location",
    "HTTP 416 for bytes the file should have",
    "more than 20 redirects",
    "the connection to 127.0.0.1:8080 failed",
    "the connection to the proxy 127.0.0.1:3128 failed",
    "the connection closed before an answer",
    "the connection closed before the whole body arrived",
    "the server stopped answering (or answered too slowly)",
    "the server stopped sending (or sent too slowly)",
    "the host is unreachable (cdn.example:80)",
    "no address for cdn.example",
    "the proxy 127.0.0.1:3128 asks for a user name and password (HTTP 407)",
    "the proxy 127.0.0.1:3128 could not reach cdn.example:443 (HTTP 502)",
    "the proxy in https_proxy uses socks5, which this program cannot speak",
    "the server's answer was refused: a malformed response head (a head line whose name is no "
    "token: \"Transfer-Encoding : chunked\")",
    "the server sent the body with Content-Encoding gzip, which is not the file itself",
    "the server did not announce the file's size (no Content-Length)",
    "cannot write /home/p/ZK4/a.pak.part: Permission denied",
    "writing /home/p/ZK4/a.pak.part failed: No space left on device",
    "/home/p/ZK4/ needs 1048576 more bytes, 4096 are free",
    "the system is out of file descriptors (too many open files)",
    "the URL gives a name holding a path separator",
    "its file name is also that of line 3",
};

// English words left in a text once addresses, paths, server words in
// quotes and the parts in parentheses after a known Chinese frame are
// taken out: a run of three or more ASCII letters outside them.
bool HasEnglishWords(std::string text) {
    for (const char* keep : {"http://", "https://", "/home/p/ZK4/", "HTTP", "Transfer-Encoding",
                             "Content-Encoding", "Content-Length", "gzip", "socks5", "https_proxy",
                             "chunked", "cdn.example", "patch.example", "list.txt", "Permission denied",
                             "No space left on device", "part", "pak"})
        for (std::size_t at = text.find(keep); at != std::string::npos; at = text.find(keep))
            text.erase(at, std::string(keep).size());
    int run = 0;
    for (unsigned char c : text) {
        run = std::isalpha(c) ? run + 1 : 0;
        if (run >= 3) return true;
    }
    return false;
}

}  // namespace

TEST(CauseTexts, EveryCauseOfTheServiceIsToldInChineseWithItsDetailsKept) {
    for (const char* cause : kCauses) {
        const std::string told = plat::WideToAnsi(LocalizedCause(cause));
        EXPECT_NE(told, cause) << cause;
        EXPECT_FALSE(HasEnglishWords(told)) << cause << " -> " << told;
    }
    EXPECT_EQ(plat::WideToAnsi(LocalizedCause("the connection to 127.0.0.1:8080 failed")),
              "無法連線到 127.0.0.1:8080");
}

TEST(CauseTexts, AnAddressInFrontStaysAndAnUnknownCauseIsShownAsItCame) {
    EXPECT_EQ(plat::WideToAnsi(LocalizedCause("https://cdn.example:8443/a.pak: HTTP 503")),
              "https://cdn.example:8443/a.pak：伺服器回應 HTTP 503");
    EXPECT_EQ(plat::WideToAnsi(LocalizedCause("something nobody wrote a row for")),
              "something nobody wrote a row for");
}
