// Conversions between the service's ANSI code page and UTF-8. Request paths
// travel as UTF-8 whatever the local code page, and redirect targets come
// back as UTF-8; both go through the platform layer so that a Windows back
// end can supply the real conversion.
#pragma once

#include <string>
#include <string_view>

std::string ToUtf8(std::string_view ansi);
std::string FromUtf8(std::string_view utf8);
