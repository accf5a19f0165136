// The one way the engine speaks HTTP through libcurl, for the file
// transfers and the metadata lookups alike: http and https only (redirects
// included, at most transfer_policy::kMaxRedirects), no signals, our user agent, the
// connect time-out given, the error text into `errorBuffer`, and the trust
// store the environment names (SSL_CERT_FILE first, as OpenSSL and so the
// service read it, then curl's own CURL_CA_BUNDLE; SSL_CERT_DIR). Peers are
// always verified.
//
// Any thread; reads the environment.
#pragma once

#include <curl/curl.h>

#include <string>

namespace engine {

// Whether `url` starts with http:// or https:// (in any letter case).
bool HasHttpScheme(const std::string& url);

void ApplyCurlPolicy(CURL* easy, long connectTimeoutSeconds, char* errorBuffer);

}  // namespace engine
