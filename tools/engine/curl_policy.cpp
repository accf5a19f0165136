#include "curl_policy.h"

#include <strings.h>

#include <cstdlib>

#include "transfer_policy.h"

namespace engine {

bool HasHttpScheme(const std::string& url) {
    return strncasecmp(url.c_str(), "http://", 7) == 0 ||
           strncasecmp(url.c_str(), "https://", 8) == 0;
}

void ApplyCurlPolicy(CURL* easy, long connectTimeoutSeconds, char* errorBuffer) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, transfer_policy::kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "TLXDownloadV32");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    const char* caFile = std::getenv("SSL_CERT_FILE");
    if (!caFile || !*caFile) caFile = std::getenv("CURL_CA_BUNDLE");
    if (caFile && *caFile) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
    if (const char* caDir = std::getenv("SSL_CERT_DIR"); caDir && *caDir)
        curl_easy_setopt(easy, CURLOPT_CAPATH, caDir);
}

}  // namespace engine
