#include "service/base/servers.h"

#include <cstdlib>
#include <string_view>

#include "server_hosts.h"
#include "service/base/service_log.h"

namespace {

const char* BuiltInHost(ServerKind kind) {
    switch (kind) {
        case ServerKind::kPatch:
            return kBuildPatchServer;
        case ServerKind::kCdn:
            return kBuildCdnServer;
        case ServerKind::kUpdate:
            return kBuildUpdateServer;
    }
    return kBuildPatchServer;
}

const char* VariableName(ServerKind kind) {
    switch (kind) {
        case ServerKind::kPatch:
            return "TLX_PATCH_SERVER";
        case ServerKind::kCdn:
            return "TLX_CDN_SERVER";
        case ServerKind::kUpdate:
            return "TLX_UPDATE_SERVER";
    }
    return "TLX_PATCH_SERVER";
}

bool ValidHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool ValidPort(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool ValidOverride(std::string_view value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos) return ValidHost(value);
    return ValidHost(value.substr(0, colon)) && ValidPort(value.substr(colon + 1));
}

}  // namespace

std::string ServerHostFrom(ServerKind kind, const char* overrideValue) {
    if (overrideValue && *overrideValue && ValidOverride(overrideValue)) return overrideValue;
    return BuiltInHost(kind);
}

std::string ServerHost(ServerKind kind) {
    const char* value = std::getenv(VariableName(kind));
    if (value && *value && !ValidOverride(value))
        WriteServiceLogFormat("Ignoring %s=%.64s (expected host or host:port)", VariableName(kind),
                              value);
    return ServerHostFrom(kind, value);
}
