// Turns the Location of a redirect into an absolute URL. Servers may answer
// with a path ("/new/file") or an absolute URL; a path is resolved against
// the scheme, host and port of the URL that was asked for.
#pragma once

#include <string>

std::string ResolveLocation(const std::string& requestUrl, const std::string& location);
